// The transactional installer: a verified patch becomes installed client
// files, all or nothing.
#pragma once

#include <cstdint>
#include <filesystem>

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

// Checkpoints of the install, for crash tests: the hook is called with
// "hashed" (the archive's digest matched), "staged" (every file staged and
// checked), "journal" (journal not yet written, no client file changed),
// "replace" (journal on disk, backups not yet made), "replace-half" (in the
// middle of the replace pass), "verify" (every file in place, before the
// check after the swap) and "committed" (after the commit marker). A test
// hook ends the process there to simulate a crash. No hook is set in the
// product. Returns the previous hook.
using InstallCheckpointHook = void (*)(const char* checkpoint);
InstallCheckpointHook SetInstallCheckpointHook(InstallCheckpointHook hook);

}  // namespace orvex_update
