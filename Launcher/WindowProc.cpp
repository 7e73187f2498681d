#include <algorithm>
#include <exception>
#include <filesystem>
#include <string>

#include "App.h"
#include "Dpi.h"
#include "Launcher.h"
#include "WindowMessages.h"
#include "modes/LauncherSwap.h"
#include "net/APISocket.h"
#include "ui/BackgroundRepair.h"
#include "ui/Input.h"
#include "ui/Paint.h"
#include "ui/UiState.h"
#include "update/Paths.h"

namespace {

// The server closed the link, or the link was closed because the peer
// flooded it: whatever is queued is never handled.
void Disconnect(Launcher* session, CAPISocket* socket) {
  if (session) {
    session->SetReady(false);
    session->SetStatus("Disconnected.");
  }
  if (socket) {
    socket->Close();
    socket->DropQueuedPackets();  // packets not yet handled never will be
  }
}

}  // namespace

void HandleSocketNotification(Launcher* session, CAPISocket* socket, LPARAM lParam) {
  switch (WSAGETSELECTEVENT(lParam)) {
    case FD_READ:
      if (socket && !socket->Receive()) Disconnect(session, socket);
      break;
    case FD_CONNECT:
      break;
    case FD_CLOSE:
      Disconnect(session, socket);
      break;
    default:
      LogSocketError("WM_SOCKETMSG: unknown socket flag.", kLauncherSource, __LINE__);
      break;
  }
}

namespace {

void OnTick(HWND window) {
  ui::ServiceBackgroundRepair();
  ui::RunLaunchWatch(window);
  ui::InvalidateIfChanged(window);
}

// A patch delivered a new launcher: hand over to the swap helper if one is pending.
void RestartForNewLauncher(HWND window) {
  Launcher* session = app::Res().session;
  if (!session) return;
  session->SetReady(false);
  session->SetProgress(0, false);
  std::string errorText;
  const int result = PendingLauncherCheck(orvex_update::PathFromNarrow(session->ClientFolder()), errorText);
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

LRESULT Dispatch(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  LRESULT result = 0;
  if (ui::HandleUiMessage(window, message, wParam, lParam, result)) return result;
  switch (message) {
    case WM_CLOSE:
      // Background work is told before the window goes: destroying it can
      // take a while (Wine waits up to 2 s for a window manager to withdraw
      // it). Without its title the dying window is not taken for a running
      // launcher by a relaunch, which waits for the single-instance name.
      ui::StopBackgroundWork();
      ::SetWindowTextA(window, "");
      break;  // DefWindowProc destroys the window
    case WM_DESTROY:
      ::PostQuitMessage(0);
      return 0;
    case WM_SETCURSOR:
      ::SetCursor(app::Res().windowCursor);
      break;
    case WM_SYSCOMMAND:
      // Alt and F10 never open the window menu of this borderless window.
      if ((wParam & 0xFFF0) == SC_KEYMENU) return 0;
      break;
    case WM_TIMER:
      if (wParam == kTickTimerId) {
        OnTick(window);
        return 0;
      }
      break;
    case WM_SOCKETMSG: {
      Launcher* session = app::Res().session;
      HandleSocketNotification(session, session ? session->Socket() : nullptr, lParam);
      break;
    }
    case WM_LAUNCHER_SWAP:
      RestartForNewLauncher(window);
      return 0;
    case WM_DPICHANGED:
      FollowDpiChange(window, HIWORD(wParam), *reinterpret_cast<const RECT*>(lParam));
      return 0;
    default:
      break;
  }
  return ::DefWindowProcA(window, message, wParam, lParam);
}

}  // namespace

LRESULT CALLBACK LauncherWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  try {
    return Dispatch(window, message, wParam, lParam);
  } catch (const std::exception& error) {
    LogSocketError(error.what(), kLauncherSource, __LINE__);
  } catch (...) {
    LogSocketError("unexpected exception", kLauncherSource, __LINE__);
  }
  return 0;
}
