// Replacement of the launcher executable by a new signed launcher: the pending
// Launcher2.exe is checked against the signed startup manifest, copied into the
// update area as the swap helper, and the helper puts it in place of
// Launcher.exe once the old launcher has ended.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "update/manifests/ClientManifestFormat.h"

namespace modes {

// Starts the swap helper when a verified new launcher waits. Greater than 0:
// the helper was started and this launcher must end; 0: nothing to do; less
// than 0: failure with errorText set. Never throws. Runs on the window thread.
[[nodiscard]] int PendingLauncherCheck(const std::filesystem::path& clientFolder, std::string& errorText);

// The swap helper's run mode: replaces the launcher of process oldProcessId and
// starts the new one. Returns the process exit code, 0 or 1; a failure is shown
// in a message box titled "ORVEX Launcher Update" first. Launcher.exe is the
// old or the new launcher at every instant and after a power cut at any point;
// a failure after the new one went in puts the old one back and checks it.
[[nodiscard]] int RunLauncherSwap(const std::filesystem::path& clientFolder, std::uint32_t oldProcessId);

// True when a verified new launcher waits in the client folder; throws
// "Launcher2.exe does not match the signed release. It was not executed." when
// one waits that does not match, and passes through the link check's and the
// manifest lookup's errors. Deletes a pending launcher equal to the installed one
// when it can; once the installed launcher is the signed one, a pending file
// that is held or being deleted is left for the next start, not an error.
[[nodiscard]] bool HasPendingLauncher(const std::filesystem::path& clientFolder);

// The work of RunLauncherSwap without the message box: throws std::runtime_error
// with the text the user sees. waitLimitMs bounds the wait for the old launcher.
void SwapLauncher(const std::filesystem::path& clientFolder, std::uint32_t oldProcessId,
                  std::uint32_t waitLimitMs = 30000);

// Throws "Launcher update path contains a link or junction." when any existing
// prefix of path (made absolute and normal) below the volume root is a
// reparse point, as orvex_update::IsReparsePoint answers.
void RejectLinkedPath(const std::filesystem::path& path);

// True when the file at path (after RejectLinkedPath) has exactly the entry's
// size and SHA-256. False when it cannot be opened or read. Throws only the
// link check's error.
[[nodiscard]] bool FileMatchesEntry(const std::filesystem::path& path, const orvex_update::StartupEntry& entry);

// Starts executable with folder as its current directory and the command line
// "\"executable\"" + arguments (arguments carry their own leading blank), with
// no window and no inherited handles; the handles are closed at once. False
// when the process could not be created.
[[nodiscard]] bool StartDetachedProcess(const std::filesystem::path& executable, const std::filesystem::path& folder,
                                        const std::wstring& arguments);

// What the swap calls to start a process (StartDetachedProcess in the
// product): it decides whether the start worked.
using DetachedProcessStarter = bool (*)(const std::filesystem::path& executable, const std::filesystem::path& folder,
                                        const std::wstring& arguments);

// Test switch: the swap starts processes through starter for the object's
// life (nullptr: StartDetachedProcess), through the one before afterwards.
class ScopedDetachedProcessStarterForTesting {
 public:
  explicit ScopedDetachedProcessStarterForTesting(DetachedProcessStarter starter);
  ~ScopedDetachedProcessStarterForTesting();
  ScopedDetachedProcessStarterForTesting(const ScopedDetachedProcessStarterForTesting&) = delete;
  ScopedDetachedProcessStarterForTesting& operator=(const ScopedDetachedProcessStarterForTesting&) = delete;

 private:
  DetachedProcessStarter previous_;
};

// Called with a file step's name before the swap's platform call for it:
// "stage-flush", "backup-copy", "backup-flush", "replace" (the move over
// Launcher.exe), "replace-flush", then, when the previous launcher is put
// back, "restore-copy", "restore-flush", "restore-move" and
// "restore-moved-flush". Returning false makes that call fail as if the
// platform had refused it.
using SwapStepHook = bool (*)(const char* step);

// Test switch: sets hook (nullptr: none) for the object's life and restores
// the one before (none in the product).
class ScopedSwapStepHookForTesting {
 public:
  explicit ScopedSwapStepHookForTesting(SwapStepHook hook);
  ~ScopedSwapStepHookForTesting();
  ScopedSwapStepHookForTesting(const ScopedSwapStepHookForTesting&) = delete;
  ScopedSwapStepHookForTesting& operator=(const ScopedSwapStepHookForTesting&) = delete;

 private:
  SwapStepHook previous_;
};

}  // namespace modes
