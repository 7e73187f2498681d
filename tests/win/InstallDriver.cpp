// A command-line front to the update engine for the integration tests on
// real folders (tests/e2e/test_install.py):
//
//   orvex_install_driver install <client> <manifest> <signature> <archive>
//                                <target> <installed> [--allow-same] [--crash-at CHECKPOINT]
//   orvex_install_driver recover <client>
//   orvex_install_driver repair <client> <installed>
//   orvex_install_driver batch <command file>
//
// install calls InstallUpdate directly (no lock, no recovery afterwards, so the
// test sees exactly what the installer left behind); with --crash-at the
// process is ended with exit code 99 at that checkpoint of the install, as a
// power cut would end it. recover calls RecoverInterruptedUpdate. Each prints
// "OK" or "ERROR: <message>" on one line and exits 0 or 1. repair calls
// RepairManagedFiles and first prints, in order, one line per callback:
// "STATUS: <text>", "PROGRESS: <done> <total>" and "BEFORE-INSTALL".
//
// batch runs many install and recover commands in one process (every Wine
// process start costs about a second): each line of the UTF-8 file is one
// command with its arguments separated by tabs; one result line is printed per
// command, and the exit code is 0. A --crash-at in a batch is refused.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "update/Install.h"
#include "update/Journal.h"
#include "update/Repair.h"

namespace {

std::string g_crashAt;

void CrashAtCheckpoint(const char* checkpoint) {
  if (g_crashAt == checkpoint) {
    std::fflush(stdout);
    // TerminateProcess runs no destructors, closes no file through the C
    // runtime and flushes nothing: what is on disk now is what a crash leaves.
    ::TerminateProcess(::GetCurrentProcess(), 99);
  }
}

std::string Narrow(const std::wstring& text) {
  if (text.empty()) return {};
  const int length = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                           nullptr, nullptr);
  std::string out(static_cast<std::size_t>(length), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), length, nullptr, nullptr);
  return out;
}

std::wstring Widen(const std::string& text) {
  if (text.empty()) return {};
  const int length = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(length), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), length);
  return out;
}

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

Result Usage(const char* what) { return {false, std::string("usage: ") + what}; }

Result RunCommand(const std::vector<std::wstring>& args, bool inBatch) {
  if (args.empty()) return Usage("install|recover|batch ...");
  const std::wstring& command = args[0];
  if (command == L"install") {
    if (args.size() < 7) return Usage("install <client> <manifest> <signature> <archive> <target> <installed>");
    std::uint32_t target = 0;
    std::uint32_t installed = 0;
    if (!ParseVersion(args[5], target) || !ParseVersion(args[6], installed)) return Usage("versions are decimal");
    bool allowSame = false;
    std::string crashAt;
    for (std::size_t i = 7; i < args.size(); ++i) {
      if (args[i] == L"--allow-same") {
        allowSame = true;
      } else if (args[i] == L"--crash-at" && i + 1 < args.size() && !inBatch) {
        crashAt = Narrow(args[++i]);
      } else {
        return Usage("install ... [--allow-same] [--crash-at CHECKPOINT] (no --crash-at in a batch)");
      }
    }
    g_crashAt = crashAt;
    orvex_update::SetInstallCheckpointHook(crashAt.empty() ? nullptr : &CrashAtCheckpoint);
    try {
      orvex_update::InstallUpdate(args[2], args[1], args[3], args[4], target, installed, allowSame, {});
    } catch (const std::exception& error) {
      return {false, error.what()};
    }
    return {true, {}};
  }
  if (command == L"recover") {
    if (args.size() != 2) return Usage("recover <client>");
    std::string errorText;
    if (!orvex_update::RecoverInterruptedUpdate(args[1], errorText)) return {false, errorText};
    return {true, {}};
  }
  if (command == L"repair") {
    std::uint32_t installed = 0;
    if (args.size() != 3 || !ParseVersion(args[2], installed)) return Usage("repair <client> <installed>");
    std::string errorText;
    const bool ok = orvex_update::RepairManagedFiles(
        args[1], installed, [](const std::string& text) { std::printf("STATUS: %s\n", text.c_str()); }, errorText,
        [](std::uint64_t done, std::uint64_t total) {
          std::printf("PROGRESS: %llu %llu\n", static_cast<unsigned long long>(done),
                      static_cast<unsigned long long>(total));
        },
        [] { std::printf("BEFORE-INSTALL\n"); });
    return {ok, errorText};
  }
  return Usage("install|recover|repair|batch ...");
}

void Print(const Result& result) {
  if (result.ok) {
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
      args.push_back(Widen(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start)));
      if (tab == std::string::npos) break;
      start = tab + 1;
    }
    Print(RunCommand(args, true));
  }
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::vector<std::wstring> args(argv + 1, argv + argc);
  if (args.size() == 2 && args[0] == L"batch") return RunBatch(args[1]);
  const Result result = RunCommand(args, false);
  Print(result);
  return result.ok ? 0 : 1;
}
