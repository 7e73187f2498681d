#include "Launcher/Startup.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "Launcher/App.h"
#include "Launcher/Dpi.h"
#include "Launcher/Settings.h"
#include "Launcher/StartupRepairWindow.h"
#include "Launcher/StartupRules.h"
#include "Launcher/WindowMessages.h"
#include "common/Errors.h"
#include "common/WinHandles.h"
#include "game/BackgroundRepair.h"
#include "game/Clients.h"
#include "modes/Installer.h"
#include "modes/LauncherSwap.h"
#include "session/Launcher.h"
#include "ui/Resources.h"
#include "update/apply/Journal.h"
#include "update/disk/Paths.h"
#include "update/StartupCheck.h"

namespace {

constexpr int kIconId = 101;

[[nodiscard]] std::optional<std::string> NarrowModulePath() {
  char buffer[260] = {};
  const DWORD length = ::GetModuleFileNameA(nullptr, buffer, sizeof buffer);
  if (length == 0 || length >= sizeof buffer) return std::nullopt;
  return std::string(buffer, length);
}

[[nodiscard]] std::optional<std::wstring> WideModulePath() {
  wchar_t buffer[260] = {};
  const DWORD length = ::GetModuleFileNameW(nullptr, buffer, 260);
  if (length == 0 || length >= 260) return std::nullopt;
  return std::wstring(buffer, length);
}

// Mutex name, assembled at run time (16 characters).
std::string SingleInstanceName() { return std::string("ORVEX") + "-Launcher-" + std::to_string(1); }

// True when the running launcher's window, or the window of its start-up
// repair, was found (and brought forward).
[[nodiscard]] bool BringRunningLauncherForward() {
  HWND running = ::FindWindowA(kWindowClassName, kWindowTitle);
  if (!running) running = ::FindWindowA(kStartupRepairClassName, kStartupRepairTitle);
  if (!running) return false;
  ::ShowWindow(running, SW_RESTORE);
  ::SetForegroundWindow(running);
  return true;
}

// How long a start waits for another launcher that holds the single-instance
// name without a window: one that is closing gives the name up within 2 s.
constexpr int kInstanceWaitSteps = 30;
constexpr DWORD kInstanceWaitStepMs = 100;

// How long after the stop a closing launcher waits for its verification pass;
// the rest of the 2 s that closing may take is for the tear-down.
constexpr auto kPassStopGrace = std::chrono::milliseconds(1000);

// Ends the process without the C runtime's exit. The update thread is never
// joined, and a pass or a board fetch that did not stop in time still runs:
// exit() would run the static destructors under them, and the destructor of a
// std::async future waits for its task. What such work leaves is what a crash
// leaves (an install is finished or rolled back by the journal at the next
// start); the kernel closes the update lock and the single-instance mutex.
[[noreturn]] void EndProcess(UINT exitCode) {
  std::fflush(stdout);
  ::TerminateProcess(::GetCurrentProcess(), exitCode);
  ::ExitProcess(exitCode);  // not reached: TerminateProcess of the own process does not return
}

// The update thread's entry: nothing escapes it; what would is logged.
DWORD WINAPI UpdateThread(void* parameter) {
  return fail::CatchAtEdge(
      [parameter] {
        static_cast<Launcher*>(parameter)->Run();
        return DWORD{1};
      },
      [](const std::string& text) {
        fail::Log(text.c_str(), fail::kLauncherSource, __LINE__);
        return DWORD{1};
      },
      "unexpected exception");
}

// Start-up stops for a recovery failure only when an interrupted update could
// still be rolled back or finished; the player learns how to get past it.
constexpr char kRecoveryAdvice[] =
    "\n\nAn interrupted update must be finished before the game can start. Close the game and any program "
    "that uses its files, make sure the game folder can be written, and start the launcher again. If this "
    "message comes back, reinstall the game client.";

[[nodiscard]] int ErrorBox(const std::string& text, const char* title) {
  ::MessageBoxA(nullptr, text.c_str(), title, MB_OK | MB_ICONERROR);
  return 1;
}

std::string CurrentDirectory() {
  char buffer[260] = {};
  const DWORD length = ::GetCurrentDirectoryA(sizeof buffer, buffer);
  return (length > 0 && length < sizeof buffer) ? std::string(buffer, length) : std::string();
}

// Takes the single-instance name, held until the process exits (the kernel
// closes it then). False when another launcher holds it: its window was
// brought forward, or it did not give the name up in time. A launcher that
// holds the name without a window is starting or closing; a closing one is
// gone within 2 s, and a relaunch in that moment becomes a normal start.
[[nodiscard]] bool TakeSingleInstance() {
  static win::UniqueHandle instanceMutex;
  const std::string instanceName = SingleInstanceName();
  for (int step = 0;; ++step) {
    HANDLE created = ::CreateMutexA(nullptr, FALSE, instanceName.c_str());
    const DWORD createError = ::GetLastError();
    instanceMutex.Reset(created);
    if (createError != ERROR_ALREADY_EXISTS) return true;
    // Our own handle would keep the name alive for the next attempt.
    instanceMutex.Reset();
    if (BringRunningLauncherForward() || step == kInstanceWaitSteps) return false;
    ::Sleep(kInstanceWaitStepMs);
  }
}

// Before the window: an interrupted update is finished or rolled back, a
// pending new launcher takes over, and files that fail the quick check are
// repaired. The process exit code when start-up ends here.
[[nodiscard]] std::optional<int> PrepareClientFolder(HINSTANCE instance, const std::string& launcherFolder) {
  const std::filesystem::path clientFolder = orvex_update::PathFromNarrow(launcherFolder);
  fail::Failure recovery;
  if (!orvex_update::RecoverInterruptedUpdate(clientFolder, recovery)) {
    return ErrorBox(recovery.text + kRecoveryAdvice, "ORVEX Update Recovery");
  }
  std::string errorText;
  const int pending = modes::PendingLauncherCheck(clientFolder, errorText);
  if (pending > 0) return 0;
  if (pending < 0) return ErrorBox(errorText, "ORVEX Launcher Update");
  if (orvex_update::QuickStartupCheck(clientFolder)) return std::nullopt;
  const unsigned version = settings::ReadClientVersion(launcherFolder, 0);
  switch (RunStartupRepairWithWindow(instance, clientFolder, version, errorText)) {
    case StartupRepairOutcome::Sound:
      return std::nullopt;
    case StartupRepairOutcome::Failed:
      return ErrorBox(errorText, "ORVEX Startup Repair");
    case StartupRepairOutcome::Closed:
      // The player closed the repair's window: like closing the launcher.
      EndProcess(0);
  }
  return std::nullopt;
}

// Registers the window class and creates the main window, scaled for the DPI
// of the monitor under the cursor (WM_DPICHANGED follows the window to
// another monitor). Null on failure, with the class unregistered again.
HWND CreateMainWindow(HINSTANCE instance) {
  const dpi::MonitorArea area = dpi::AreaUnderCursor();
  const unsigned monitorDpi = dpi::MonitorDpi(area.monitor);
  const startup::WindowPlacement placement = startup::ComputeWindowPlacement(area.work, monitorDpi);

  WNDCLASSA windowClass{};
  windowClass.style = CS_BYTEALIGNCLIENT | CS_BYTEALIGNWINDOW;
  windowClass.lpfnWndProc = LauncherWindowProc;
  windowClass.hInstance = instance;
  windowClass.hIcon = ::LoadIconA(instance, MAKEINTRESOURCEA(kIconId));
  windowClass.hCursor = ::LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
  windowClass.lpszClassName = kWindowClassName;
  if (!::RegisterClassA(&windowClass)) return nullptr;
  HWND window = ::CreateWindowExA(0, kWindowClassName, kWindowTitle, WS_POPUP | WS_CLIPCHILDREN, placement.x,
                                  placement.y, placement.width, placement.height, nullptr, nullptr, instance,
                                  nullptr);
  if (!window) {
    ::UnregisterClassA(kWindowClassName, instance);
    return nullptr;
  }
  // Created on another monitor than the cursor's (or told a DPI other than the
  // monitor answered): size it for the DPI the window really has.
  if (const unsigned windowDpi = dpi::WindowDpi(window); windowDpi != monitorDpi) {
    const startup::WindowPlacement fitted = startup::ComputeWindowPlacement(area.work, windowDpi);
    ::SetWindowPos(window, nullptr, fitted.x, fitted.y, fitted.width, fitted.height, SWP_NOZORDER | SWP_NOACTIVATE);
  }
  return window;
}

// The session for the client folder (the current directory from here on),
// reporting to the window. Lives until the process ends.
Launcher* CreateSession(HWND window) {
  session::SessionSetup setup;
  setup.clientFolder = CurrentDirectory();
  const std::string folder = setup.clientFolder;
  setup.loginHost = settings::ReadLoginHost(folder);
  setup.patchBaseUrl = [folder] { return settings::ReadPatchBaseUrl(folder); };
  setup.clientVersion = [folder] { return settings::ReadClientVersion(folder, 1); };
  setup.gameRunning = game::IsGameRunning;
  // Tests and the demo shorten the waits before a retry (ORVEX_RETRY_WAITS=2,4,8).
  if (const char* waits = std::getenv("ORVEX_RETRY_WAITS")) setup.retryWaits = session::RetryWaitsFrom(waits);
  // InvalidateRect and PostMessage may be called from any thread.
  setup.statusChanged = [window] { ::InvalidateRect(window, nullptr, FALSE); };
  setup.launcherDelivered = [window] { ::PostMessageW(window, WM_LAUNCHER_SWAP, 0, 0); };
  auto* session = new Launcher(std::move(setup));
  session->SetWindow(window);
  return session;
}

// Shows the window, runs the message loop and stops the background work;
// returns the exit code of WM_QUIT. The window is destroyed at the end.
UINT RunMainWindow(HWND window) {
  app::AppState& app = app::State();
  app.mainWindow = window;
  app.session = CreateSession(window);

  settings::ReadWebsiteLink();
  win::UniqueHandle updateThread(::CreateThread(nullptr, 0, UpdateThread, app.session, 0, nullptr));

  auto& res = ui::Res();
  res.normalCursor = ::LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));
  res.windowCursor = res.normalCursor;
  ::SetCursor(res.normalCursor);

  ::SetTimer(window, kTickTimerId, kTickPeriodMs, nullptr);
  ::SetTimer(window, kBoardTimerId, kBoardPeriodMs, nullptr);
  ::ShowWindow(window, SW_SHOWNORMAL);
  ::UpdateWindow(window);

  MSG message{};
  while (::GetMessageA(&message, nullptr, 0, 0) > 0) {
    ::TranslateMessage(&message);
    ::DispatchMessageA(&message);
  }

  // Closing means closing: hashing, downloads and the repair's retry waits
  // stop at their next check (usually already since WM_CLOSE), and a repair
  // that has not begun to replace files never begins; a pass still running
  // after the grace (a read blocked in WinHTTP) ends with the process.
  game::StopBackgroundWork(app.launch);
  game::AwaitStoppedPass(app.launch, kPassStopGrace);
  ::DestroyWindow(window);
  return static_cast<UINT>(message.wParam);
}

[[nodiscard]] int RunNormalLauncher(HINSTANCE instance, const std::string& launcherFolder) {
  if (!::SetCurrentDirectoryA(launcherFolder.c_str())) return 1;
  if (!TakeSingleInstance()) return 0;
  if (const std::optional<int> exitCode = PrepareClientFolder(instance, launcherFolder)) return *exitCode;

  UINT exitCode = 0;
  {
    fail::ScopeExit releaseArtwork([] { ui::ReleaseArtworkAndFonts(); });
    if (!ui::LoadArtwork(instance)) {
      ::MessageBoxW(nullptr, L"The ORVEX Launcher artwork could not be loaded.", L"ORVEX Launcher",
                    MB_OK | MB_ICONERROR);
      return 1;
    }
    ui::CreateFonts();
    HWND window = CreateMainWindow(instance);
    if (!window) return 1;
    fail::ScopeExit unregisterClass([instance] { ::UnregisterClassA(kWindowClassName, instance); });
    exitCode = RunMainWindow(window);
  }
  EndProcess(exitCode);
}

}  // namespace

int LauncherMain(HINSTANCE instance, const char* commandLine) {
  dpi::DeclareAwareness();
  const std::string_view arguments = commandLine ? commandLine : "";
  const startup::RunModeChoice choice = startup::ChooseRunMode(NarrowModulePath(), WideModulePath(), arguments);
  switch (choice.mode) {
    case startup::RunMode::Exit:
      return choice.exitCode;
    case startup::RunMode::Installer:
      return modes::RunInstallerMode(choice.executablePath, choice.unattended);
    case startup::RunMode::Swap:
      return modes::RunLauncherSwap(std::filesystem::path(choice.clientFolder), choice.swapProcessId);
    case startup::RunMode::Launcher:
      return RunNormalLauncher(instance, choice.launcherFolder);
  }
  return 1;
}
