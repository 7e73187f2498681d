#include <algorithm>
#include <string>

#include "Launcher/Actions.h"
#include "Launcher/App.h"
#include "Launcher/Dpi.h"
#include "Launcher/Settings.h"
#include "Launcher/WindowMessages.h"
#include "common/Errors.h"
#include "game/BackgroundRepair.h"
#include "modes/LauncherSwap.h"
#include "session/Launcher.h"
#include "session/net/APISocket.h"
#include "ui/Resources.h"
#include "update/disk/Paths.h"

namespace {

// 250 ms: background repair, launch watch, repaint when the frame changed.
void OnTick(app::AppState& app, HWND window) {
  game::ServiceBackgroundRepair(app.launch, app.session, window);
  game::RunLaunchWatch(app.launch, app.session, window);
  app::RefreshStatusTip(app);
  ui::InvalidateIfChanged(window, app::GatherFrameInputs(app), app.view.boardOffset);
}

// 100 ms: the board's fetch, repaint when the frame changed.
void OnBoardTick(app::AppState& app, HWND window) {
  launcher_board::PollAnnouncements(app.board, settings::WebsiteLink());
  app::RefreshStatusTip(app);
  ui::InvalidateIfChanged(window, app::GatherFrameInputs(app), app.view.boardOffset);
}

// A patch delivered a new launcher: hand over to the swap helper if one is pending.
void RestartForNewLauncher(Launcher* session, HWND window) {
  if (!session) return;
  session->SetReady(false);
  session->SetProgress(0, false);
  std::string errorText;
  const int result = modes::PendingLauncherCheck(orvex_update::PathFromNarrow(session->ClientFolder()), errorText);
  if (result > 0) {
    ::PostQuitMessage(0);
  } else if (result < 0) {
    session->SetStatus(errorText);
    ::MessageBoxA(window, errorText.c_str(), "ORVEX Launcher Update", MB_OK | MB_ICONERROR);
  }
}

// The window moved to a monitor of another DPI: the same rule as at start-up
// for the new DPI and that monitor's work area, at the place Windows suggests,
// kept inside the work area.
void FollowDpiChange(HWND window, unsigned newDpi, const RECT& suggested) {
  const dpi::MonitorArea area = dpi::AreaOfRect(suggested);
  const startup::WindowPlacement size = startup::ComputeWindowPlacement(area.work, newDpi);
  const int x = std::clamp<int>(suggested.left, area.work.left, std::max(area.work.left, area.work.right - size.width));
  const int y = std::clamp<int>(suggested.top, area.work.top, std::max(area.work.top, area.work.bottom - size.height));
  ::SetWindowPos(window, nullptr, x, y, size.width, size.height, SWP_NOZORDER | SWP_NOACTIVATE);
  ::InvalidateRect(window, nullptr, FALSE);
}

// Every message of the window, in one place. Painting, the board's timer and
// the input wait for the artwork, which start-up loads before the window.
LRESULT Dispatch(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  app::AppState& app = app::State();
  const bool drawn = static_cast<bool>(ui::Res().mainArtwork);
  switch (message) {
    case WM_PAINT:
      if (!drawn) break;
      ui::PaintWindow(window, app::GatherFrameInputs(app), app.view.boardOffset);
      return 0;
    case WM_TIMER:
      if (wParam == kTickTimerId) {
        OnTick(app, window);
        return 0;
      }
      if (wParam == kBoardTimerId && drawn) {
        OnBoardTick(app, window);
        return 0;
      }
      break;
    case WM_CLOSE:
      // Background work is told before the window goes: destroying it can
      // take a while (Wine waits up to 2 s for a window manager to withdraw
      // it). Without its title the dying window is not taken for a running
      // launcher by a relaunch, which waits for the single-instance name.
      game::StopBackgroundWork(app.launch);
      ::SetWindowTextA(window, "");
      break;  // DefWindowProc destroys the window
    case WM_DESTROY:
      ::PostQuitMessage(0);
      return 0;
    case WM_SETCURSOR:
      ::SetCursor(ui::Res().windowCursor);
      break;
    case WM_SYSCOMMAND:
      // Alt and F10 never open the window menu of this borderless window.
      if ((wParam & 0xFFF0) == SC_KEYMENU) return 0;
      break;
    case WM_SOCKETMSG:
      HandleSocketNotification(app.session, app.session ? app.session->Socket() : nullptr, lParam);
      break;
    case WM_LAUNCHER_SWAP:
      RestartForNewLauncher(app.session, window);
      return 0;
    case WM_DPICHANGED:
      FollowDpiChange(window, HIWORD(wParam), *reinterpret_cast<const RECT*>(lParam));
      return 0;
    default:
      if (drawn) {
        app::WindowActions actions(app, window);
        LRESULT result = 0;
        if (ui::HandleInputMessage(window, message, wParam, lParam, app.view, actions, result)) {
          if (message == WM_MOUSEMOVE || message == WM_MOUSELEAVE) {
            app::RefreshStatusTip(app);
            ui::InvalidateIfChanged(window, app::GatherFrameInputs(app), app.view.boardOffset);
          }
          return result;
        }
      }
      break;
  }
  return ::DefWindowProcA(window, message, wParam, lParam);
}

}  // namespace

LRESULT CALLBACK LauncherWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return fail::CatchAtEdge([&] { return Dispatch(window, message, wParam, lParam); },
                           [](const std::string& text) {
                             fail::Log(text.c_str(), fail::kLauncherSource, __LINE__);
                             return LRESULT{0};
                           },
                           "unexpected exception");
}
