// Signed fixtures that the build makes with tools/orvex_ops/publish.py beside the
// test binary (fixtures/signed).
#pragma once

#include "WinTestUtil.h"

#include <filesystem>
#include <string>

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

}  // namespace testutil
