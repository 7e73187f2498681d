#include "Launcher/Settings.h"

#include <vector>

#include "Deployment.h"
#include "Launcher/SettingsRules.h"
#include "common/Utf8.h"

namespace settings {
namespace {

std::string g_websiteLink;

std::string ReadNarrow(const char* section, const char* key, const std::string& file, std::size_t bufferSize) {
  std::vector<char> buffer(bufferSize, '\0');
  const DWORD length = ::GetPrivateProfileStringA(section, key, "", buffer.data(),
                                                  static_cast<DWORD>(buffer.size()), file.c_str());
  return std::string(buffer.data(), length);
}

}  // namespace

std::string IniPathFor(const std::string& folder) { return folder + "\\Server.ini"; }

void ReadWebsiteLink() {
  const std::string configured = ReadNarrow("ORVEX_LINKS", "Website", ".\\Server.ini", 2048);
  g_websiteLink = ResolveWebsiteLink(configured, orvex_deploy::kSiteUrl);
}

const std::string& WebsiteLink() { return g_websiteLink; }

std::wstring ReadAnnouncementsOrigin() {
  std::vector<wchar_t> buffer(512, L'\0');
  const DWORD length = ::GetPrivateProfileStringW(L"ORVEX_LINKS", L"AnnouncementsOrigin", L"", buffer.data(),
                                                  static_cast<DWORD>(buffer.size()), L".\\Server.ini");
  if (length > 0) return std::wstring(buffer.data(), length);
  return *win::WideFromCodePage(CP_ACP, g_websiteLink, false);
}

unsigned ReadClientVersion(const std::string& folder, unsigned defaultValue) {
  return ::GetPrivateProfileIntA("Version", "Files", static_cast<INT>(defaultValue), IniPathFor(folder).c_str());
}

std::string ReadPatchBaseUrl(const std::string& folder) {
  const std::string configured = ReadNarrow("ORVEX_UPDATE", "BaseURL", IniPathFor(folder), 2048);
  return ResolvePatchBaseUrl(configured, orvex_deploy::kRetiredPatchUrl, orvex_deploy::kPatchBaseUrl);
}

std::string ReadLoginHost(const std::string& folder) {
  const std::string configured = ReadNarrow("Server", "IP0", IniPathFor(folder), 256);
  return ResolveLoginHost(configured, orvex_deploy::kLoginHost);
}

}  // namespace settings
