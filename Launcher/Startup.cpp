#include "Startup.h"

#include <filesystem>
#include <optional>
#include <string>

#include "App.h"
#include "Launcher.h"
#include "Settings.h"
#include "StartupRules.h"
#include "WindowMessages.h"
#include "modes/Installer.h"
#include "modes/LauncherSwap.h"
#include "ui/Picture.h"
#include "ui/UiState.h"
#include "update/Journal.h"
#include "update/Paths.h"
#include "update/StartupCheck.h"

namespace {

constexpr int kMainArtworkId = 1701;
constexpr int kSecondaryArtworkId = 1702;
constexpr int kIconId = 101;

std::optional<std::string> NarrowModulePath() {
  char buffer[260] = {};
  const DWORD length = ::GetModuleFileNameA(nullptr, buffer, sizeof buffer);
  if (length == 0 || length >= sizeof buffer) return std::nullopt;
  return std::string(buffer, length);
}

std::optional<std::wstring> WideModulePath() {
  wchar_t buffer[260] = {};
  const DWORD length = ::GetModuleFileNameW(nullptr, buffer, 260);
  if (length == 0 || length >= 260) return std::nullopt;
  return std::wstring(buffer, length);
}

// Mutex name, assembled at run time (16 characters).
std::string SingleInstanceName() { return std::string("ORVEX") + "-Launcher-" + std::to_string(1); }

void BringRunningLauncherForward() {
  if (HWND running = ::FindWindowA(kWindowClassName, kWindowTitle)) {
    ::ShowWindow(running, SW_RESTORE);
    ::SetForegroundWindow(running);
  }
}

startup::WorkArea WorkAreaUnderCursor() {
  POINT cursor{};
  ::GetCursorPos(&cursor);
  HMONITOR monitor = ::MonitorFromPoint(cursor, MONITOR_DEFAULTTOPRIMARY);
  MONITORINFO info{};
  info.cbSize = sizeof info;
  if (monitor && ::GetMonitorInfoW(monitor, &info)) {
    return {info.rcWork.left, info.rcWork.top, info.rcWork.right, info.rcWork.bottom};
  }
  return {0, 0, ::GetSystemMetrics(SM_CXSCREEN), ::GetSystemMetrics(SM_CYSCREEN)};
}

DWORD WINAPI UpdateThread(void* parameter) {
  static_cast<Launcher*>(parameter)->Run();
  return 1;
}

// Start-up stops for a recovery failure only when an interrupted update could
// still be rolled back or finished; the player learns how to get past it.
constexpr char kRecoveryAdvice[] =
    "\n\nAn interrupted update must be finished before the game can start. Close the game and any program "
    "that uses its files, make sure the game folder can be written, and start the launcher again. If this "
    "message comes back, reinstall the game client.";

int ErrorBox(const std::string& text, const char* title) {
  ::MessageBoxA(nullptr, text.c_str(), title, MB_OK | MB_ICONERROR);
  return 1;
}

int RunNormalLauncher(HINSTANCE instance, const std::string& launcherFolder) {
  if (!::SetCurrentDirectoryA(launcherFolder.c_str())) return 1;
  const std::filesystem::path clientFolder = orvex_update::PathFromNarrow(launcherFolder);

  // Held until the process exits; the kernel closes it then.
  static win::UniqueHandle instanceMutex;
  instanceMutex.Reset(::CreateMutexA(nullptr, FALSE, SingleInstanceName().c_str()));
  if (::GetLastError() == ERROR_ALREADY_EXISTS) {
    BringRunningLauncherForward();
    return 0;
  }

  std::string errorText;
  if (!orvex_update::RecoverInterruptedUpdate(clientFolder, errorText)) {
    return ErrorBox(errorText + kRecoveryAdvice, "ORVEX Update Recovery");
  }
  const int pending = PendingLauncherCheck(clientFolder, errorText);
  if (pending > 0) return 0;
  if (pending < 0) return ErrorBox(errorText, "ORVEX Launcher Update");
  if (!orvex_update::QuickStartupCheck(clientFolder)) {
    const unsigned version = settings::ReadClientVersion(launcherFolder, 0);
    if (!orvex_update::StartupCheckAndRepair(clientFolder, version, errorText, {}, {}, {})) {
      return ErrorBox(errorText, "ORVEX Startup Repair");
    }
  }

  auto& res = app::Res();
  res.instance = instance;
  res.mainArtwork.Reset(ui::LoadPicture(instance, kMainArtworkId, 800, 600));
  if (!res.mainArtwork) {
    ::MessageBoxW(nullptr, L"The ORVEX Launcher artwork could not be loaded.", L"ORVEX Launcher",
                  MB_OK | MB_ICONERROR);
    return 1;
  }
  res.secondaryArtwork.Reset(ui::LoadPicture(instance, kSecondaryArtworkId, 399, 252));
  app::CreateFonts();

  const startup::WindowPlacement placement = startup::ComputeWindowPlacement(WorkAreaUnderCursor());

  WNDCLASSA windowClass{};
  windowClass.style = CS_BYTEALIGNCLIENT | CS_BYTEALIGNWINDOW;
  windowClass.lpfnWndProc = LauncherWindowProc;
  windowClass.hInstance = instance;
  windowClass.hIcon = ::LoadIconA(instance, MAKEINTRESOURCEA(kIconId));
  windowClass.hCursor = ::LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
  windowClass.lpszClassName = kWindowClassName;
  if (!::RegisterClassA(&windowClass)) {
    app::ReleaseArtworkAndFonts();
    return 1;
  }
  HWND window = ::CreateWindowExA(0, kWindowClassName, kWindowTitle, WS_POPUP | WS_CLIPCHILDREN, placement.x,
                                  placement.y, placement.width, placement.height, nullptr, nullptr, instance,
                                  nullptr);
  if (!window) {
    ::UnregisterClassA(kWindowClassName, instance);
    app::ReleaseArtworkAndFonts();
    return 1;
  }
  res.mainWindow = window;

  UiState& state = Ui();
  state.hovered = ui::ElementId::None;
  state.pressed = ui::ElementId::None;
  // Lives until the process ends. Its constructor records the current
  // directory, which is the client folder from here on.
  auto* session = new Launcher();
  session->SetWindow(window);
  res.session = session;

  settings::ReadWebsiteLink();
  win::UniqueHandle updateThread(::CreateThread(nullptr, 0, UpdateThread, session, 0, nullptr));

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

  state.stopFlag.exchange(true);
  if (state.verificationPass.valid()) state.verificationPass.get();
  ::DestroyWindow(window);
  app::ReleaseArtworkAndFonts();
  ::UnregisterClassA(kWindowClassName, instance);
  return static_cast<int>(message.wParam);
}

}  // namespace

int LauncherMain(HINSTANCE instance, const char* commandLine) {
  ::SetProcessDPIAware();
  const std::string_view arguments = commandLine ? commandLine : "";
  const startup::RunModeChoice choice = startup::ChooseRunMode(NarrowModulePath(), WideModulePath(), arguments);
  switch (choice.mode) {
    case startup::RunMode::Exit:
      return choice.exitCode;
    case startup::RunMode::Installer:
      return RunInstallerMode(choice.executablePath, choice.unattended);
    case startup::RunMode::Swap:
      return RunLauncherSwap(std::filesystem::path(choice.clientFolder), choice.swapProcessId);
    case startup::RunMode::Launcher:
      return RunNormalLauncher(instance, choice.launcherFolder);
  }
  return 1;
}
