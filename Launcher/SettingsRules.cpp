#include "Launcher/SettingsRules.h"

namespace settings {

std::string ResolveWebsiteLink(std::string_view configured, std::string_view builtInSite) {
  if (configured.empty()) return std::string(builtInSite);
  if (configured.substr(0, 8) != "https://") return {};
  return std::string(configured);
}

std::string ResolvePatchBaseUrl(std::string_view configured, std::string_view retiredUrl,
                                std::string_view builtInBase) {
  if (configured.empty() || configured == retiredUrl) return std::string(builtInBase);
  return std::string(configured);
}

std::string ResolveLoginHost(std::string_view configured, std::string_view builtInHost) {
  return std::string(configured.empty() ? builtInHost : configured);
}

}  // namespace settings
