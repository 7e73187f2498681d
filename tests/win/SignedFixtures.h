// Signed fixtures that the build makes with tools/orvex_publish.py beside the
// test binary (fixtures/signed), and small byte-file helpers around them.
#pragma once

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace testutil {

// The folder of the running test executable. Under Wine the build tree is
// reached through a drive letter, so the path comes from the module itself
// rather than from a Unix path compiled in.
inline std::filesystem::path ExecutableFolder() {
  std::wstring buffer(32768, L'\0');
  const DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  buffer.resize(length);
  return std::filesystem::path(buffer).parent_path();
}

inline std::filesystem::path SignedFixture(const std::string& name) {
  return ExecutableFolder() / "fixtures" / "signed" / name;
}

inline std::vector<std::uint8_t> ReadBytes(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteBytes(const std::filesystem::path& file, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace testutil
