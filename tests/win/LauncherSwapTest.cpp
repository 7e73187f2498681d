#include "modes/LauncherSwap.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "SignedFixtures.h"
#include "WinTestUtil.h"
#include "common/WinHandles.h"
#include "update/disk/Paths.h"

namespace fs = std::filesystem;
using modes::HasPendingLauncher;
using modes::PendingLauncherCheck;
using modes::RejectLinkedPath;
using modes::SwapLauncher;
using testutil::ReadBytes;
using testutil::ScratchFolder;
using testutil::SignedFixture;
using testutil::WriteBytes;

namespace {

constexpr const char* kMismatch = "Launcher2.exe does not match the signed release. It was not executed.";
constexpr const char* kLinked = "Launcher update path contains a link or junction.";

// Process starts the swap asked for, recorded instead of made.
struct StartRecord {
  fs::path executable;
  fs::path folder;
  std::wstring arguments;
};
std::vector<StartRecord> g_starts;
bool g_startWorks = true;

bool RecordStart(const fs::path& executable, const fs::path& folder, const std::wstring& arguments) {
  g_starts.push_back({executable, folder, arguments});
  return g_startWorks;
}

// File steps of the swap that the next run fails, and the step before which it
// overwrites a file with junk (a copy gone bad on disk).
const char* g_failStep = nullptr;
const char* g_spoilStep = nullptr;
fs::path g_spoilFile;

// g_failStep may name several steps, separated by commas.
bool FailOrSpoilStep(const char* step) {
  const std::string_view name(step);
  if (g_spoilStep != nullptr && name == g_spoilStep) WriteBytes(g_spoilFile, {'j', 'u', 'n', 'k'});
  if (g_failStep == nullptr) return true;
  const std::string failing = std::string(",") + g_failStep + ",";
  return failing.find("," + std::string(name) + ",") == std::string::npos;
}

// Any path component named "linked" counts as a junction (Wine reports none).
bool LinkedNameIsReparsePoint(const fs::path& path) { return path.filename() == L"linked"; }

std::vector<std::uint8_t> SignedLauncher() { return ReadBytes(SignedFixture("client-tree") / "launcher.EXE"); }
std::vector<std::uint8_t> OldLauncher() { return {'M', 'Z', ' ', 'o', 'l', 'd'}; }

// A process that has ended while the test still holds its handle, so its id
// stays valid and names a finished process.
class EndedProcess {
 public:
  explicit EndedProcess(bool end = true) {
    const fs::path self = testutil::ExecutableFolder() / "orvex_win_tests.exe";
    std::wstring commandLine = L"\"" + self.native() + L"\" --gtest_list_tests";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(self.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr,
                          &startup, &info)) {
      throw std::runtime_error("test process could not be created");
    }
    process_.Reset(info.hProcess);
    win::UniqueHandle thread(info.hThread);
    id_ = info.dwProcessId;
    if (end) End();
  }
  ~EndedProcess() { End(); }
  void End() {
    ::TerminateProcess(process_.Get(), 0);
    ::WaitForSingleObject(process_.Get(), 10000);
  }
  std::uint32_t Id() const { return id_; }

 private:
  win::UniqueHandle process_;
  std::uint32_t id_ = 0;
};

class LauncherSwapTest : public ::testing::Test {
 protected:
  LauncherSwapTest() : scratch_("launcher-swap"), client_(scratch_.Path() / "client") {}

  void SetUp() override {
    fs::create_directories(client_ / "ORVEX");
    fs::copy_file(SignedFixture("client") / "ORVEX" / "Startup.manifest", client_ / "ORVEX" / "Startup.manifest");
    g_starts.clear();
    g_startWorks = true;
    g_failStep = g_spoilStep = nullptr;
  }

  fs::path File(const wchar_t* name) const { return client_ / name; }
  fs::path Area(const wchar_t* name) const { return client_ / L".orvex-update" / name; }

  std::string Check() {
    std::string error = "(unset)";
    const int result = PendingLauncherCheck(client_, error);
    return std::to_string(result) + ":" + error;
  }

  std::string Swap(std::uint32_t processId, std::uint32_t waitLimitMs = 30000) {
    try {
      SwapLauncher(client_, processId, waitLimitMs);
    } catch (const std::exception& error) {
      return error.what();
    }
    return "(done)";
  }

  ScratchFolder scratch_;
  fs::path client_;
  const modes::ScopedDetachedProcessStarterForTesting recordedStarts_{&RecordStart};
  const modes::ScopedSwapStepHookForTesting failedSteps_{&FailOrSpoilStep};
};

}  // namespace

TEST_F(LauncherSwapTest, NoPendingLauncherIsNothingToDo) {
  WriteBytes(File(L"Launcher.exe"), OldLauncher());
  EXPECT_EQ(Check(), "0:");
  EXPECT_FALSE(HasPendingLauncher(client_));
  EXPECT_TRUE(g_starts.empty());
  EXPECT_FALSE(fs::exists(client_ / ".orvex-update"));
}

TEST_F(LauncherSwapTest, NoPendingLauncherNeedsNoManifest) {
  fs::remove(client_ / "ORVEX" / "Startup.manifest");
  EXPECT_EQ(Check(), "0:");
  EXPECT_FALSE(HasPendingLauncher(client_));
}

TEST_F(LauncherSwapTest, PendingEqualToInstalledIsDeleted) {
  WriteBytes(File(L"Launcher.exe"), SignedLauncher());
  WriteBytes(File(L"Launcher2.exe"), SignedLauncher());
  EXPECT_EQ(Check(), "0:");
  EXPECT_FALSE(fs::exists(File(L"Launcher2.exe")));
  EXPECT_EQ(ReadBytes(File(L"Launcher.exe")), SignedLauncher());
  EXPECT_TRUE(g_starts.empty());

  WriteBytes(File(L"Launcher2.exe"), SignedLauncher());
  EXPECT_FALSE(HasPendingLauncher(client_));
  EXPECT_FALSE(fs::exists(File(L"Launcher2.exe")));
}

TEST_F(LauncherSwapTest, OneByteDifferentIsRefusedAndNeverCopied) {
  WriteBytes(File(L"Launcher.exe"), OldLauncher());
  std::vector<std::uint8_t> forged = SignedLauncher();
  forged.back() ^= 0x01;  // same size, one byte off
  WriteBytes(File(L"Launcher2.exe"), forged);
  EXPECT_EQ(Check(), std::string("-1:") + kMismatch);
  EXPECT_TRUE(g_starts.empty());
  EXPECT_FALSE(fs::exists(Area(L"launcher-swap.exe")));
  EXPECT_EQ(ReadBytes(File(L"Launcher2.exe")), forged);  // left for the player to see, not deleted
  try {
    static_cast<void>(HasPendingLauncher(client_));
    ADD_FAILURE() << "a forged pending launcher was accepted";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), kMismatch);
  }
}

TEST_F(LauncherSwapTest, LongerPendingLauncherIsRefused) {
  std::vector<std::uint8_t> longer = SignedLauncher();
  longer.push_back('!');
  WriteBytes(File(L"Launcher2.exe"), longer);
  EXPECT_EQ(Check(), std::string("-1:") + kMismatch);
  EXPECT_TRUE(g_starts.empty());
}

TEST_F(LauncherSwapTest, ManifestProblemsNameThemselves) {
  WriteBytes(File(L"Launcher2.exe"), SignedLauncher());
  fs::copy_file(SignedFixture("startup-nested-launcher"), client_ / "ORVEX" / "Startup.manifest",
                fs::copy_options::overwrite_existing);
  EXPECT_EQ(Check(), "-1:Signed startup manifest does not identify Launcher.exe.");
  fs::remove(client_ / "ORVEX" / "Startup.manifest");
  EXPECT_EQ(Check(), "-1:Launcher2.exe requires a valid signed startup manifest.");
  EXPECT_THROW(static_cast<void>(HasPendingLauncher(client_)), std::runtime_error);
  EXPECT_TRUE(g_starts.empty());
}

TEST_F(LauncherSwapTest, VerifiedPendingLauncherStartsTheHelperWithThisProcessId) {
  WriteBytes(File(L"Launcher.exe"), OldLauncher());
  WriteBytes(File(L"Launcher2.exe"), SignedLauncher());
  EXPECT_TRUE(HasPendingLauncher(client_));
  EXPECT_EQ(Check(), "1:");
  ASSERT_EQ(g_starts.size(), 1u);
  EXPECT_EQ(g_starts[0].executable, Area(L"launcher-swap.exe"));
  EXPECT_EQ(g_starts[0].folder, client_);
  EXPECT_EQ(g_starts[0].arguments, L" --orvex-launcher-swap " + std::to_wstring(::GetCurrentProcessId()));
  EXPECT_EQ(ReadBytes(Area(L"launcher-swap.exe")), SignedLauncher());
  // Nothing is replaced before the helper runs.
  EXPECT_EQ(ReadBytes(File(L"Launcher.exe")), OldLauncher());
  EXPECT_TRUE(fs::exists(File(L"Launcher2.exe")));
}

TEST_F(LauncherSwapTest, HelperThatCannotStartIsReported) {
  WriteBytes(File(L"Launcher2.exe"), SignedLauncher());
  g_startWorks = false;
  EXPECT_EQ(Check(), "-1:Cannot start launcher replacement helper.");
}

TEST_F(LauncherSwapTest, LinkedPathsAreRefusedThroughTheSeam) {
  const orvex_update::ScopedReparsePointQueryForTesting links(&LinkedNameIsReparsePoint);
  EXPECT_THROW(RejectLinkedPath(scratch_.Path() / "linked" / "Launcher.exe"), std::runtime_error);
  EXPECT_NO_THROW(RejectLinkedPath(scratch_.Path() / "linked-not" / "Launcher.exe"));
  EXPECT_THROW(RejectLinkedPath(scratch_.Path() / "linked" / ".." / "linked" / "x"), std::runtime_error);
  EXPECT_NO_THROW(RejectLinkedPath(scratch_.Path() / "linked" / ".." / "client"));  // normalised first

  // A client folder reached through a junction.
  const fs::path viaLink = scratch_.Path() / "linked";
  fs::create_directories(viaLink / "ORVEX");
  fs::copy_file(client_ / "ORVEX" / "Startup.manifest", viaLink / "ORVEX" / "Startup.manifest");
  WriteBytes(viaLink / "Launcher2.exe", SignedLauncher());
  std::string error;
  EXPECT_EQ(PendingLauncherCheck(viaLink, error), -1);
  EXPECT_EQ(error, kLinked);
  try {
    static_cast<void>(HasPendingLauncher(viaLink));
    ADD_FAILURE() << "linked client folder accepted";
  } catch (const std::runtime_error& thrown) {
    EXPECT_STREQ(thrown.what(), kLinked);
  }
  EXPECT_TRUE(g_starts.empty());
}

TEST_F(LauncherSwapTest, LinkedUpdateAreaStopsBeforeTheHelperIsCopied) {
  WriteBytes(File(L"Launcher2.exe"), SignedLauncher());
  // The update area as a junction elsewhere: named so that the seam flags it.
  const orvex_update::ScopedReparsePointQueryForTesting links(
      [](const fs::path& path) { return path.filename() == L".orvex-update"; });
  EXPECT_EQ(Check(), std::string("-1:") + kLinked);
  EXPECT_FALSE(fs::exists(Area(L"launcher-swap.exe")));
  EXPECT_TRUE(g_starts.empty());
}

TEST_F(LauncherSwapTest, SwapRefusesZeroAndItsOwnProcessId) {
  EXPECT_EQ(Swap(0), "Invalid launcher replacement process.");
  EXPECT_EQ(Swap(::GetCurrentProcessId()), "Invalid launcher replacement process.");
}

TEST_F(LauncherSwapTest, SwapReplacesKeepsBackupStartsAndRemovesPending) {
  fs::create_directories(client_ / ".orvex-update");
  WriteBytes(File(L"Launcher.exe"), OldLauncher());
  WriteBytes(File(L"Launcher2.exe"), SignedLauncher());
  WriteBytes(Area(L"Launcher.previous.exe"), {'o', 'l', 'd', 'e', 'r'});
  EndedProcess old;
  EXPECT_EQ(Swap(old.Id()), "(done)");
  EXPECT_EQ(ReadBytes(File(L"Launcher.exe")), SignedLauncher());
  EXPECT_EQ(ReadBytes(Area(L"Launcher.previous.exe")), OldLauncher());
  EXPECT_FALSE(fs::exists(File(L"Launcher2.exe")));
  EXPECT_FALSE(fs::exists(Area(L"Launcher.next.exe")));
  ASSERT_EQ(g_starts.size(), 1u);
  EXPECT_EQ(g_starts[0].executable, File(L"Launcher.exe"));
  EXPECT_EQ(g_starts[0].folder, client_);
  EXPECT_EQ(g_starts[0].arguments, L"");
  // The lock stays on disk, empty, and is free again.
  EXPECT_EQ(fs::file_size(Area(L"launcher-swap.lock")), 0u);
  win::UniqueFile lock(::CreateFileW(Area(L"launcher-swap.lock").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  EXPECT_TRUE(lock);
}

TEST_F(LauncherSwapTest, SwapWithoutInstalledLauncherMovesTheNewOneIn) {
  fs::create_directories(client_ / ".orvex-update");
  WriteBytes(File(L"Launcher2.exe"), SignedLauncher());
  EndedProcess old;
  EXPECT_EQ(Swap(old.Id()), "(done)");
  EXPECT_EQ(ReadBytes(File(L"Launcher.exe")), SignedLauncher());
  EXPECT_FALSE(fs::exists(Area(L"Launcher.previous.exe")));
  EXPECT_FALSE(fs::exists(Area(L"Launcher.next.exe")));
  EXPECT_EQ(g_starts.size(), 1u);
}

TEST_F(LauncherSwapTest, SwapFindingTheLockTakenTouchesNoLauncherFile) {
  fs::create_directories(client_ / ".orvex-update");
  WriteBytes(File(L"Launcher.exe"), OldLauncher());
  WriteBytes(File(L"Launcher2.exe"), SignedLauncher());
  win::UniqueFile held(::CreateFileW(Area(L"launcher-swap.lock").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                     OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(held);
  EndedProcess old;
  EXPECT_EQ(Swap(old.Id()), "Another launcher replacement is running.");
  EXPECT_EQ(ReadBytes(File(L"Launcher.exe")), OldLauncher());
  EXPECT_EQ(ReadBytes(File(L"Launcher2.exe")), SignedLauncher());
  EXPECT_FALSE(fs::exists(Area(L"Launcher.next.exe")));
  EXPECT_FALSE(fs::exists(Area(L"Launcher.previous.exe")));
  EXPECT_TRUE(g_starts.empty());
}

TEST_F(LauncherSwapTest, SwapRefusesAPendingLauncherChangedSinceTheCheck) {
  fs::create_directories(client_ / ".orvex-update");
  WriteBytes(File(L"Launcher.exe"), OldLauncher());
  std::vector<std::uint8_t> forged = SignedLauncher();
  forged[0] ^= 0x20;
  WriteBytes(File(L"Launcher2.exe"), forged);
  EndedProcess old;
  EXPECT_EQ(Swap(old.Id()), "Pending launcher failed signature/hash verification.");
  EXPECT_EQ(ReadBytes(File(L"Launcher.exe")), OldLauncher());
  EXPECT_FALSE(fs::exists(Area(L"Launcher.next.exe")));
  EXPECT_TRUE(g_starts.empty());
}

TEST_F(LauncherSwapTest, EveryFailedStepLeavesAWorkingLauncherAndSaysWhere) {
  constexpr const char* kReplace = "Cannot replace Launcher.exe. Close the game/launcher and retry.";
  constexpr const char* kKept =
      "; the previous launcher could not be restored. It is kept in the hidden folder .orvex-update as "
      "Launcher.previous.exe: copy it to Launcher.exe in the game folder.";
  const std::string badInstall = "The installed launcher failed verification";
  const std::string noStart = "The new launcher could not be started";
  enum class Held { kOld, kNew, kJunk, kNothing };
  struct Case {
    bool installedBefore;
    const char* failStep;
    const char* spoilStep;
    const wchar_t* spoilFile;
    bool startWorks;
    std::string message;
    Held launcher;  // what Launcher.exe holds afterwards
  };
  const std::vector<Case> cases = {
      // Before the move Launcher.exe is never touched.
      {true, "stage-flush", nullptr, nullptr, true, "Cannot stage the new launcher.", Held::kOld},
      {true, "backup-copy", nullptr, nullptr, true, kReplace, Held::kOld},
      {true, "backup-flush", nullptr, nullptr, true, kReplace, Held::kOld},
      {true, nullptr, "backup-flush", L".orvex-update/Launcher.previous.exe", true, kReplace, Held::kOld},
      {true, "replace", nullptr, nullptr, true, kReplace, Held::kOld},
      // After it, the previous launcher goes back, checked.
      {true, "replace-flush", nullptr, nullptr, true, badInstall + "; the previous launcher was restored.", Held::kOld},
      {true, nullptr, "replace-flush", L"Launcher.exe", true, badInstall + "; the previous launcher was restored.",
       Held::kOld},
      {true, nullptr, nullptr, nullptr, false, noStart + "; the previous launcher was restored.", Held::kOld},
      // A restore that fails says so; a launcher that does not match is never
      // left to run, one that could not be read (or flushed) is never deleted.
      {true, "restore-move", "replace-flush", L"Launcher.exe", true, badInstall + " and was removed" + kKept,
       Held::kNothing},
      {true, "replace-flush,restore-copy", nullptr, nullptr, true, badInstall + kKept, Held::kNew},
      {true, "restore-copy", nullptr, nullptr, false, noStart + kKept, Held::kNew},
      {true, nullptr, "restore-flush", L".orvex-update/Launcher.next.exe", false, noStart + kKept, Held::kNew},
      {true, nullptr, "restore-move", L".orvex-update/Launcher.next.exe", false,
       noStart + " and the unmatched Launcher.exe was removed" + kKept, Held::kNothing},
      // No launcher was installed: an older backup is not this swap's to restore.
      {false, "replace", nullptr, nullptr, true, "Cannot install Launcher.exe.", Held::kNothing},
      {false, nullptr, "replace-flush", L"Launcher.exe", true, badInstall + " and was removed.", Held::kNothing},
      {false, "replace-flush", nullptr, nullptr, true, badInstall + ".", Held::kNew},
      {false, nullptr, nullptr, nullptr, false, noStart + ".", Held::kNew},
  };
  const std::vector<std::uint8_t> older = {'o', 'l', 'd', 'e', 'r'};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message + " / fail " + (c.failStep ? c.failStep : "-") + " / spoil " +
                 (c.spoilStep ? c.spoilStep : "-"));
    fs::remove_all(client_ / ".orvex-update");
    fs::remove(File(L"Launcher.exe"));
    fs::create_directories(client_ / ".orvex-update");
    WriteBytes(Area(L"Launcher.previous.exe"), older);
    if (c.installedBefore) WriteBytes(File(L"Launcher.exe"), OldLauncher());
    WriteBytes(File(L"Launcher2.exe"), SignedLauncher());
    g_failStep = c.failStep;
    g_spoilStep = c.spoilStep;
    g_spoilFile = c.spoilFile ? client_ / c.spoilFile : fs::path();
    g_startWorks = c.startWorks;
    g_starts.clear();

    EndedProcess old;
    EXPECT_EQ(Swap(old.Id()), c.message);
    switch (c.launcher) {
      case Held::kOld: EXPECT_EQ(ReadBytes(File(L"Launcher.exe")), OldLauncher()); break;
      case Held::kNew: EXPECT_EQ(ReadBytes(File(L"Launcher.exe")), SignedLauncher()); break;
      case Held::kJunk: EXPECT_EQ(ReadBytes(File(L"Launcher.exe")), std::vector<std::uint8_t>({'j', 'u', 'n', 'k'})); break;
      case Held::kNothing: EXPECT_FALSE(fs::exists(File(L"Launcher.exe"))); break;
    }
    // Where the message sends the player, the previous launcher waits.
    if (c.message.find("Launcher.previous.exe") != std::string::npos) {
      EXPECT_EQ(ReadBytes(Area(L"Launcher.previous.exe")), OldLauncher());
    }
    if (!c.installedBefore) {
      EXPECT_EQ(ReadBytes(Area(L"Launcher.previous.exe")), older);
    }
    EXPECT_EQ(ReadBytes(File(L"Launcher2.exe")), SignedLauncher());  // kept for the next try
    // Only a verified launcher is ever started.
    EXPECT_EQ(g_starts.size(), c.message.rfind(noStart, 0) == 0 ? 1u : 0u);
  }
}

TEST_F(LauncherSwapTest, PendingCopyHeldByAnotherProgramNeverFailsAFinishedSwap) {
  fs::create_directories(client_ / ".orvex-update");
  WriteBytes(File(L"Launcher.exe"), OldLauncher());
  WriteBytes(File(L"Launcher2.exe"), SignedLauncher());
  const auto hold = [&](DWORD share) {
    return win::UniqueFile(::CreateFileW(File(L"Launcher2.exe").c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
  };
  {
    // A scanner reading the fresh file and sharing reads only: no delete.
    const win::UniqueFile scanner = hold(FILE_SHARE_READ);
    ASSERT_TRUE(scanner);
    EndedProcess old;
    EXPECT_EQ(Swap(old.Id()), "(done)");
    EXPECT_EQ(ReadBytes(File(L"Launcher.exe")), SignedLauncher());
    // The new launcher's start-up meets the leftover.
    EXPECT_EQ(Check(), "0:");
    EXPECT_FALSE(HasPendingLauncher(client_));
  }
  {
    // Held without any sharing, or half deleted: it cannot even be read.
    const win::UniqueFile scanner = hold(0);
    ASSERT_TRUE(scanner);
    EXPECT_EQ(Check(), "0:");
    EXPECT_FALSE(HasPendingLauncher(client_));
  }
  EXPECT_EQ(Check(), "0:");  // a later start removes it
  EXPECT_FALSE(fs::exists(File(L"Launcher2.exe")));
  EXPECT_EQ(g_starts.size(), 1u);
}

TEST_F(LauncherSwapTest, OlderBackupHeldForAMomentIsReplacedAfterRetries) {
  fs::create_directories(client_ / ".orvex-update");
  WriteBytes(Area(L"Launcher.previous.exe"), {'o', 'l', 'd', 'e', 'r'});
  WriteBytes(File(L"Launcher.exe"), OldLauncher());
  WriteBytes(File(L"Launcher2.exe"), SignedLauncher());
  win::UniqueFile scanner(::CreateFileW(Area(L"Launcher.previous.exe").c_str(), GENERIC_READ, 0, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(scanner);
  std::thread release([&scanner] {
    ::Sleep(300);
    scanner.Reset();
  });
  EndedProcess old;
  const std::string result = Swap(old.Id());
  release.join();
  EXPECT_EQ(result, "(done)");
  EXPECT_EQ(ReadBytes(File(L"Launcher.exe")), SignedLauncher());
  EXPECT_EQ(ReadBytes(Area(L"Launcher.previous.exe")), OldLauncher());
}

TEST_F(LauncherSwapTest, OldLauncherStillRunningStopsTheSwapUntouched) {
  fs::create_directories(client_ / ".orvex-update");
  WriteBytes(File(L"Launcher.exe"), OldLauncher());
  WriteBytes(File(L"Launcher2.exe"), SignedLauncher());
  EndedProcess running(false);  // suspended: alive until ended below
  EXPECT_EQ(Swap(running.Id(), 200), "The old launcher did not close in time.");
  EXPECT_EQ(ReadBytes(File(L"Launcher.exe")), OldLauncher());
  EXPECT_FALSE(fs::exists(Area(L"launcher-swap.lock")));
  EXPECT_TRUE(g_starts.empty());
  running.End();
  EXPECT_EQ(Swap(running.Id(), 200), "(done)");
}

TEST_F(LauncherSwapTest, ProcessIdThatNamesNoProcessMeansTheOldLauncherIsGone) {
  fs::create_directories(client_ / ".orvex-update");
  WriteBytes(File(L"Launcher.exe"), OldLauncher());
  WriteBytes(File(L"Launcher2.exe"), SignedLauncher());
  // Far above any process id the system hands out.
  EXPECT_EQ(Swap(0x7FFFFFF0u, 200), "(done)");
  EXPECT_EQ(ReadBytes(File(L"Launcher.exe")), SignedLauncher());
}
