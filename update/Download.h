// Download of one signed patch and its installation.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "update/disk/Callbacks.h"

namespace orvex_update {

// Brings the client folder from installedVersion to targetVersion with the
// signed patch named by manifestName under baseUrl. True once installed;
// false with errorText set otherwise, and *systemCode (when given) set to the
// system error code behind the failure, 0 when none. Never throws.
bool DownloadSignedUpdate(const std::filesystem::path& clientFolder, const std::string& baseUrl,
                          const std::string& manifestName, std::uint32_t targetVersion,
                          std::uint32_t installedVersion, std::string& errorText, bool allowSameVersion,
                          const StatusCallback& status, const ProgressCallback& progress,
                          unsigned long* systemCode = nullptr);

}  // namespace orvex_update
