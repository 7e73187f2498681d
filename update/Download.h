// Download of one signed patch and its installation.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "common/Errors.h"
#include "update/disk/Callbacks.h"

namespace orvex_update {

// Brings the client folder from installedVersion to targetVersion with the
// signed patch named by manifestName under baseUrl. True once installed;
// false with failure set otherwise (its kind and system code tell a retry
// apart, kRecovery when rolling the failed update back failed too). A failed
// file-system call is reported as kUpdateFailedText (Install.h). Never throws.
[[nodiscard]] bool DownloadSignedUpdate(const std::filesystem::path& clientFolder, const std::string& baseUrl,
                                        const std::string& manifestName, std::uint32_t targetVersion,
                                        std::uint32_t installedVersion, fail::Failure& failure, bool allowSameVersion,
                                        const StatusCallback& status, const ProgressCallback& progress);

}  // namespace orvex_update
