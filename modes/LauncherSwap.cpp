#include "LauncherSwap.h"

#include <atomic>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "common/WinHandles.h"
#include "update/ClientManifest.h"
#include "update/Digest.h"
#include "update/Paths.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kMismatchText = "Launcher2.exe does not match the signed release. It was not executed.";
constexpr const char* kSwapTitle = "ORVEX Launcher Update";
constexpr const wchar_t* kSwapSwitch = L" --orvex-launcher-swap ";

std::atomic<DetachedProcessStarter> g_starter{&StartDetachedProcess};

bool StartThroughSeam(const fs::path& executable, const fs::path& folder, const std::wstring& arguments) {
  return g_starter.load()(executable, folder, arguments);
}

orvex_update::StartupEntry SignedLauncherEntry(const fs::path& clientFolder) {
  return orvex_update::LauncherManifestEntry(clientFolder, [](const fs::path& path) { RejectLinkedPath(path); });
}

// Checks the pending launcher against the signed entry. False when it is gone:
// the swap helper deletes it right after starting the new launcher, and the
// new launcher's own start-up check may be looking at it at that moment; a file
// that vanished between the existence test and the read is absent, not forged.
bool PendingMatches(const fs::path& pending, const orvex_update::StartupEntry& entry) {
  if (FileMatchesEntry(pending, entry)) return true;
  if (!orvex_update::FsExists(pending)) return false;
  throw std::runtime_error(kMismatchText);
}

// Shared by PendingLauncherCheck and HasPendingLauncher. True when a verified
// pending launcher differs from the installed one; entry receives the signed entry.
bool VerifiedPendingLauncher(const fs::path& clientFolder, orvex_update::StartupEntry& entry) {
  const fs::path pending = clientFolder / L"Launcher2.exe";
  RejectLinkedPath(pending);
  if (!orvex_update::FsExists(pending)) return false;
  entry = SignedLauncherEntry(clientFolder);
  if (!PendingMatches(pending, entry)) return false;
  if (FileMatchesEntry(clientFolder / L"Launcher.exe", entry)) {
    // Already installed: the pending copy has done its work.
    orvex_update::FsRemove(pending);
    return false;
  }
  return true;
}

void WaitForOldLauncher(std::uint32_t processId, std::uint32_t waitLimitMs) {
  win::UniqueHandle process(::OpenProcess(SYNCHRONIZE, FALSE, processId));
  if (!process) {
    // A process id that names no process: the old launcher has already ended.
    if (::GetLastError() == ERROR_INVALID_PARAMETER) return;
    throw std::runtime_error("Cannot wait for the old launcher.");
  }
  if (::WaitForSingleObject(process.Get(), waitLimitMs) != WAIT_OBJECT_0) {
    throw std::runtime_error("The old launcher did not close in time.");
  }
}

}  // namespace

void RejectLinkedPath(const fs::path& path) {
  std::error_code error;
  const fs::path absolute = fs::absolute(path, error);
  if (error || absolute.empty()) throw std::runtime_error("Launcher update path contains a link or junction.");
  fs::path prefix;
  for (const fs::path& part : absolute.lexically_normal()) {
    if (part.empty()) continue;
    prefix /= part;
    // The volume root is where the volume is mounted, not a link inside it;
    // Wine reports its drive roots (dosdevices symlinks) as reparse points.
    if (!prefix.has_relative_path()) continue;
    if (orvex_update::IsReparsePoint(prefix)) {
      throw std::runtime_error("Launcher update path contains a link or junction.");
    }
  }
}

bool FileMatchesEntry(const fs::path& path, const orvex_update::StartupEntry& entry) {
  RejectLinkedPath(path);
  win::UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
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

DetachedProcessStarter SetDetachedProcessStarter(DetachedProcessStarter starter) {
  return g_starter.exchange(starter != nullptr ? starter : &StartDetachedProcess);
}

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
    if (length == 0 || length >= 260) throw std::runtime_error("Cannot locate the running launcher.");

    if (!::CopyFileW((clientFolder / L"Launcher2.exe").c_str(), helper.c_str(), FALSE)) {
      throw std::runtime_error("Cannot prepare launcher replacement helper.");
    }
    // The copy is what runs, so the copy is what must match: Launcher2.exe may
    // have changed between the check above and the copy.
    if (!FileMatchesEntry(helper, entry)) throw std::runtime_error(kMismatchText);

    const std::wstring arguments = kSwapSwitch + std::to_wstring(::GetCurrentProcessId());
    if (!StartThroughSeam(helper, clientFolder, arguments)) {
      throw std::runtime_error("Cannot start launcher replacement helper.");
    }
    return 1;
  } catch (const std::exception& error) {
    errorText = error.what();
    return -1;
  }
}

bool HasPendingLauncher(const fs::path& clientFolder) {
  orvex_update::StartupEntry entry;
  return VerifiedPendingLauncher(clientFolder, entry);
}

void SwapLauncher(const fs::path& clientFolder, std::uint32_t oldProcessId, std::uint32_t waitLimitMs) {
  if (oldProcessId == 0 || oldProcessId == ::GetCurrentProcessId()) {
    throw std::runtime_error("Invalid launcher replacement process.");
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
  win::UniqueFile lock(::CreateFileW(lockPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!lock) throw std::runtime_error("Another launcher replacement is running.");

  const orvex_update::StartupEntry entry = SignedLauncherEntry(clientFolder);
  if (!FileMatchesEntry(pending, entry))
    throw std::runtime_error("Pending launcher failed signature/hash verification.");
  if (!::CopyFileW(pending.c_str(), next.c_str(), FALSE) || !FileMatchesEntry(next, entry)) {
    throw std::runtime_error("Cannot stage the new launcher.");
  }

  if (orvex_update::FsExists(installed)) {
    if (orvex_update::FsExists(previous)) orvex_update::FsRemove(previous);
    if (!::ReplaceFileW(installed.c_str(), next.c_str(), previous.c_str(), 0, nullptr, nullptr)) {
      throw std::runtime_error("Cannot replace Launcher.exe. Close the game/launcher and retry.");
    }
  } else if (!::MoveFileExW(next.c_str(), installed.c_str(), MOVEFILE_WRITE_THROUGH)) {
    throw std::runtime_error("Cannot install Launcher.exe.");
  }
  if (!FileMatchesEntry(installed, entry)) throw std::runtime_error("The installed launcher failed verification.");

  if (!StartThroughSeam(installed, clientFolder, std::wstring())) {
    if (orvex_update::FsExists(previous)) {
      ::ReplaceFileW(installed.c_str(), previous.c_str(), nullptr, 0, nullptr, nullptr);
    }
    throw std::runtime_error("The new launcher could not be started; the previous launcher was restored.");
  }
  // The new launcher is running and deletes a pending copy equal to itself at
  // its own start-up; while it reads the file the delete may fail, and that
  // must not turn a finished swap into a reported failure.
  std::error_code ignored;
  fs::remove(pending, ignored);
}

int RunLauncherSwap(const fs::path& clientFolder, std::uint32_t oldProcessId) {
  try {
    SwapLauncher(clientFolder, oldProcessId);
    return 0;
  } catch (const std::exception& error) {
    ::MessageBoxA(nullptr, error.what(), kSwapTitle, MB_OK | MB_ICONERROR);
    return 1;
  }
}
