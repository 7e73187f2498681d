// The link origin of the website's pages and the announcements feed, and the
// page links composed on it.
#pragma once

#include <optional>
#include <string>

namespace launcher_board {

// AnnouncementsOrigin of ".\Server.ini", read now; when empty, websiteLink as
// strict UTF-8 with control characters replaced by blanks.
std::wstring ReadLinkOrigin(const std::string& websiteLink);

// The parts of a usable link origin: an http or https URL with a host and
// without user name or password.
struct LinkOrigin {
  std::wstring host;
  unsigned short port = 0;
  bool secure = false;
};
// The origin's parts, or nullopt when it is not a usable link origin.
[[nodiscard]] std::optional<LinkOrigin> CrackLinkOrigin(const std::wstring& origin);

// The link origin (ReadLinkOrigin) cut back to scheme and authority, followed
// by path; empty when the origin is not a plain http(s) URL with a host and
// without credentials.
std::wstring ComposeLinkUrl(const std::string& websiteLink, const std::wstring& path);

}  // namespace launcher_board
