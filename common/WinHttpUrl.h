// A URL split into its parts by WinHTTP's own reader, so that the links and
// the update requests read a URL exactly as the requests will use it.
#pragma once

#include "common/Windows.h"

#include <winhttp.h>

#include <optional>
#include <string>
#include <string_view>

namespace win {

// Views into the cracked URL (which must outlive them); a part the URL does
// not have is empty.
struct UrlParts {
  INTERNET_SCHEME scheme = 0;
  std::wstring_view host;
  std::wstring_view userName;
  std::wstring_view password;
  std::wstring_view path;
  std::wstring_view extraInfo;  // query and fragment
  INTERNET_PORT port = 0;
};

// No value when WinHTTP cannot read url.
[[nodiscard]] inline std::optional<UrlParts> CrackUrl(const std::wstring& url) {
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof(parts);
  // A length of -1 asks the cracker for pointers into url instead of copies,
  // one per component, so each part can be checked on its own.
  parts.dwSchemeLength = static_cast<DWORD>(-1);
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUserNameLength = static_cast<DWORD>(-1);
  parts.dwPasswordLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  if (!::WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts)) return std::nullopt;
  const auto part = [](const wchar_t* text, DWORD length) {
    return text != nullptr ? std::wstring_view(text, length) : std::wstring_view();
  };
  UrlParts cracked;
  cracked.scheme = parts.nScheme;
  cracked.host = part(parts.lpszHostName, parts.dwHostNameLength);
  cracked.userName = part(parts.lpszUserName, parts.dwUserNameLength);
  cracked.password = part(parts.lpszPassword, parts.dwPasswordLength);
  cracked.path = part(parts.lpszUrlPath, parts.dwUrlPathLength);
  cracked.extraInfo = part(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  cracked.port = parts.nPort;
  return cracked;
}

}  // namespace win
