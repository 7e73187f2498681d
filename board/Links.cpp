#include "board/Links.h"

#include "common/WinHttpUrl.h"

#include <algorithm>
#include <vector>

#include "common/Utf8.h"

namespace launcher_board {

std::wstring ReadLinkOrigin(const std::string& websiteLink) {
  std::vector<wchar_t> buffer(512, L'\0');
  const DWORD length = ::GetPrivateProfileStringW(L"ORVEX_LINKS", L"AnnouncementsOrigin", L"", buffer.data(),
                                                  static_cast<DWORD>(buffer.size()), L".\\Server.ini");
  if (length > 0) return std::wstring(buffer.data(), length);
  std::wstring origin = win::WidenStrictUtf8(websiteLink);
  std::replace_if(origin.begin(), origin.end(), [](wchar_t c) { return c < 32; }, L' ');
  return origin;
}

std::optional<LinkOrigin> CrackLinkOrigin(const std::wstring& origin) {
  if (origin.empty()) return std::nullopt;
  const std::optional<win::UrlParts> parts = win::CrackUrl(origin);
  if (!parts) return std::nullopt;
  if (parts->scheme != INTERNET_SCHEME_HTTP && parts->scheme != INTERNET_SCHEME_HTTPS) return std::nullopt;
  if (parts->host.empty() || !parts->userName.empty() || !parts->password.empty()) return std::nullopt;
  return LinkOrigin{std::wstring(parts->host), parts->port, parts->scheme == INTERNET_SCHEME_HTTPS};
}

std::wstring ComposeLinkUrl(const std::string& websiteLink, const std::wstring& path) {
  const std::wstring origin = ReadLinkOrigin(websiteLink);
  if (!CrackLinkOrigin(origin)) return {};
  const std::size_t authority = origin.find(L"://");
  if (authority == std::wstring::npos) return {};
  const std::size_t cut = origin.find_first_of(L"/?#", authority + 3);
  return origin.substr(0, cut) + path;
}

}  // namespace launcher_board
