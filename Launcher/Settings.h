// Server.ini, read through the profile API at the moment a value is needed, so
// that a hand edit made while the launcher runs is seen by every later read.
#pragma once

#include <string>

namespace settings {

// folder + "\Server.ini".
std::string IniPathFor(const std::string& folder);

// Reads key Website of [ORVEX_LINKS] from ".\Server.ini" into the process-wide
// website link. Called once at start-up, before the update thread starts.
void ReadWebsiteLink();
// The website link; empty when no usable link is configured. Window thread.
const std::string& WebsiteLink();

// Key AnnouncementsOrigin of [ORVEX_LINKS] from ".\Server.ini", or the website
// link widened from the ANSI code page when that key is empty.
std::wstring ReadAnnouncementsOrigin();

// Key Files of [Version] of the folder's Server.ini, with the caller's default
// (0 for the start-up check, 1 for the update thread and the installer).
unsigned ReadClientVersion(const std::string& folder, unsigned defaultValue);

// The patch base URL to use for the next download from this client folder.
std::string ReadPatchBaseUrl(const std::string& folder);

// The login server host: key IP0 of [Server], or the built-in address.
std::string ReadLoginHost(const std::string& folder);

}  // namespace settings
