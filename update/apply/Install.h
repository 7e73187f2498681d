// The transactional installer: a verified patch becomes installed client
// files, all or nothing.
#pragma once

#include <cstdint>
#include <filesystem>

#include "update/apply/Checkpoints.h"
#include "update/disk/Callbacks.h"

namespace orvex_update {

// Installs the signed patch (manifest, signature, archive) into the client
// folder. The caller holds the update lock and has run the recovery. Throws
// the message of the first failure and leaves .orvex-update/current for the
// recovery; removes it on success.
void InstallUpdate(const std::filesystem::path& manifestFile, const std::filesystem::path& clientFolder,
                   const std::filesystem::path& signatureFile, const std::filesystem::path& archiveFile,
                   std::uint32_t targetVersion, std::uint32_t installedVersion, bool allowSameVersion,
                   const StatusCallback& progress);

// What the player reads when an update fails in a way that has no text of
// its own step (a failed file-system call, the standard library), with
// "; check disk space." in place of its full stop when the disk is full.
inline constexpr char kUpdateFailedText[] = "Cannot update the client folder.";

}  // namespace orvex_update
