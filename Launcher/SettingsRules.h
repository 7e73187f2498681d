// Rules applied to values read from Server.ini, apart from the profile API.
#pragma once

#include <string>
#include <string_view>

namespace settings {

// The website link: an empty configured value gives the built-in site address
// (taken as it is); a configured value must begin with exactly "https://",
// otherwise the link is empty and the window offers no website.
std::string ResolveWebsiteLink(std::string_view configured, std::string_view builtInSite);

// The patch base URL: empty, or exactly the retired direct-address URL, gives
// the built-in base URL; anything else is used unchanged.
std::string ResolvePatchBaseUrl(std::string_view configured, std::string_view retiredUrl,
                                std::string_view builtInBase);

// The login host: IP0 of [Server], or the built-in address when it is empty.
std::string ResolveLoginHost(std::string_view configured, std::string_view builtInHost);

}  // namespace settings
