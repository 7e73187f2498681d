#include "modes/LauncherSwap.h"

#include <atomic>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "common/Errors.h"
#include "common/WinHandles.h"
#include "update/manifests/ClientManifest.h"
#include "update/disk/FileCalls.h"
#include "update/disk/Digest.h"
#include "update/disk/FileWork.h"
#include "update/disk/Paths.h"

namespace modes {

namespace fs = std::filesystem;

namespace {

using orvex_update::FlushSite;

// A scanner may hold a launcher file for a moment: copies and moves retry
// briefly, as every other file operation of the update machinery does.
[[nodiscard]] BOOL CopyRetrying(const wchar_t* from, const wchar_t* to, BOOL failIfExists) {
  return orvex_update::RetryWhileLocked([&]() -> DWORD {
           return orvex_update::calls::CopyFileW(from, to, failIfExists) ? ERROR_SUCCESS : ::GetLastError();
         }) == ERROR_SUCCESS;
}

[[nodiscard]] BOOL MoveRetrying(const wchar_t* from, const wchar_t* to, DWORD flags) {
  return orvex_update::MoveFileRetrying(from, to, flags) == ERROR_SUCCESS;
}

constexpr const char* kMismatchText = "Launcher2.exe does not match the signed release. It was not executed.";
constexpr const char* kSwapTitle = "ORVEX Launcher Update";
constexpr const wchar_t* kSwapSwitch = L" --orvex-launcher-swap ";
constexpr const char* kReplaceText = "Cannot replace Launcher.exe. Close the game/launcher and retry.";
constexpr const char* kNotRestoredText =
    "; the previous launcher could not be restored. It is kept in the hidden folder .orvex-update as "
    "Launcher.previous.exe: copy it to Launcher.exe in the game folder.";

std::atomic<DetachedProcessStarter> g_starter{&StartDetachedProcess};
std::atomic<SwapStepHook> g_stepHook{nullptr};

[[nodiscard]] bool StartThroughSeam(const fs::path& executable, const fs::path& folder, const std::wstring& arguments) {
  return g_starter.load()(executable, folder, arguments);
}

// False when a test has made this step fail; the step's platform call is then
// not made, as if the platform had refused it.
[[nodiscard]] bool StepAllowed(const char* step) {
  const SwapStepHook hook = g_stepHook.load();
  return hook == nullptr || hook(step);
}

orvex_update::StartupEntry SignedLauncherEntry(const fs::path& clientFolder) {
  return orvex_update::LauncherManifestEntry(clientFolder, [](const fs::path& path) { RejectLinkedPath(path); });
}

// Whether a path names something: a file that is being deleted, or that the
// platform will not describe, counts as present; only "not found" is absent.
[[nodiscard]] bool PathPresent(const fs::path& path) {
  if (orvex_update::calls::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) return true;
  const DWORD error = ::GetLastError();
  return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
}

enum class PendingState { kMatches, kDiffers, kUnreadable };

// Reads the pending launcher against the signed entry (the link check is done).
PendingState ReadPending(const fs::path& pending, const orvex_update::StartupEntry& entry) {
  win::UniqueFile file(orvex_update::calls::CreateFileW(pending.c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL));
  if (!file) return PendingState::kUnreadable;
  orvex_update::Digest digest{};
  const bool matches = orvex_update::Sha256OpenFile(file.Get(), entry.size, digest) && digest == entry.digest;
  return matches ? PendingState::kMatches : PendingState::kDiffers;
}

// Shared by PendingLauncherCheck and HasPendingLauncher. True when a verified
// pending launcher differs from the installed one; entry receives the signed entry.
//
// Right after a swap the new launcher runs this while the swap helper deletes
// Launcher2.exe, and a virus scanner may hold the fresh file: once the installed
// launcher is the signed one, a pending copy that cannot be read or deleted is
// a leftover for the next start, never an error box.
[[nodiscard]] bool VerifiedPendingLauncher(const fs::path& clientFolder, orvex_update::StartupEntry& entry) {
  const fs::path pending = clientFolder / L"Launcher2.exe";
  RejectLinkedPath(pending);
  if (!PathPresent(pending)) return false;
  entry = SignedLauncherEntry(clientFolder);
  const PendingState state = ReadPending(pending, entry);
  if (state == PendingState::kDiffers) fail::Throw(fail::Kind::kIntegrity, kMismatchText);
  if (FileMatchesEntry(clientFolder / L"Launcher.exe", entry)) {
    // Already installed: the pending copy has done its work; one that cannot
    // go yet is a leftover for the next start.
    static_cast<void>(orvex_update::calls::DeleteFileW(pending.c_str()));
    return false;
  }
  if (state == PendingState::kMatches) return true;
  // Unreadable and not yet installed: gone since the test above, or held.
  if (!PathPresent(pending)) return false;
  fail::Throw(fail::Kind::kIntegrity, kMismatchText);
}

// Opens an existing file for writing and flushes it to disk. MoveFileExW's
// write-through does not make a rename durable under Wine (and a rename moves
// only the name), so the moved file itself is flushed after every move.
[[nodiscard]] bool FlushFile(const fs::path& path, FlushSite site) {
  win::UniqueFile file = orvex_update::OpenFileRetrying(path, GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING);
  return file && orvex_update::FlushAt(site, file.Get());
}

// Size and digest of the file at path, in an entry without a name, so that a
// copy can be checked with FileMatchesEntry. False when it cannot be read.
[[nodiscard]] bool DescribeFile(const fs::path& path, orvex_update::StartupEntry& out) {
  win::UniqueFile file = orvex_update::OpenFileRetrying(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  LARGE_INTEGER size{};
  if (!file || !orvex_update::calls::GetFileSizeEx(file.Get(), &size)) return false;
  out.size = static_cast<std::uint64_t>(size.QuadPart);
  return orvex_update::Sha256OpenFile(file.Get(), out.size, out.digest);
}

struct SwapFiles {
  fs::path installed;
  fs::path next;
  fs::path previous;
};

// Replaces an older backup by a flushed copy of the installed launcher,
// checked equal to it; backup receives the installed launcher's size and digest.
[[nodiscard]] bool BackUpInstalled(const SwapFiles& files, orvex_update::StartupEntry& backup) {
  try {
    orvex_update::FsRemove(files.previous);  // retried while a scanner holds it
  } catch (const std::exception&) {
    return false;
  }
  return DescribeFile(files.installed, backup) && StepAllowed("backup-copy") &&
         CopyRetrying(files.installed.c_str(), files.previous.c_str(), FALSE) && StepAllowed("backup-flush") &&
         FlushFile(files.previous, FlushSite::kSwapBackup) && FileMatchesEntry(files.previous, backup);
}

// Puts the backup of the replaced launcher back over Launcher.exe the way the
// new one went in: a flushed copy of it, checked, moved over Launcher.exe and
// flushed. Launcher.previous.exe itself stays, so that whatever fails, it
// still holds the previous launcher. True only when Launcher.exe is checked
// equal to the backup.
[[nodiscard]] bool RestorePrevious(const SwapFiles& files, const orvex_update::StartupEntry& backup) {
  try {
    if (!StepAllowed("restore-copy") || !CopyRetrying(files.previous.c_str(), files.next.c_str(), FALSE)) return false;
    if (!StepAllowed("restore-flush") || !FlushFile(files.next, FlushSite::kSwapRestore) || !FileMatchesEntry(files.next, backup)) return false;
    if (!StepAllowed("restore-move") || !MoveRetrying(files.next.c_str(), files.installed.c_str(),
                                                      MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return false;
    }
    return StepAllowed("restore-moved-flush") && FlushFile(files.installed, FlushSite::kSwapRestoreMove) &&
           FileMatchesEntry(files.installed, backup);
  } catch (const std::exception&) {
    return false;
  }
}

// What a launcher file holds against an expected size and digest: the bytes
// themselves decide kDiffers; a file that cannot be opened, flushed or read
// to its end is kUnreadable, and says nothing about its bytes.
enum class Content { kMatches, kDiffers, kUnreadable };

Content ReadContent(const fs::path& path, const orvex_update::StartupEntry& entry) {
  try {
    RejectLinkedPath(path);
  } catch (const std::exception&) {
    return Content::kUnreadable;
  }
  win::UniqueFile file = orvex_update::OpenFileRetrying(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  LARGE_INTEGER size{};
  if (!file || !orvex_update::calls::GetFileSizeEx(file.Get(), &size)) return Content::kUnreadable;
  if (static_cast<std::uint64_t>(size.QuadPart) != entry.size) return Content::kDiffers;
  orvex_update::Digest digest{};
  if (!orvex_update::Sha256OpenFile(file.Get(), entry.size, digest)) return Content::kUnreadable;
  return digest == entry.digest ? Content::kMatches : Content::kDiffers;
}

// A failure after the new launcher was moved over Launcher.exe: puts back the
// launcher this swap backed up (backup is null when there was none) and throws
// cause followed by what the folder now holds. When that fails, a
// Launcher.exe whose bytes are neither the signed launcher nor the backup is
// deleted, never left to be run; one that could not be read is kept (a
// scanner may deny access for longer than the retries), and the message says
// where the previous launcher is.
[[noreturn]] void FailAfterReplace(const std::string& cause, bool installedVerified, const SwapFiles& files,
                                   const orvex_update::StartupEntry& entry, const orvex_update::StartupEntry* backup) {
  if (backup != nullptr && RestorePrevious(files, *backup)) {
    fail::Throw(fail::Kind::kIntegrity, cause + "; the previous launcher was restored.");
  }
  std::string text = cause;
  const Content now = ReadContent(files.installed, entry);
  const bool mismatched =
      now == Content::kDiffers && (backup == nullptr || ReadContent(files.installed, *backup) == Content::kDiffers);
  if (mismatched && orvex_update::calls::DeleteFileW(files.installed.c_str())) {
    text += installedVerified ? " and the unmatched Launcher.exe was removed" : " and was removed";
  }
  fail::Throw(fail::Kind::kRecovery, text + (backup != nullptr ? kNotRestoredText : "."));
}

void WaitForOldLauncher(std::uint32_t processId, std::uint32_t waitLimitMs) {
  win::UniqueHandle process(::OpenProcess(SYNCHRONIZE, FALSE, processId));
  if (!process) {
    // A process id that names no process: the old launcher has already ended.
    if (::GetLastError() == ERROR_INVALID_PARAMETER) return;
    fail::Throw(fail::Kind::kInternal, "Cannot wait for the old launcher.");
  }
  if (::WaitForSingleObject(process.Get(), waitLimitMs) != WAIT_OBJECT_0) {
    fail::Throw(fail::Kind::kLocked, "The old launcher did not close in time.");
  }
}

}  // namespace

void RejectLinkedPath(const fs::path& path) {
  std::error_code error;
  const fs::path absolute = fs::absolute(path, error);
  if (error || absolute.empty())
    fail::Throw(fail::Kind::kIntegrity, "Launcher update path contains a link or junction.");
  fs::path prefix;
  for (const fs::path& part : absolute.lexically_normal()) {
    if (part.empty()) continue;
    prefix /= part;
    // The volume root is where the volume is mounted, not a link inside it;
    // Wine reports its drive roots (dosdevices symlinks) as reparse points.
    if (!prefix.has_relative_path()) continue;
    if (orvex_update::IsReparsePoint(prefix)) {
      fail::Throw(fail::Kind::kIntegrity, "Launcher update path contains a link or junction.");
    }
  }
}

bool FileMatchesEntry(const fs::path& path, const orvex_update::StartupEntry& entry) {
  RejectLinkedPath(path);
  win::UniqueFile file = orvex_update::OpenFileRetrying(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  if (!file) return false;
  orvex_update::Digest digest{};
  return orvex_update::Sha256OpenFile(file.Get(), entry.size, digest) && digest == entry.digest;
}

bool StartDetachedProcess(const fs::path& executable, const fs::path& folder, const std::wstring& arguments) {
  std::wstring commandLine = L"\"" + executable.native() + L"\"" + arguments;
  std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
  buffer.push_back(L'\0');  // CreateProcessW may write into the command line.
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!::CreateProcessW(executable.c_str(), buffer.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                        folder.c_str(), &startup, &info)) {
    return false;
  }
  win::UniqueHandle process(info.hProcess);
  win::UniqueHandle thread(info.hThread);
  return true;
}

ScopedDetachedProcessStarterForTesting::ScopedDetachedProcessStarterForTesting(DetachedProcessStarter starter)
    : previous_(g_starter.exchange(starter != nullptr ? starter : &StartDetachedProcess)) {}

ScopedDetachedProcessStarterForTesting::~ScopedDetachedProcessStarterForTesting() { g_starter.store(previous_); }

ScopedSwapStepHookForTesting::ScopedSwapStepHookForTesting(SwapStepHook hook) : previous_(g_stepHook.exchange(hook)) {}

ScopedSwapStepHookForTesting::~ScopedSwapStepHookForTesting() { g_stepHook.store(previous_); }

int PendingLauncherCheck(const fs::path& clientFolder, std::string& errorText) {
  errorText.clear();
  try {
    orvex_update::StartupEntry entry;
    if (!VerifiedPendingLauncher(clientFolder, entry)) return 0;

    const fs::path area = orvex_update::UpdateAreaPath(clientFolder);
    RejectLinkedPath(area);
    orvex_update::FsCreateDirectories(area);
    const fs::path helper = area / L"launcher-swap.exe";
    RejectLinkedPath(helper);

    wchar_t running[260] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, running, 260);
    if (length == 0 || length >= 260) fail::Throw(fail::Kind::kInternal, "Cannot locate the running launcher.");

    if (!CopyRetrying((clientFolder / L"Launcher2.exe").c_str(), helper.c_str(), FALSE)) {
      fail::Throw(fail::Kind::kDisk, "Cannot prepare launcher replacement helper.");
    }
    // The copy is what runs, so the copy is what must match: Launcher2.exe may
    // have changed between the check above and the copy.
    if (!FileMatchesEntry(helper, entry)) fail::Throw(fail::Kind::kIntegrity, kMismatchText);

    const std::wstring arguments = kSwapSwitch + std::to_wstring(::GetCurrentProcessId());
    if (!StartThroughSeam(helper, clientFolder, arguments)) {
      fail::Throw(fail::Kind::kInternal, "Cannot start launcher replacement helper.");
    }
    return 1;
  } catch (const std::exception& error) {
    errorText = fail::FailureOf(error, "Cannot prepare launcher replacement helper.").text;
    return -1;
  }
}

bool HasPendingLauncher(const fs::path& clientFolder) {
  orvex_update::StartupEntry entry;
  return VerifiedPendingLauncher(clientFolder, entry);
}

void SwapLauncher(const fs::path& clientFolder, std::uint32_t oldProcessId, std::uint32_t waitLimitMs) {
  if (oldProcessId == 0 || oldProcessId == ::GetCurrentProcessId()) {
    fail::Throw(fail::Kind::kUsage, "Invalid launcher replacement process.");
  }
  WaitForOldLauncher(oldProcessId, waitLimitMs);

  const fs::path area = orvex_update::UpdateAreaPath(clientFolder);
  const fs::path pending = clientFolder / L"Launcher2.exe";
  const fs::path installed = clientFolder / L"Launcher.exe";
  const fs::path next = area / L"Launcher.next.exe";
  const fs::path previous = area / L"Launcher.previous.exe";
  const fs::path lockPath = area / L"launcher-swap.lock";
  for (const fs::path* path : {&lockPath, &pending, &installed, &next, &previous}) RejectLinkedPath(*path);

  // Held, never written, until the swap ends; a second helper fails at once.
  win::UniqueFile lock(orvex_update::calls::CreateFileW(lockPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL));
  if (!lock) fail::Throw(fail::Kind::kLocked, "Another launcher replacement is running.");

  const orvex_update::StartupEntry entry = SignedLauncherEntry(clientFolder);
  if (!FileMatchesEntry(pending, entry))
    fail::Throw(fail::Kind::kIntegrity, "Pending launcher failed signature/hash verification.");
  // The staged copy is flushed before it is moved: a rename that reaches the
  // disk before the data would leave an empty Launcher.exe after a power cut.
  if (!CopyRetrying(pending.c_str(), next.c_str(), FALSE) || !FileMatchesEntry(next, entry) ||
      !StepAllowed("stage-flush") || !FlushFile(next, FlushSite::kSwapStage)) {
    fail::Throw(fail::Kind::kDisk, "Cannot stage the new launcher.");
  }

  // Launcher.exe is never absent: the backup is a flushed copy, checked equal
  // to the installed launcher, and the new launcher replaces the old one in
  // one rename. ReplaceFileW is not used: it can fail after it has already
  // moved Launcher.exe to the backup, and it goes through a moment without one.
  const SwapFiles files{installed, next, previous};
  orvex_update::StartupEntry backup;
  const bool hadInstalled = orvex_update::FsExists(installed);
  if (hadInstalled) {
    if (!BackUpInstalled(files, backup) || !StepAllowed("replace") ||
        !MoveRetrying(next.c_str(), installed.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      fail::Throw(fail::Kind::kLocked, kReplaceText);
    }
  } else if (!StepAllowed("replace") || !MoveRetrying(next.c_str(), installed.c_str(), MOVEFILE_WRITE_THROUGH)) {
    fail::Throw(fail::Kind::kDisk, "Cannot install Launcher.exe.");
  }
  // From here on every failure puts the previous launcher back. The flush
  // belongs to the verification: a launcher that may not survive a power cut
  // is not yet installed.
  const orvex_update::StartupEntry* restorable = hadInstalled ? &backup : nullptr;
  bool verified = false;
  try {
    verified = StepAllowed("replace-flush") && FlushFile(installed, FlushSite::kSwapReplace) && FileMatchesEntry(installed, entry);
  } catch (const std::exception&) {
    // A link that appeared since the checks above: not verified.
  }
  if (!verified) FailAfterReplace("The installed launcher failed verification", false, files, entry, restorable);

  if (!StartThroughSeam(installed, clientFolder, std::wstring())) {
    FailAfterReplace("The new launcher could not be started", true, files, entry, restorable);
  }
  // The new launcher is running and deletes a pending copy equal to itself at
  // its own start-up; while it reads the file the delete may fail, and that
  // must not turn a finished swap into a reported failure.
  static_cast<void>(orvex_update::calls::DeleteFileW(pending.c_str()));
}

int RunLauncherSwap(const fs::path& clientFolder, std::uint32_t oldProcessId) {
  try {
    SwapLauncher(clientFolder, oldProcessId);
    return 0;
  } catch (const std::exception& error) {
    ::MessageBoxA(nullptr, fail::FailureOf(error, "Cannot install Launcher.exe.").text.c_str(), kSwapTitle,
                  MB_OK | MB_ICONERROR);
    return 1;
  }
}

}  // namespace modes
