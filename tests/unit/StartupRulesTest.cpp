#include "Launcher/StartupRules.h"

#include <gtest/gtest.h>

using namespace startup;

namespace {

const std::optional<std::string> kNarrow = std::string("C:\\Games\\ORVEX\\Launcher.exe");
const std::optional<std::wstring> kWide = std::wstring(L"C:\\Games\\ORVEX\\Launcher.exe");
const std::optional<std::string> kSwapNarrow = std::string("C:\\Games\\ORVEX\\.orvex-update\\launcher-swap.exe");
const std::optional<std::wstring> kSwapWide = std::wstring(L"C:\\Games\\ORVEX\\.orvex-update\\launcher-swap.exe");

}  // namespace

TEST(RunModeChoice, NormalLauncherRunsInItsOwnFolder) {
  const auto choice = ChooseRunMode(kNarrow, kWide, "");
  EXPECT_EQ(choice.mode, RunMode::Launcher);
  EXPECT_EQ(choice.launcherFolder, "C:\\Games\\ORVEX");
  // Arguments that are not the swap switch at the very start are ignored.
  EXPECT_EQ(ChooseRunMode(kNarrow, kWide, "x --orvex-launcher-swap 12").mode, RunMode::Launcher);
  EXPECT_EQ(ChooseRunMode(kNarrow, kWide, "--unattended").mode, RunMode::Launcher);
  // At a drive's root the folder is the root, not the drive's current directory.
  EXPECT_EQ(ChooseRunMode(std::string("C:\\Launcher.exe"), kWide, "").launcherFolder, "C:\\");
  const std::optional<std::wstring> rootSwap = std::wstring(L"D:\\.orvex-update\\launcher-swap.exe");
  EXPECT_EQ(ChooseRunMode(kSwapNarrow, rootSwap, "--orvex-launcher-swap 9").clientFolder, L"D:\\");
}

TEST(RunModeChoice, UnusableExecutablePathExitsWithOne) {
  EXPECT_EQ(ChooseRunMode(std::nullopt, kWide, "").mode, RunMode::Exit);
  EXPECT_EQ(ChooseRunMode(std::string("Launcher.exe"), kWide, "").mode, RunMode::Exit);
  EXPECT_EQ(ChooseRunMode(std::string("C:\\" + std::string(255, 'a') + ".exe"), kWide, "").exitCode, 1);
  EXPECT_EQ(ChooseRunMode(std::string("C:\\" + std::string(253, 'a') + ".ex"), kWide, "").mode, RunMode::Launcher);
}

TEST(RunModeChoice, InstallerNameAndUnattendedFlag) {
  const std::optional<std::wstring> patchKur = std::wstring(L"C:\\Games\\ORVEX\\ORVEX\\Patch\\patchkur.EXE");
  auto choice = ChooseRunMode(kNarrow, patchKur, "--unattended");
  EXPECT_EQ(choice.mode, RunMode::Installer);
  EXPECT_TRUE(choice.unattended);
  EXPECT_EQ(choice.executablePath, *patchKur);
  EXPECT_FALSE(ChooseRunMode(kNarrow, patchKur, "--unattended ").unattended);
  EXPECT_FALSE(ChooseRunMode(kNarrow, patchKur, "x --unattended").unattended);
  EXPECT_FALSE(ChooseRunMode(kNarrow, patchKur, "").unattended);
  // The installer name wins over the swap switch.
  EXPECT_EQ(ChooseRunMode(kNarrow, patchKur, "--orvex-launcher-swap 5").mode, RunMode::Installer);
  // Without the wide path the installer test is skipped.
  EXPECT_EQ(ChooseRunMode(kNarrow, std::nullopt, "--unattended").mode, RunMode::Launcher);
  // A name that only contains PatchKur.exe is not the installer.
  const std::optional<std::wstring> other = std::wstring(L"C:\\x\\MyPatchKur.exe");
  EXPECT_EQ(ChooseRunMode(kNarrow, other, "").mode, RunMode::Launcher);
}

TEST(RunModeChoice, ValidSwapArgument) {
  auto choice = ChooseRunMode(kSwapNarrow, kSwapWide, "--orvex-launcher-swap 4242");
  ASSERT_EQ(choice.mode, RunMode::Swap);
  EXPECT_EQ(choice.swapProcessId, 4242u);
  EXPECT_EQ(choice.clientFolder, L"C:\\Games\\ORVEX");
  // strtoul accepts leading blanks and a sign.
  EXPECT_EQ(ChooseRunMode(kSwapNarrow, kSwapWide, "--orvex-launcher-swap  +17").swapProcessId, 17u);
  const std::optional<std::wstring> upper = std::wstring(L"C:\\G\\.ORVEX-UPDATE\\LAUNCHER-SWAP.EXE");
  EXPECT_EQ(ChooseRunMode(kSwapNarrow, upper, "--orvex-launcher-swap 9").mode, RunMode::Swap);
}

TEST(RunModeChoice, InvalidSwapArgumentsExitWithOne) {
  for (const char* arguments : {"--orvex-launcher-swap 0", "--orvex-launcher-swap 12abc", "--orvex-launcher-swap ",
                                "--orvex-launcher-swap abc", "--orvex-launcher-swap 12 ", "--orvex-launcher-swap -"}) {
    const auto choice = ChooseRunMode(kSwapNarrow, kSwapWide, arguments);
    EXPECT_EQ(choice.mode, RunMode::Exit) << arguments;
    EXPECT_EQ(choice.exitCode, 1) << arguments;
  }
  // Right number, wrong executable or wrong folder.
  EXPECT_EQ(ChooseRunMode(kNarrow, kWide, "--orvex-launcher-swap 12").mode, RunMode::Exit);
  const std::optional<std::wstring> wrongFolder = std::wstring(L"C:\\Games\\update\\launcher-swap.exe");
  EXPECT_EQ(ChooseRunMode(kSwapNarrow, wrongFolder, "--orvex-launcher-swap 12").mode, RunMode::Exit);
  const std::optional<std::wstring> noParent = std::wstring(L".orvex-update\\launcher-swap.exe");
  EXPECT_EQ(ChooseRunMode(kSwapNarrow, noParent, "--orvex-launcher-swap 12").mode, RunMode::Exit);
  EXPECT_EQ(ChooseRunMode(kSwapNarrow, std::nullopt, "--orvex-launcher-swap 12").mode, RunMode::Exit);
}

TEST(ParseWholeUnsigned, BehavesLikeStrtoulOnTheWholeText) {
  EXPECT_EQ(ParseWholeUnsigned("123"), 123u);
  EXPECT_EQ(ParseWholeUnsigned("\t 7"), 7u);
  EXPECT_EQ(ParseWholeUnsigned("-1"), 0xFFFFFFFFu);
  EXPECT_EQ(ParseWholeUnsigned("99999999999"), 0xFFFFFFFFu);
  EXPECT_EQ(ParseWholeUnsigned("4294967295"), 0xFFFFFFFFu);
  EXPECT_FALSE(ParseWholeUnsigned(""));
  EXPECT_FALSE(ParseWholeUnsigned("+"));
  EXPECT_FALSE(ParseWholeUnsigned("0x10"));
  EXPECT_FALSE(ParseWholeUnsigned("5 "));
}

TEST(WindowPlacement, LargeWorkAreaGivesCentredFullSizeWindow) {
  const auto p = ComputeWindowPlacement({0, 0, 1024, 768});
  EXPECT_EQ(p.width, 800);
  EXPECT_EQ(p.height, 600);
  EXPECT_EQ(p.x, 112);
  EXPECT_EQ(p.y, 84);
  // Offsets of a second monitor carry over.
  const auto q = ComputeWindowPlacement({1920, -200, 1920 + 1024, -200 + 768});
  EXPECT_EQ(q.x, 1920 + 112);
  EXPECT_EQ(q.y, -200 + 84);
}

TEST(WindowPlacement, SmallWorkAreaShrinksWithTwelvePixelMargins) {
  const auto p = ComputeWindowPlacement({0, 0, 800, 600});
  EXPECT_EQ(p.width, 768);
  EXPECT_EQ(p.height, 576);
  EXPECT_EQ(p.x, 16);
  EXPECT_EQ(p.y, 12);
  // Height is the tighter limit: (400 - 24) / 600 = 0.6266...
  const auto q = ComputeWindowPlacement({0, 0, 1920, 400});
  EXPECT_EQ(q.width, 501);
  EXPECT_EQ(q.height, 376);
  EXPECT_EQ(q.y, 12);
}

// The canvas follows the monitor's DPI, as far as the work area with its
// margins allows; 96 dpi (and an unknown 0) is the unscaled rule above.
TEST(WindowPlacement, ScaleFollowsTheMonitorDpiWithinTheWorkArea) {
  struct Case {
    WorkArea area;
    unsigned dpi;
    int x, y, width, height;
  };
  const Case cases[] = {
      {{0, 0, 3840, 2160}, 192, 1120, 480, 1600, 1200},  // 200%: twice the canvas
      {{0, 0, 1920, 1080}, 144, 360, 90, 1200, 900},     // 150% fits
      {{0, 0, 1920, 1040}, 192, 283, 12, 1354, 1016},    // 200% capped by the height: 1016 / 600
      {{0, 0, 1024, 768}, 108, 62, 46, 900, 675},        // 112.5%
      {{0, 0, 1024, 768}, 192, 16, 12, 992, 744},        // capped: 744 / 600 = 1.24
      {{0, 0, 1024, 768}, 0, 112, 84, 800, 600},
      {{0, 0, 800, 600}, 72, 100, 75, 600, 450},         // below 96 dpi the canvas shrinks with it
  };
  for (const auto& c : cases) {
    const auto p = ComputeWindowPlacement(c.area, c.dpi);
    EXPECT_EQ(p.x, c.x) << c.dpi << " dpi on " << c.area.right << "x" << c.area.bottom;
    EXPECT_EQ(p.y, c.y) << c.dpi << " dpi on " << c.area.right << "x" << c.area.bottom;
    EXPECT_EQ(p.width, c.width) << c.dpi << " dpi on " << c.area.right << "x" << c.area.bottom;
    EXPECT_EQ(p.height, c.height) << c.dpi << " dpi on " << c.area.right << "x" << c.area.bottom;
  }
  // Another canvas (the start-up repair window's) scales by the same rule.
  EXPECT_DOUBLE_EQ(CanvasScale({0, 0, 1920, 1080}, 192, 440, 110), 2.0);
  EXPECT_DOUBLE_EQ(CanvasScale({0, 0, 464, 1080}, 192, 440, 110), 1.0);
}

TEST(WindowPlacement, DegenerateWorkAreaStillGivesAWindow) {
  const auto p = ComputeWindowPlacement({0, 0, 10, 10});
  EXPECT_GE(p.width, 1);
  EXPECT_GE(p.height, 1);
}
