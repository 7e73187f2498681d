// A command-line front to the update engine for the integration tests on
// real folders (tests/e2e/test_install.py, tests/e2e/test_meddling.py and
// tests/durability):
//
//   orvex_install_driver install <client> <manifest> <signature> <archive>
//                                <target> <installed> [--allow-same] [--as-download] [MEDDLING]...
//                                [--forbid-parse] [--held-from BYTES] [--slow-flush-ahead MS]
//   orvex_install_driver recover <client> [MEDDLING]...
//   orvex_install_driver download <client> <base url> <manifest name> <target> <installed>
//                                 [--fill-at POINT bytes|entries FOLDER]
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
// test sees exactly what the installer left behind); with --as-download it
// runs as the download runs it instead: under the update lock, after the
// recovery, and followed by the recovery when it fails. recover calls
// RecoverInterruptedUpdate. MEDDLING is any of these, each at a checkpoint of
// the install or of the recovery (update/apply/Checkpoints.h):
//   --crash-at CHECKPOINT         the process ends with exit code 99 there, as
//                                 a power cut would end it
//   --fail-at CHECKPOINT          the operation throws "Injected failure at
//                                 CHECKPOINT." there, as a failing step would
//   --write-at CHECKPOINT FILE    another program writes into FILE: its first
//                                 byte inverted, its size and write time kept
//   --rename-over-at CHECKPOINT FILE  another file put over FILE in one
//                                 rename: its first byte inverted, its size
//                                 and write time those of FILE
//   --delete-at CHECKPOINT FILE   another program deletes FILE, as a virus
//                                 scanner's quarantine does
//   --hold-at CHECKPOINT FILE MS  another program holds FILE without sharing
//                                 (see hold below)
//   --read-at CHECKPOINT FILE     another program reads FILE, sharing reading
//                                 alone, until the command ends
// When another program's work cannot be done (FILE is missing or held open),
// a line "MEDDLING FAILED: <option> <checkpoint> <file> <error code>" goes to
// standard error, so that a test can tell a cell that never happened from
// one that did. save-version calls SaveClientVersion; swap calls
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
// scanner holds a fresh file. --hold-at CHECKPOINT FILE MS starts such
// a holder at that checkpoint; repair --hold FILE MS starts one before the
// repair and --hold-before-install FILE MS from the before-install callback.
// Each waits until the holder has the file before it goes on. No hold
// outlasts the command that started it, in a batch either.
//
// offline-install runs the offline installer unattended as if it were the
// executable at that path (in <client>/ORVEX/Patch); it prints its log line
// (kurulum-sonucu.log) as "OK: <line>" or "ERROR: <line>".
//
// download calls DownloadSignedUpdate (lock, recovery, download, install and
// the recovery after a failure, as the launcher runs them); before its result
// it prints "RETRY: yes" or "RETRY: no", whether the session would run again
// after that failure as after a network failure, and "CODE: <n>", the system
// code beside the text.
//
// --fill-at (install and download) fills the volume of FOLDER at that point,
// as another program writing to the same disk would: "bytes" writes
// FOLDER/filler.bin until no byte fits, "entries" creates empty files in
// FOLDER until no file can be made. POINT is a checkpoint of the install, or
// "archive" (the archive download starts) or "extract" (the extraction
// starts), the status texts of those steps.
//
// flush-sites prints the name of every flush site, one per line.
// --skip-flush leaves out every flush at that site (which must be one of
// them) for the whole run, batch included: the crash-state tests show with it
// that each flush is needed.
//
// --forbid-parse makes the install fail with "The archive was parsed." the
// moment the archive is opened for parsing. --no-threads refuses every worker thread the
// update engine asks for, as a system out of threads would. --held-from keeps
// the extraction's handle of every staged file of at least BYTES open (1 MiB
// in the product), so that tests can hold small files too. --slow-flush-ahead
// makes each flush that only moves writes earlier wait MS with its file open.
//
// batch runs many install and recover commands in one process (every Wine
// process start costs about a second): each line of the UTF-8 file is one
// command with its arguments separated by tabs; one result line is printed per
// command (after any lines of its own: CALLS, TREE, the repair's callbacks),
// and the exit code is 0. A --crash-at in a batch is refused; every other
// option holds for its own command only.
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

#include "common/Errors.h"
#include "common/Utf8.h"
#include "session/SessionRules.h"
#include "update/Download.h"
#include "update/apply/Install.h"
#include "update/apply/Journal.h"
#include "update/disk/OrderedWork.h"
#include "update/repair/Repair.h"
#include "update/disk/Version.h"
#include "modes/Installer.h"
#include "update/unpack/Zip.h"
#include "modes/LauncherSwap.h"
#include "update/disk/FlushSites.h"
#include "update/disk/FileWork.h"
#include "update/disk/FileCalls.h"
#include "update/disk/Digest.h"
#include "update/disk/Paths.h"
#include "update/apply/RecoverySteps.h"

namespace {

struct Hold {
  std::string checkpoint;
  std::wstring file;
  std::wstring milliseconds;
};

// The holders started by the running command, ended with it.
std::vector<HANDLE> g_holders;

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
  g_holders.push_back(process.hProcess);
  for (int i = 0; i < 1000; ++i) {
    HANDLE probe = ::CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (probe == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_SHARING_VIOLATION) return true;
    if (probe != INVALID_HANDLE_VALUE) ::CloseHandle(probe);
    // A holder that could not open the file has ended: nothing will be held.
    if (::WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0) return false;
    ::Sleep(10);
  }
  return false;
}

// Ends the holders of the command that has just finished and waits until
// they have let go of their files.
// Files opened by --read-at, open until their command ends.
std::vector<HANDLE> g_readers;

void EndHolders() {
  for (const HANDLE reader : g_readers) ::CloseHandle(reader);
  g_readers.clear();
  for (const HANDLE holder : g_holders) {
    ::TerminateProcess(holder, 0);
    ::WaitForSingleObject(holder, INFINITE);
    ::CloseHandle(holder);
  }
  g_holders.clear();
}

// Holds the file for that long, or until the process that started the holder
// ends: a hold meant to outlast every retry then does so however slowly a
// loaded machine runs the retries, and no holder outlives its test.
int RunHolder(const std::wstring& file, const std::wstring& milliseconds, const std::wstring& starter) {
  // The starter's probe opens the file for a moment now and then, and so may
  // the operation under test: an open without sharing that meets one of them
  // is tried again.
  HANDLE held = INVALID_HANDLE_VALUE;
  for (int i = 0; i < 1000 && held == INVALID_HANDLE_VALUE; ++i) {
    held = ::CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_SHARING_VIOLATION) return 1;
    if (held == INVALID_HANDLE_VALUE) ::Sleep(5);
  }
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

// What other programs do during one command, and where (see MEDDLING above).
struct Meddling {
  std::string crashAt;
  std::string failAt;
  std::string writeAt;
  std::wstring writeFile;
  std::string renameOverAt;
  std::wstring renameOverFile;
  std::string deleteAt;
  std::wstring deleteFile;
  std::string readAt;
  std::wstring readFile;
  Hold hold;

  bool Any() const {
    return !crashAt.empty() || !failAt.empty() || !writeAt.empty() || !renameOverAt.empty() || !deleteAt.empty() ||
           !readAt.empty() || !hold.checkpoint.empty();
  }
};
Meddling g_meddling;

// Reads one meddling option at args[i] into meddling and moves i past its
// arguments; false when args[i] is none (or a --crash-at in a batch).
bool ParseMeddling(const std::vector<std::wstring>& args, std::size_t& i, bool inBatch, Meddling& meddling) {
  const std::size_t left = args.size() - i - 1;
  const auto at = [&](std::size_t k) { return win::Utf8FromWide(args[i + k]); };
  if (args[i] == L"--crash-at" && left >= 1 && !inBatch) {
    meddling.crashAt = at(1);
    i += 1;
  } else if (args[i] == L"--fail-at" && left >= 1) {
    meddling.failAt = at(1);
    i += 1;
  } else if (args[i] == L"--write-at" && left >= 2) {
    meddling.writeAt = at(1);
    meddling.writeFile = args[i + 2];
    i += 2;
  } else if (args[i] == L"--rename-over-at" && left >= 2) {
    meddling.renameOverAt = at(1);
    meddling.renameOverFile = args[i + 2];
    i += 2;
  } else if (args[i] == L"--delete-at" && left >= 2) {
    meddling.deleteAt = at(1);
    meddling.deleteFile = args[i + 2];
    i += 2;
  } else if (args[i] == L"--read-at" && left >= 2) {
    meddling.readAt = at(1);
    meddling.readFile = args[i + 2];
    i += 2;
  } else if (args[i] == L"--hold-at" && left >= 3) {
    meddling.hold = {at(1), args[i + 2], args[i + 3]};
    i += 3;
  } else {
    return false;
  }
  return true;
}

void ReportMeddlingFailed(const char* option, const char* checkpoint, const std::wstring& file, DWORD error) {
  std::fprintf(stderr, "MEDDLING FAILED: %s %s %s %lu\n", option, checkpoint, win::Utf8FromWide(file).c_str(),
               static_cast<unsigned long>(error));
  std::fflush(stderr);
}

bool WriteBehindTheInstallsBack(const std::wstring& path) {
  const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  FILETIME written{};
  ::GetFileTime(file, nullptr, nullptr, &written);
  InvertFirstByte(file);
  ::SetFileTime(file, nullptr, nullptr, &written);
  ::CloseHandle(file);
  return true;
}

bool RenameAnotherFileOver(const std::wstring& path) {
  const std::wstring other = path + L".other";
  if (!::CopyFileW(path.c_str(), other.c_str(), FALSE)) return false;
  FILETIME written{};
  const HANDLE original = ::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
  if (original == INVALID_HANDLE_VALUE) return false;
  ::GetFileTime(original, nullptr, nullptr, &written);
  ::CloseHandle(original);
  const HANDLE file = ::CreateFileW(other.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  InvertFirstByte(file);
  ::SetFileTime(file, nullptr, nullptr, &written);
  ::CloseHandle(file);
  return ::MoveFileExW(other.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
}

void ParsedAnyway() { fail::Throw(fail::Kind::kInternal, "The archive was parsed."); }

bool RefuseEveryThread() { return true; }

struct Fill {
  std::string point;
  bool entries = false;
  std::wstring folder;
};
Fill g_fill;

// Writes FOLDER/filler.bin until the volume takes no further byte: large
// pieces first, then ever smaller ones down to a single byte.
void FillBytes(const std::wstring& folder) {
  const HANDLE file = ::CreateFileW((folder + L"\\filler.bin").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  ::SetFilePointer(file, 0, nullptr, FILE_END);
  const std::vector<char> zeros(1 << 20, 0);
  for (DWORD piece = 1 << 20; piece > 0; piece /= 4) {
    DWORD written = 0;
    while (::WriteFile(file, zeros.data(), piece, &written, nullptr) && written == piece) {
    }
  }
  ::CloseHandle(file);
}

// Creates empty files in FOLDER until the volume has no file entry left.
void FillEntries(const std::wstring& folder) {
  for (unsigned i = 0;; ++i) {
    const HANDLE file = ::CreateFileW((folder + L"\\entry-" + std::to_wstring(i)).c_str(), GENERIC_WRITE, 0, nullptr,
                                      CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      if (::GetLastError() == ERROR_FILE_EXISTS) continue;
      return;
    }
    ::CloseHandle(file);
  }
}

void FillAt(const std::string& point) {
  if (g_fill.point != point) return;
  g_fill.point.clear();  // once
  if (g_fill.entries) {
    FillEntries(g_fill.folder);
  } else {
    FillBytes(g_fill.folder);
  }
}

// The status texts that stand for a fill point.
void FillAtStatus(const std::string& text) {
  if (text == "Extracting verified update into staging...") {
    FillAt("extract");
  } else if (text.starts_with("Downloading ") && text != "Downloading signed update manifest...") {
    FillAt("archive");
  }
}

// --fill-at POINT bytes|entries FOLDER at args[i]; false when malformed.
bool ParseFill(const std::vector<std::wstring>& args, std::size_t& i) {
  if (args[i] != L"--fill-at" || i + 3 >= args.size()) return false;
  if (args[i + 2] != L"bytes" && args[i + 2] != L"entries") return false;
  g_fill = {win::Utf8FromWide(args[i + 1]), args[i + 2] == L"entries", args[i + 3]};
  i += 3;
  return true;
}

void AtCheckpoint(const char* checkpoint) {
  FillAt(checkpoint);
  const Meddling& m = g_meddling;
  if (m.renameOverAt == checkpoint && !RenameAnotherFileOver(m.renameOverFile)) {
    ReportMeddlingFailed("--rename-over-at", checkpoint, m.renameOverFile, ::GetLastError());
  }
  if (m.hold.checkpoint == checkpoint && !StartHolder(m.hold.file, m.hold.milliseconds)) {
    ReportMeddlingFailed("--hold-at", checkpoint, m.hold.file, ::GetLastError());
  }
  if (m.writeAt == checkpoint && !WriteBehindTheInstallsBack(m.writeFile)) {
    ReportMeddlingFailed("--write-at", checkpoint, m.writeFile, ::GetLastError());
  }
  if (m.readAt == checkpoint) {
    // A reader in this very process, so that it has the file before the
    // operation goes on: reading shared, writing, renaming and deleting not.
    const HANDLE reader = ::CreateFileW(m.readFile.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
    if (reader == INVALID_HANDLE_VALUE) {
      ReportMeddlingFailed("--read-at", checkpoint, m.readFile, ::GetLastError());
    } else {
      g_readers.push_back(reader);
    }
  }
  if (m.deleteAt == checkpoint && !::DeleteFileW(m.deleteFile.c_str())) {
    ReportMeddlingFailed("--delete-at", checkpoint, m.deleteFile, ::GetLastError());
  }
  // A step's own failure, as the player would read it.
  if (m.failAt == checkpoint) fail::Throw(fail::Kind::kDisk, "Injected failure at " + m.failAt + ".");
  if (m.crashAt == checkpoint) {
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
    unsigned slowFlushAhead = 0;
    for (std::size_t i = 7; i < args.size(); ++i) {
      if (ParseMeddling(args, i, inBatch, g_meddling)) continue;
      if (args[i] == L"--allow-same") {
        allowSame = true;
      } else if (args[i] == L"--as-download") {
        asDownload = true;
      } else if (args[i] == L"--forbid-parse") {
        forbidParse = true;
      } else if (args[i] == L"--slow-flush-ahead" && i + 1 < args.size()) {
        slowFlushAhead = static_cast<unsigned>(std::wcstoul(args[++i].c_str(), nullptr, 10));
      } else if (args[i] == L"--held-from" && i + 1 < args.size()) {
        heldFrom = std::wcstoull(args[++i].c_str(), nullptr, 10);
      } else if (args[i] == L"--fill-at" && !inBatch && ParseFill(args, i)) {
      } else {
        return Usage("install ... [--allow-same] [--as-download] [--crash-at|--fail-at CHECKPOINT] [--hold-at CHECKPOINT FILE MS] [--write-at|--rename-over-at|--delete-at CHECKPOINT FILE] [--forbid-parse] [--held-from BYTES] [--slow-flush-ahead MS]");
      }
    }
    const orvex_update::ScopedInstallCheckpointHookForTesting checkpoints(
        g_meddling.Any() || !g_fill.point.empty() ? &AtCheckpoint : nullptr);
    const orvex_update::ScopedArchiveParseHookForTesting parsing(forbidParse ? &ParsedAnyway : nullptr);
    const orvex_update::ScopedHeldFileBytesForTesting heldFiles(heldFrom ? *heldFrom : orvex_update::HeldFileBytes());
    const orvex_update::ScopedAheadFlushDelayForTesting slowFlushes(slowFlushAhead);
    Result result{true, {}};
    try {
      if (asDownload) {
        const orvex_update::UpdateLock lock(args[1]);
        orvex_update::RecoverTransaction(args[1]);
        orvex_update::InstallUpdate(args[1], {args[2], args[3], args[4], target, installed, allowSame}, &FillAtStatus);
      } else {
        orvex_update::InstallUpdate(args[1], {args[2], args[3], args[4], target, installed, allowSame}, &FillAtStatus);
      }
    } catch (const std::exception& error) {
      // Reported as the download and the offline installer report it.
      fail::Failure failure = fail::FailureOf(error, orvex_update::kUpdateFailedText);
      if (asDownload) orvex_update::RecoverAfterFailure(args[1], failure);
      result = {false, failure.text};
    }
    return result;
  }
  if (command == L"recover") {
    if (args.size() < 2) return Usage("recover <client>");
    for (std::size_t i = 2; i < args.size(); ++i) {
      if (!ParseMeddling(args, i, inBatch, g_meddling)) {
        return Usage("recover <client> [--crash-at|--fail-at CHECKPOINT] [--hold-at CHECKPOINT FILE MS] [--write-at|--rename-over-at|--delete-at CHECKPOINT FILE]");
      }
    }
    const orvex_update::ScopedInstallCheckpointHookForTesting checkpoints(g_meddling.Any() ? &AtCheckpoint : nullptr);
    fail::Failure failure;
    if (!orvex_update::RecoverInterruptedUpdate(args[1], failure)) return {false, failure.text};
    return {true, {}};
  }
  if (command == L"download") {
    std::uint32_t target = 0;
    std::uint32_t installed = 0;
    if (args.size() < 6 || !ParseVersion(args[4], target) || !ParseVersion(args[5], installed)) {
      return Usage("download <client> <base url> <manifest name> <target> <installed> [--fill-at ...]");
    }
    for (std::size_t i = 6; i < args.size(); ++i) {
      if (inBatch || !ParseFill(args, i)) return Usage("download ... [--fill-at POINT bytes|entries FOLDER]");
    }
    const orvex_update::InstallCheckpointHook filling = g_fill.point.empty() ? nullptr : &AtCheckpoint;
    const orvex_update::ScopedInstallCheckpointHookForTesting checkpoints(filling);
    fail::Failure failure;
    const bool ok = orvex_update::DownloadSignedUpdate(args[1], win::Utf8FromWide(args[2]), win::Utf8FromWide(args[3]),
                                                       target, installed, failure, false, &FillAtStatus, {});
    if (!ok) {
      std::printf("CODE: %lu\nRETRY: %s\n", failure.systemCode,
                  session::IsTransientDownloadFailure(failure) ? "yes" : "no");
    }
    return {ok, failure.text};
  }
  if (command == L"save-version") {
    std::uint32_t version = 0;
    if (args.size() != 3 || !ParseVersion(args[2], version)) return Usage("save-version <client> <version>");
    try {
      orvex_update::SaveClientVersion(args[1], version);
    } catch (const std::exception& error) {
      // As the install that saves it reports it.
      return {false, fail::FailureOf(error, orvex_update::kUpdateFailedText).text};
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
    const modes::ScopedSwapStepHookForTesting steps(&SwapStep);
    const modes::ScopedDetachedProcessStarterForTesting starts(&PretendStarted);
    try {
      // No process has this id (Windows ids are multiples of 4), so the wait
      // for the old launcher ends at once.
      modes::SwapLauncher(args[1], 0xFFFFFFF1u);
    } catch (const std::exception& error) {
      // As RunLauncherSwap reports it.
      return {false, fail::FailureOf(error, "Cannot install Launcher.exe.").text};
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
    return {modes::RunInstallerMode(args[1], true) == 0, {}};
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
Result RunOneCommand(const std::vector<std::wstring>& args, bool inBatch);

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
  std::optional<orvex_update::ScopedThreadStartRefusalForTesting> refusing;
  if (noThreads) refusing.emplace(&RefuseEveryThread);
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
    result = RunOneCommand(args, inBatch);
    if (count && !inBatch) ::OutputDebugStringA("orvex-calls-end");
  }
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

// One command, with the meddling of its own options only; the holders it
// started end with it.
Result RunOneCommand(const std::vector<std::wstring>& args, bool inBatch) {
  g_meddling = {};
  const Result result = RunCommand(args, inBatch);
  EndHolders();
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
  std::optional<orvex_update::ScopedSkipFlushSiteForTesting> skipping;
  if (args.size() >= 2 && args[0] == L"--skip-flush") {
    orvex_update::FlushSite site{};
    if (!orvex_update::FlushSiteByName(win::Utf8FromWide(args[1]), site)) {
      Print(Usage("--skip-flush <a name that flush-sites prints> <command>"));
      return 2;
    }
    skipping.emplace(site);
    args.erase(args.begin(), args.begin() + 2);
  }

  if (args.size() == 2 && args[0] == L"batch") return RunBatch(args[1]);
  if (args.size() == 4 && args[0] == L"hold") return RunHolder(args[1], args[2], args[3]);
  const Result result = RunWithCallOptions(args, false);
  Print(result);
  return result.ok ? 0 : 1;
}
