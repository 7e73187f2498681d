// Named points of the install and of the recovery, for tests that end the
// process or change files there, as a power cut or another program would.
#pragma once

namespace orvex_update {

// The install calls the hook with "hashed" (the archive's digest matched),
// "staged" (every file staged and checked), "journal" (journal not yet
// written, no client file changed), "replace" (journal on disk, backups not
// yet made), "replace-half" (in the middle of the replace pass), "verify"
// (every file in place, before the check after the swap) and "committed"
// (after the commit marker). The recovery of an uncommitted transaction calls
// it with "recover-checked" (the backups checked, no client file changed
// yet), "recover-restore-half" (in the middle of the restore pass) and
// "recover-restored" (every file restored, before the version is saved and
// the journal retired).
using InstallCheckpointHook = void (*)(const char* checkpoint);

// Test switch: sets hook (nullptr: none) for the object's life and restores
// the one before (none in the product). Setting and calling the hook are
// safe from any thread.
class ScopedInstallCheckpointHookForTesting {
 public:
  explicit ScopedInstallCheckpointHookForTesting(InstallCheckpointHook hook);
  ~ScopedInstallCheckpointHookForTesting();
  ScopedInstallCheckpointHookForTesting(const ScopedInstallCheckpointHookForTesting&) = delete;
  ScopedInstallCheckpointHookForTesting& operator=(const ScopedInstallCheckpointHookForTesting&) = delete;

 private:
  InstallCheckpointHook previous_;
};

// Calls the hook, if one is set, with name; lets what the hook throws through.
void Checkpoint(const char* name);

}  // namespace orvex_update
