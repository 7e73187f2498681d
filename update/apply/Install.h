// The transactional installer: a verified patch becomes installed client
// files, all or nothing.
#pragma once

#include <cstdint>
#include <filesystem>

#include "update/apply/Checkpoints.h"
#include "update/disk/Callbacks.h"

namespace orvex_update {

// One signed patch to install: its three files and the versions it goes
// between. allowSameVersion lets it leave the version where it is (the
// signed client manifests, the offline installer run again).
struct InstallRequest {
  std::filesystem::path manifestFile;
  std::filesystem::path signatureFile;
  std::filesystem::path archiveFile;
  std::uint32_t targetVersion = 0;
  std::uint32_t installedVersion = 0;
  bool allowSameVersion = false;
};

// Installs the signed patch of request into the client folder. The caller
// holds the update lock and has run the recovery. Throws a fail::Error for
// the first failure and leaves .orvex-update/current for the recovery;
// removes it on success.
void InstallUpdate(const std::filesystem::path& clientFolder, const InstallRequest& request,
                   const StatusCallback& status);

// What the player reads when an update fails in a way that has no text of
// its own step (a failed file-system call, the standard library), with
// "; check disk space." in place of its full stop when the disk is full.
inline constexpr char kUpdateFailedText[] = "Cannot update the client folder.";

}  // namespace orvex_update
