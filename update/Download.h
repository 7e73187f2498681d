// Download of one signed patch and its installation.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "Callbacks.h"

namespace orvex_update {

// Brings the client folder from installedVersion to targetVersion with the
// signed patch named by manifestName under baseUrl. True once installed;
// false with errorText set otherwise. Never throws.
bool DownloadSignedUpdate(const std::filesystem::path& clientFolder, const std::string& baseUrl,
                          const std::string& manifestName, std::uint32_t targetVersion,
                          std::uint32_t installedVersion, std::string& errorText, bool allowSameVersion,
                          const StatusCallback& status, const ProgressCallback& progress);

}  // namespace orvex_update
