// The launcher's own code paths under the clock, for bench/bench.py:
//
//   orvex_bench_driver install <client> <installed> (<manifest> <signature> <archive> <target>)...
//       InstallUpdate of each signed patch in turn, as the update thread runs
//       them after their downloads (the lock and the recovery before it are
//       left out: both are cheap and outside what is measured)
//   orvex_bench_driver download <https url> <target> <limit>
//       HttpsDownload of one archive with a progress callback that does what
//       the session's does (a percentage into an atomic)
//   orvex_bench_driver verify <client> <version>
//       one forced verification pass (game::RunVerificationPass), the full check
//       that a Start request or F5 runs
//   orvex_bench_driver background <client> <version>
//       one verification pass that leaves a clean snapshot behind, then
//       "READY"; then for every line "pass" on standard input one unchanged
//       background pass, each answered by "ELAPSED <seconds>", until the end
//       of the input
//
// The others print "ELAPSED <seconds>" (the work only, not the Wine process
// start) and then wait for the end of their standard input before they exit
// 0, so that the caller can read the peak memory of the finished work from
// /proc/<pid>/status (Wine runs a Windows process as one Linux process); or
// they print "ERROR: <text>" and exit 1.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "common/Utf8.h"
#include "game/BackgroundRepair.h"
#include "update/fetch/Https.h"
#include "update/apply/Install.h"

namespace {

double Now() {
  LARGE_INTEGER counter{};
  LARGE_INTEGER frequency{};
  ::QueryPerformanceCounter(&counter);
  ::QueryPerformanceFrequency(&frequency);
  return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

std::uint32_t Number(const std::wstring& text) {
  wchar_t* end = nullptr;
  const unsigned long long value = std::wcstoull(text.c_str(), &end, 10);
  if (text.empty() || *end != L'\0' || value > 0xFFFFFFFFull) throw std::runtime_error("not a number: " + win::Utf8FromWide(text));
  return static_cast<std::uint32_t>(value);
}

// What the session keeps of a status text and a progress report.
std::string g_status;
std::atomic<std::int32_t> g_percent{0};

void Install(const std::vector<std::wstring>& args) {
  if (args.size() < 7 || (args.size() - 3) % 4 != 0) {
    throw std::runtime_error("usage: install <client> <installed> (<manifest> <signature> <archive> <target>)...");
  }
  const std::filesystem::path client(args[1]);
  std::uint32_t installed = Number(args[2]);
  // ORVEX_BENCH_TRACE set: every status text goes to standard error with the
  // seconds since the start, to see where an install's time goes.
  static const bool trace = std::getenv("ORVEX_BENCH_TRACE") != nullptr;
  static const double started = Now();
  const orvex_update::StatusCallback status = [](const std::string& text) {
    g_status = text;
    if (trace) std::fprintf(stderr, "%8.3f %s\n", Now() - started, text.c_str());
  };
  std::optional<orvex_update::ScopedInstallCheckpointHookForTesting> traced;
  if (trace) {
    traced.emplace([](const char* checkpoint) { std::fprintf(stderr, "%8.3f [%s]\n", Now() - started, checkpoint); });
  }
  for (std::size_t i = 3; i < args.size(); i += 4) {
    const std::uint32_t target = Number(args[i + 3]);
    orvex_update::InstallUpdate(client, {args[i], args[i + 1], args[i + 2], target, installed, false}, status);
    installed = target;
  }
}

void Download(const std::vector<std::wstring>& args) {
  if (args.size() != 4) throw std::runtime_error("usage: download <url> <target> <limit>");
  const orvex_update::ProgressCallback progress = [](std::uint64_t done, std::uint64_t total) {
    g_percent.exchange(total == 0 ? 0 : static_cast<std::int32_t>(done * 100 / total));
  };
  orvex_update::HttpsDownload(win::Utf8FromWide(args[1]), std::filesystem::path(args[2]), Number(args[3]), "", progress);
}

std::string Pass(const std::wstring& client, std::uint32_t version, bool force) {
  game::VerificationRequest request;
  request.clientFolder = client;
  request.clientVersion = version;
  request.force = force;
  return game::RunVerificationPass(request);
}

int Background(const std::vector<std::wstring>& args) {
  const std::uint32_t version = Number(args[2]);
  const std::string first = Pass(args[1], version, false);
  if (!first.empty()) throw std::runtime_error("first pass failed: " + first);
  std::printf("READY\n");
  std::fflush(stdout);
  std::string line;
  while (std::getline(std::cin, line)) {
    if (line.rfind("pass", 0) != 0) continue;
    const double started = Now();
    const std::string result = Pass(args[1], version, false);
    const double elapsed = Now() - started;
    if (!result.empty()) throw std::runtime_error("unchanged pass failed: " + result);
    std::printf("ELAPSED %.6f\n", elapsed);
    std::fflush(stdout);
  }
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::vector<std::wstring> args(argv + 1, argv + argc);
  try {
    if (args.size() == 3 && args[0] == L"background") return Background(args);
    const double started = Now();
    if (!args.empty() && args[0] == L"install") {
      Install(args);
    } else if (!args.empty() && args[0] == L"download") {
      Download(args);
    } else if (args.size() == 3 && args[0] == L"verify") {
      const std::string result = Pass(args[1], Number(args[2]), true);
      if (!result.empty()) throw std::runtime_error("verification failed: " + result);
    } else {
      throw std::runtime_error("usage: install|download|verify|background ...");
    }
    std::printf("ELAPSED %.6f\n", Now() - started);
    std::fflush(stdout);
    std::string line;
    while (std::getline(std::cin, line)) {
    }
    return 0;
  } catch (const std::exception& error) {
    std::printf("ERROR: %s\n", error.what());
    return 1;
  }
}
