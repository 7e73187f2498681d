// A command-line front to the update engine for the integration tests on
// real folders (tests/e2e/test_install.py):
//
//   orvex_install_driver install <client> <manifest> <signature> <archive>
//                                <target> <installed> [--allow-same] [--as-download]
//                                [--crash-at CHECKPOINT] [--fail-at CHECKPOINT]
//                                [--rename-over-at CHECKPOINT FILE] [--forbid-parse] [--held-from BYTES]
//   orvex_install_driver recover <client>
//   orvex_install_driver repair <client> <installed>
//   orvex_install_driver save-version <client> <version>
//   orvex_install_driver swap <client> [--fail-step STEP]... [--tamper-at STEP]
//   orvex_install_driver batch <command file>
//   orvex_install_driver hold <file> <milliseconds> <starter process id>
//   orvex_install_driver offline-install <executable path>
//   orvex_install_driver tree <folder>
//   orvex_install_driver flush-sites
//   orvex_install_driver --skip-flush SITE <any command above>
//
// Every command but hold, flush-sites and batch itself (each command in a
// batch does) also takes, anywhere after its name:
//   --fail-call N --fail-error E [--lasting]   the Nth file-system call of the
//       command (counted through update/disk/FileCalls.h from 1) fails with
//       the Win32 error E (a number or a name such as ERROR_DISK_FULL); with
//       --lasting every later call on the same path or handle fails too. The
//       lock retries then wait 1 ms instead of up to 480 ms.
//   --count-calls   prints "CALLS: <n> <name>=<count>..." (the calls the
//       command made, in all and by name) before its result line.
//   --no-threads    refuses every worker thread the engine asks for, so that
//       the calls are made in the same order on every run.
//   --skip-recovery-step restore-backups   leaves that step out of every
//       recovery the command runs: the fault tests show with it that they
//       notice a recovery without it.
// With --count-calls outside a batch, the command is bracketed by the debug
// strings "orvex-calls-begin" and "orvex-calls-end", by which a trace of the
// process (WINEDEBUG=+relay) finds the calls the command made.
//
// tree prints one line per entry under the folder, sorted: "TREE: D <path>" or
// "TREE: F <path> <size> <sha256>", paths relative with "/".
//
// install calls InstallUpdate directly (no lock, no recovery afterwards, so the
// test sees exactly what the installer left behind); with --crash-at the
// process is ended with exit code 99 at that checkpoint of the install, as a
// power cut would end it; with --as-download it runs as the download runs it
// instead: under the update lock, after the recovery, and followed by the
// recovery when it fails; with --fail-at the install throws "Injected failure
// at CHECKPOINT." there instead, as a failing step would. recover calls
// RecoverInterruptedUpdate; save-version calls SaveClientVersion; swap calls
// SwapLauncher for an old launcher that has already ended, with a process
// start that always succeeds and starts nothing; --fail-step makes that step
// of the swap fail (as its platform call would), --tamper-at zeroes the first
// byte of Launcher.exe at that step (another program writing into it). Each prints
// "OK" or "ERROR: <message>" on one line and exits 0 or 1. repair calls
// RepairManagedFiles and first prints, in order, one line per callback:
// "STATUS: <text>", "PROGRESS: <done> <total>" and "BEFORE-INSTALL".
//
// hold opens a file without any sharing for a while (or until the starter
// ends) and exits, as a virus
// scanner holds a fresh file. install --hold-at CHECKPOINT FILE MS starts such
// a holder at that checkpoint; repair --hold FILE MS starts one before the
// repair and --hold-before-install FILE MS from the before-install callback.
// Each waits until the holder has the file before it goes on.
//
// offline-install runs the offline installer unattended as if it were the
// executable at that path (in <client>/ORVEX/Patch); it prints its log line
// (kurulum-sonucu.log) as "OK: <line>" or "ERROR: <line>".
//
// flush-sites prints the name of every flush site, one per line.
// --skip-flush leaves out every flush at that site (which must be one of
// them) for the whole run, batch included: the crash-state tests show with it
// that each flush is needed.
//
// --rename-over-at puts, at that checkpoint, another file over FILE in one
// rename: its first byte inverted, its size and write time those of FILE.
// --forbid-parse makes the install fail with "The archive was parsed." the
// moment the archive is opened for parsing. --no-threads refuses every worker thread the
// update engine asks for, as a system out of threads would. --held-from keeps
// the extraction's handle of every staged file of at least BYTES open (1 MiB
// in the product), so that tests can hold small files too.
//
// batch runs many install and recover commands in one process (every Wine
// process start costs about a second): each line of the UTF-8 file is one
// command with its arguments separated by tabs; one result line is printed per
// command (after any lines of its own: CALLS, TREE, the repair's callbacks),
// and the exit code is 0. A --crash-at in a batch is refused.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/Utf8.h"
#include "update/apply/Install.h"
#include "update/apply/Journal.h"
#include "update/disk/OrderedWork.h"
#include "update/repair/Repair.h"
#include "update/disk/Version.h"
#include "modes/Installer.h"
#include "update/unpack/Zip.h"
#include "modes/LauncherSwap.h"
#include "update/disk/FlushSites.h"
#include "update/disk/FileCalls.h"
#include "update/disk/Digest.h"
#include "update/disk/Paths.h"
#include "update/apply/RecoverySteps.h"

namespace {

std::string g_crashAt;

struct Hold {
  std::string checkpoint;
  std::wstring file;
  std::wstring milliseconds;
};
Hold g_hold;

// Starts "hold" in a second process and returns once that process has the
// file open (an open that allows every sharing fails only then).
bool StartHolder(const std::wstring& file, const std::wstring& milliseconds) {
  wchar_t self[MAX_PATH] = {};
  if (::GetModuleFileNameW(nullptr, self, MAX_PATH) == 0) return false;
  std::wstring commandLine = L"\"" + std::wstring(self) + L"\" hold \"" + file + L"\" " + milliseconds + L" " +
                            std::to_wstring(::GetCurrentProcessId());
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(self, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
    return false;
  }
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  for (int i = 0; i < 1000; ++i) {
    HANDLE probe = ::CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (probe == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_SHARING_VIOLATION) return true;
    if (probe != INVALID_HANDLE_VALUE) ::CloseHandle(probe);
    ::Sleep(10);
  }
  return false;
}

// Holds the file for that long, or until the process that started the holder
// ends: a hold meant to outlast every retry then does so however slowly a
// loaded machine runs the retries, and no holder outlives its test.
int RunHolder(const std::wstring& file, const std::wstring& milliseconds, const std::wstring& starter) {
  HANDLE held = ::CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (held == INVALID_HANDLE_VALUE) return 1;
  const DWORD wait = static_cast<DWORD>(std::wcstoul(milliseconds.c_str(), nullptr, 10));
  HANDLE parent = ::OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(std::wcstoul(starter.c_str(), nullptr, 10)));
  if (parent != nullptr) {
    ::WaitForSingleObject(parent, wait);
    ::CloseHandle(parent);
  } else {
    ::Sleep(wait);
  }
  ::CloseHandle(held);
  return 0;
}

// The file's first byte inverted in place, its size kept.
void InvertFirstByte(HANDLE file) {
  unsigned char byte = 0;
  DWORD done = 0;
  if (::ReadFile(file, &byte, 1, &done, nullptr) && done == 1) {
    byte = static_cast<unsigned char>(~byte);
    ::SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    ::WriteFile(file, &byte, 1, &done, nullptr);
  }
}

std::string g_failAt;
// install --write-at CHECKPOINT FILE: another program writing into FILE at
// that checkpoint (its first byte inverted, its size and write time kept).
std::string g_writeAt;
std::wstring g_writeFile;

void WriteBehindTheInstallsBack() {
  const HANDLE file = ::CreateFileW(g_writeFile.c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  FILETIME written{};
  ::GetFileTime(file, nullptr, nullptr, &written);
  InvertFirstByte(file);
  ::SetFileTime(file, nullptr, nullptr, &written);
  ::CloseHandle(file);
}

std::string g_renameOverAt;
std::wstring g_renameOverFile;

void RenameAnotherFileOver() {
  const std::wstring other = g_renameOverFile + L".other";
  if (!::CopyFileW(g_renameOverFile.c_str(), other.c_str(), FALSE)) return;
  FILETIME written{};
  const HANDLE original = ::CreateFileW(g_renameOverFile.c_str(), FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
  if (original == INVALID_HANDLE_VALUE) return;
  ::GetFileTime(original, nullptr, nullptr, &written);
  ::CloseHandle(original);
  const HANDLE file = ::CreateFileW(other.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  InvertFirstByte(file);
  ::SetFileTime(file, nullptr, nullptr, &written);
  ::CloseHandle(file);
  ::MoveFileExW(other.c_str(), g_renameOverFile.c_str(), MOVEFILE_REPLACE_EXISTING);
}

void ParsedAnyway() { throw std::runtime_error("The archive was parsed."); }

bool RefuseEveryThread() { return true; }

void AtCheckpoint(const char* checkpoint) {
  if (g_renameOverAt == checkpoint) RenameAnotherFileOver();
  if (g_hold.checkpoint == checkpoint) StartHolder(g_hold.file, g_hold.milliseconds);
  if (g_writeAt == checkpoint) WriteBehindTheInstallsBack();
  if (g_failAt == checkpoint) throw std::runtime_error("Injected failure at " + g_failAt + ".");
  if (g_crashAt == checkpoint) {
    std::fflush(stdout);
    // TerminateProcess runs no destructors, closes no file through the C
    // runtime and flushes nothing: what is on disk now is what a crash leaves.
    ::TerminateProcess(::GetCurrentProcess(), 99);
  }
}

std::vector<std::string> g_failSteps;
std::string g_tamperStep;
std::filesystem::path g_tampered;

bool SwapStep(const char* step) {
  if (g_tamperStep == step) {
    const HANDLE file = ::CreateFileW(g_tampered.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      const char zero = 0;
      DWORD done = 0;
      ::WriteFile(file, &zero, 1, &done, nullptr);
      ::CloseHandle(file);
    }
  }
  for (const std::string& failing : g_failSteps) {
    if (failing == step) return false;
  }
  return true;
}

bool PretendStarted(const std::filesystem::path&, const std::filesystem::path&, const std::wstring&) { return true; }

// A decimal version argument; anything else is a usage error.
bool ParseVersion(const std::wstring& text, std::uint32_t& value) {
  if (text.empty() || text.size() > 9) return false;
  value = 0;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9') return false;
    value = value * 10 + static_cast<std::uint32_t>(c - L'0');
  }
  return true;
}

struct Result {
  bool ok = false;
  std::string message;
};

// The log of the offline installer that ran last, read once the call
// counting has ended: the reading is the driver's, not the installer's.
std::filesystem::path g_installerLog;

std::string ReadInstallerLog() {
  std::ifstream log(g_installerLog);
  std::string line;
  std::getline(log, line);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  g_installerLog.clear();
  return line;
}

Result Usage(const char* what) { return {false, std::string("usage: ") + what}; }

// The listing of the tree command (see the top).
Result PrintTree(const std::filesystem::path& folder) {
  namespace fs = std::filesystem;
  std::error_code error;
  std::vector<std::pair<std::string, std::string>> lines;  // path, rest
  for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    const std::string path = win::Utf8FromWide(it->path().lexically_relative(folder).generic_wstring());
    if (it->is_directory(error)) {
      lines.emplace_back(path, "D");
      continue;
    }
    try {
      const std::uint64_t size = orvex_update::FsFileSize(it->path());
      lines.emplace_back(path, "F " + std::to_string(size) + " " + orvex_update::HashFileHex(it->path()));
    } catch (const std::exception& failure) {
      lines.emplace_back(path, std::string("F unreadable ") + failure.what());
    }
  }
  if (error) return {false, "tree: " + error.message()};
  std::sort(lines.begin(), lines.end());
  for (const auto& [path, rest] : lines) {
    const std::size_t space = rest.find(' ');
    std::printf("TREE: %s %s%s\n", rest.substr(0, space).c_str(), path.c_str(),
                space == std::string::npos ? "" : rest.substr(space).c_str());
  }
  return {true, {}};
}

Result RunCommand(const std::vector<std::wstring>& args, bool inBatch) {
  if (args.empty()) return Usage("install|recover|batch ...");
  const std::wstring& command = args[0];
  if (command == L"install") {
    if (args.size() < 7) return Usage("install <client> <manifest> <signature> <archive> <target> <installed>");
    std::uint32_t target = 0;
    std::uint32_t installed = 0;
    if (!ParseVersion(args[5], target) || !ParseVersion(args[6], installed)) return Usage("versions are decimal");
    bool allowSame = false;
    bool asDownload = false;
    bool forbidParse = false;
    std::optional<std::uint64_t> heldFrom;
    std::string crashAt;
    std::string failAt;
    for (std::size_t i = 7; i < args.size(); ++i) {
      if (args[i] == L"--allow-same") {
        allowSame = true;
      } else if (args[i] == L"--as-download") {
        asDownload = true;
      } else if (args[i] == L"--crash-at" && i + 1 < args.size() && !inBatch) {
        crashAt = win::Utf8FromWide(args[++i]);
      } else if (args[i] == L"--hold-at" && i + 3 < args.size() && !inBatch) {
        g_hold = {win::Utf8FromWide(args[i + 1]), args[i + 2], args[i + 3]};
        i += 3;
      } else if (args[i] == L"--fail-at" && i + 1 < args.size()) {
        failAt = win::Utf8FromWide(args[++i]);
      } else if (args[i] == L"--rename-over-at" && i + 2 < args.size() && !inBatch) {
        g_renameOverAt = win::Utf8FromWide(args[i + 1]);
        g_renameOverFile = args[i + 2];
        i += 2;
      } else if (args[i] == L"--forbid-parse") {
        forbidParse = true;
      } else if (args[i] == L"--held-from" && i + 1 < args.size()) {
        heldFrom = std::wcstoull(args[++i].c_str(), nullptr, 10);
      } else if (args[i] == L"--write-at" && i + 2 < args.size() && !inBatch) {
        g_writeAt = win::Utf8FromWide(args[i + 1]);
        g_writeFile = args[i + 2];
        i += 2;
      } else {
        return Usage("install ... [--allow-same] [--as-download] [--crash-at|--fail-at CHECKPOINT] [--hold-at ...] [--write-at|--rename-over-at CHECKPOINT FILE] [--forbid-parse] [--no-threads] [--held-from BYTES]");
      }
    }
    g_crashAt = crashAt;
    g_failAt = failAt;
    const bool hooked = !crashAt.empty() || !failAt.empty() || !g_hold.checkpoint.empty() || !g_writeAt.empty() ||
                        !g_renameOverAt.empty();
    orvex_update::SetInstallCheckpointHook(hooked ? &AtCheckpoint : nullptr);
    orvex_update::SetArchiveParseHook(forbidParse ? &ParsedAnyway : nullptr);
    const std::uint64_t productHeldFrom =
        orvex_update::SetHeldFileBytes(heldFrom ? *heldFrom : orvex_update::HeldFileBytes());
    Result result{true, {}};
    try {
      if (asDownload) {
        const orvex_update::UpdateLock lock(args[1]);
        orvex_update::RecoverTransaction(args[1]);
        orvex_update::InstallUpdate(args[2], args[1], args[3], args[4], target, installed, allowSame, {});
      } else {
        orvex_update::InstallUpdate(args[2], args[1], args[3], args[4], target, installed, allowSame, {});
      }
    } catch (const std::exception& error) {
      result = {false, error.what()};
      if (asDownload) orvex_update::RecoverAfterFailure(args[1], result.message);
    }
    orvex_update::SetArchiveParseHook(nullptr);
    orvex_update::SetHeldFileBytes(productHeldFrom);
    return result;
  }
  if (command == L"recover") {
    if (args.size() != 2) return Usage("recover <client>");
    std::string errorText;
    if (!orvex_update::RecoverInterruptedUpdate(args[1], errorText)) return {false, errorText};
    return {true, {}};
  }
  if (command == L"save-version") {
    std::uint32_t version = 0;
    if (args.size() != 3 || !ParseVersion(args[2], version)) return Usage("save-version <client> <version>");
    try {
      orvex_update::SaveClientVersion(args[1], version);
    } catch (const std::exception& error) {
      return {false, error.what()};
    }
    return {true, {}};
  }
  if (command == L"swap") {
    if (args.size() < 2) return Usage("swap <client>");
    for (std::size_t i = 2; i < args.size(); ++i) {
      if (args[i] == L"--fail-step" && i + 1 < args.size()) {
        g_failSteps.push_back(win::Utf8FromWide(args[++i]));
      } else if (args[i] == L"--tamper-at" && i + 1 < args.size()) {
        g_tamperStep = win::Utf8FromWide(args[++i]);
      } else {
        return Usage("swap <client> [--fail-step STEP]... [--tamper-at STEP]");
      }
    }
    g_tampered = std::filesystem::path(args[1]) / L"Launcher.exe";
    SetSwapStepHook(&SwapStep);
    SetDetachedProcessStarter(&PretendStarted);
    try {
      // No process has this id (Windows ids are multiples of 4), so the wait
      // for the old launcher ends at once.
      SwapLauncher(args[1], 0xFFFFFFF1u);
    } catch (const std::exception& error) {
      return {false, error.what()};
    }
    return {true, {}};
  }
  if (command == L"repair") {
    std::uint32_t installed = 0;
    if (args.size() < 3 || !ParseVersion(args[2], installed)) return Usage("repair <client> <installed>");
    Hold beforeInstall;
    for (std::size_t i = 3; i < args.size(); ++i) {
      if (args[i] == L"--hold" && i + 2 < args.size()) {
        if (!StartHolder(args[i + 1], args[i + 2])) return Usage("repair ... --hold <existing file> <ms>");
        i += 2;
      } else if (args[i] == L"--hold-before-install" && i + 2 < args.size()) {
        beforeInstall = {"before-install", args[i + 1], args[i + 2]};
        i += 2;
      } else {
        return Usage("repair <client> <installed> [--hold FILE MS] [--hold-before-install FILE MS]");
      }
    }
    std::string errorText;
    const bool ok = orvex_update::RepairManagedFiles(
        args[1], installed, [](const std::string& text) { std::printf("STATUS: %s\n", text.c_str()); }, errorText,
        [](std::uint64_t done, std::uint64_t total) {
          std::printf("PROGRESS: %llu %llu\n", static_cast<unsigned long long>(done),
                      static_cast<unsigned long long>(total));
        },
        [&beforeInstall] {
          std::printf("BEFORE-INSTALL\n");
          if (!beforeInstall.file.empty()) StartHolder(beforeInstall.file, beforeInstall.milliseconds);
        });
    return {ok, errorText};
  }
  if (command == L"offline-install") {
    if (args.size() != 2) return Usage("offline-install <executable path>");
    g_installerLog = std::filesystem::path(args[1]).parent_path() / L"kurulum-sonucu.log";
    return {RunInstallerMode(args[1], true) == 0, {}};
  }
  if (command == L"tree") {
    if (args.size() != 2) return Usage("tree <folder>");
    return PrintTree(args[1]);
  }
  return Usage("install|recover|repair|save-version|swap|offline-install|tree|batch ...");
}

// The Win32 error for a number or one of the names the fault tests use.
bool ParseError(const std::wstring& text, DWORD& error) {
  static const std::pair<const wchar_t*, DWORD> kNames[] = {
      {L"ERROR_DISK_FULL", ERROR_DISK_FULL},
      {L"ERROR_HANDLE_DISK_FULL", ERROR_HANDLE_DISK_FULL},
      {L"ERROR_ACCESS_DENIED", ERROR_ACCESS_DENIED},
      {L"ERROR_SHARING_VIOLATION", ERROR_SHARING_VIOLATION},
      {L"ERROR_LOCK_VIOLATION", ERROR_LOCK_VIOLATION},
      {L"ERROR_IO_DEVICE", ERROR_IO_DEVICE},
      {L"ERROR_FILE_NOT_FOUND", ERROR_FILE_NOT_FOUND},
      {L"ERROR_PATH_NOT_FOUND", ERROR_PATH_NOT_FOUND},
      {L"ERROR_WRITE_PROTECT", ERROR_WRITE_PROTECT},
      {L"ERROR_CRC", ERROR_CRC},
  };
  for (const auto& [name, value] : kNames) {
    if (text == name) {
      error = value;
      return true;
    }
  }
  if (text.empty() || text.find_first_not_of(L"0123456789") != std::wstring::npos) return false;
  error = static_cast<DWORD>(std::wcstoul(text.c_str(), nullptr, 10));
  return error != 0;
}

// A command with the options every command takes (see the top): they are
// taken out of args, and the command runs with the fault set, the calls
// counted and worker threads refused as asked.
Result RunWithCallOptions(std::vector<std::wstring> args, bool inBatch) {
  std::optional<orvex_update::calls::FileCallFault> fault;
  bool count = false;
  bool noThreads = false;
  std::optional<orvex_update::RecoveryStep> skipped;
  for (std::size_t i = 1; i < args.size();) {
    if (args[i] == L"--fail-call" && i + 3 < args.size() && args[i + 2] == L"--fail-error") {
      orvex_update::calls::FileCallFault wanted;
      wanted.number = std::wcstoull(args[i + 1].c_str(), nullptr, 10);
      if (wanted.number == 0 || !ParseError(args[i + 3], wanted.error)) {
        return Usage("--fail-call <N from 1> --fail-error <number or ERROR_ name> [--lasting]");
      }
      fault = wanted;
      args.erase(args.begin() + static_cast<std::ptrdiff_t>(i), args.begin() + static_cast<std::ptrdiff_t>(i + 4));
    } else if (args[i] == L"--lasting" && fault) {
      fault->lasting = true;
      args.erase(args.begin() + static_cast<std::ptrdiff_t>(i));
    } else if (args[i] == L"--skip-recovery-step" && i + 1 < args.size()) {
      orvex_update::RecoveryStep step{};
      if (!orvex_update::RecoveryStepByName(win::Utf8FromWide(args[i + 1]), step)) {
        return Usage("--skip-recovery-step restore-backups");
      }
      skipped = step;
      args.erase(args.begin() + static_cast<std::ptrdiff_t>(i), args.begin() + static_cast<std::ptrdiff_t>(i + 2));
    } else if (args[i] == L"--count-calls") {
      count = true;
      args.erase(args.begin() + static_cast<std::ptrdiff_t>(i));
    } else if (args[i] == L"--no-threads") {
      noThreads = true;
      args.erase(args.begin() + static_cast<std::ptrdiff_t>(i));
    } else {
      ++i;
    }
  }
  if (noThreads) orvex_update::SetThreadStartRefusal(&RefuseEveryThread);
  const auto before = orvex_update::calls::CallCountsByName();
  const std::uint64_t started = orvex_update::calls::CallCount();
  Result result;
  {
    std::optional<orvex_update::calls::ScopedFileCallFaultForTesting> failing;
    std::optional<orvex_update::ScopedLockRetryWaitForTesting> shortWaits;
    std::optional<orvex_update::ScopedSkipRecoveryStepForTesting> skipping;
    if (skipped) skipping.emplace(*skipped);
    if (fault) {
      failing.emplace(*fault);
      shortWaits.emplace(1);
    }
    if (count && !inBatch) ::OutputDebugStringA("orvex-calls-begin");
    result = RunCommand(args, inBatch);
    if (count && !inBatch) ::OutputDebugStringA("orvex-calls-end");
  }
  if (noThreads) orvex_update::SetThreadStartRefusal(nullptr);
  if (!g_installerLog.empty()) result.message = ReadInstallerLog();
  if (count) {
    std::string line = "CALLS: " + std::to_string(orvex_update::calls::CallCount() - started);
    const auto after = orvex_update::calls::CallCountsByName();
    for (std::size_t i = 0; i < after.size(); ++i) {
      const std::uint64_t made = after[i].second - before[i].second;
      if (made != 0) line += " " + std::string(after[i].first) + "=" + std::to_string(made);
    }
    std::printf("%s\n", line.c_str());
  }
  return result;
}

void Print(const Result& result) {
  if (result.ok && !result.message.empty()) {
    std::printf("OK: %s\n", result.message.c_str());
  } else if (result.ok) {
    std::printf("OK\n");
  } else {
    std::printf("ERROR: %s\n", result.message.c_str());
  }
  std::fflush(stdout);
}

int RunBatch(const std::wstring& file) {
  std::ifstream in(std::filesystem::path(file), std::ios::binary);
  if (!in) {
    Print(Usage("batch <readable command file>"));
    return 1;
  }
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    std::vector<std::wstring> args;
    std::size_t start = 0;
    for (;;) {
      const std::size_t tab = line.find('\t', start);
      args.push_back(win::WideFromUtf8(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start)));
      if (tab == std::string::npos) break;
      start = tab + 1;
    }
    Print(RunWithCallOptions(args, true));
  }
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::vector<std::wstring> args(argv + 1, argv + argc);
  if (args.size() == 1 && args[0] == L"flush-sites") {
    for (const std::string_view name : orvex_update::kFlushSiteNames) {
      std::printf("%.*s\n", static_cast<int>(name.size()), name.data());
    }
    return 0;
  }
  if (args.size() >= 2 && args[0] == L"--skip-flush") {
    orvex_update::FlushSite site{};
    if (!orvex_update::FlushSiteByName(win::Utf8FromWide(args[1]), site)) {
      Print(Usage("--skip-flush <a name that flush-sites prints> <command>"));
      return 2;
    }
    orvex_update::SkipFlushSiteForTest(site);
    args.erase(args.begin(), args.begin() + 2);
  }

  if (args.size() == 2 && args[0] == L"batch") return RunBatch(args[1]);
  if (args.size() == 4 && args[0] == L"hold") return RunHolder(args[1], args[2], args[3]);
  const Result result = RunWithCallOptions(args, false);
  Print(result);
  return result.ok ? 0 : 1;
}
