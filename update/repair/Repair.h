// Batch repair of the files named by the two signed client manifests: damaged
// contents are fetched from the patch CDN by digest, verified, then installed.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "update/disk/Callbacks.h"

namespace orvex_update {

// Checks every file of ORVEX/Integrity.manifest and ORVEX/Startup.manifest
// under clientFolder and replaces the damaged ones with verified copies from
// the patch CDN ("repair-batch-v4.php"), under the update lock. True when
// nothing was damaged or every damaged file was replaced; false with errorText
// set to the first failure's message (files replaced before it keep their new,
// verified content). Every object is verified before any client file is
// touched; beforeInstall runs once between the two. Callbacks may be empty
// and run synchronously on the calling thread. A failure with no text of its
// own step (a failed file-system call, a callback's own exception) is
// reported as kRepairFailedText. Never throws.
inline constexpr char kRepairFailedText[] = "Batch repair failed.";
[[nodiscard]] bool RepairManagedFiles(const std::filesystem::path& clientFolder, std::uint32_t installedVersion,
                                      const StatusCallback& status, std::string& errorText,
                                      const ProgressCallback& progress, const BeforeInstallCallback& beforeInstall);

}  // namespace orvex_update
