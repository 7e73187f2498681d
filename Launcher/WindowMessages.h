// Messages and timers of the launcher window.
#pragma once

#include "common/Windows.h"

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

// The window procedure of the main window (registered as an ANSI class).
LRESULT CALLBACK LauncherWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
