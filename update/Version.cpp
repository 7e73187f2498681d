#include "Version.h"

#include <stdexcept>
#include <string>

#include "update/Paths.h"

namespace orvex_update {

void SaveClientVersion(const std::filesystem::path& clientFolder, std::uint32_t version) {
  const std::filesystem::path ini = clientFolder / "Server.ini";
  EnsureInsideClient(clientFolder, ini);
  const std::wstring value = std::to_wstring(version);
  if (!::WritePrivateProfileStringW(L"Version", L"Files", value.c_str(), ini.c_str())) {
    throw std::runtime_error("Cannot save client version.");
  }
  // All-null arguments flush the profile cache of this file, so that the
  // bytes are on disk before they are flushed and read back.
  ::WritePrivateProfileStringW(nullptr, nullptr, nullptr, ini.c_str());
  FlushStagedFile(ini);
  if (::GetPrivateProfileIntW(L"Version", L"Files", 0, ini.c_str()) != version) {
    throw std::runtime_error("Saved client version did not verify.");
  }
}

}  // namespace orvex_update
