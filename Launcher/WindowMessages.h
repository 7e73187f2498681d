// Messages and timers of the launcher window.
#pragma once

#include "common/WinHandles.h"

// Posted by the update thread after a patch delivered a new launcher.
inline constexpr UINT WM_LAUNCHER_SWAP = WM_APP + 0x2A;

// 250 ms tick: background repair, launch watch, repaint.
inline constexpr UINT_PTR kTickTimerId = 27;
inline constexpr UINT kTickPeriodMs = 250;
// 100 ms board poll and repaint.
inline constexpr UINT_PTR kBoardTimerId = 103;
inline constexpr UINT kBoardPeriodMs = 100;

inline constexpr char kWindowClassName[] = "Launcher";
inline constexpr char kWindowTitle[] = "ORVEX Launcher";

class Launcher;
class CAPISocket;

// WM_SOCKETMSG on the window thread: FD_READ receives into the socket's queue;
// FD_CLOSE, and an FD_READ that found the queue at its bound, clear the
// session's ready flag, show "Disconnected.", close the socket and drop every
// packet not yet handled; other events are logged.
void HandleSocketNotification(Launcher* session, CAPISocket* socket, LPARAM lParam);

// The window procedure of the main window (registered as an ANSI class).
LRESULT CALLBACK LauncherWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
