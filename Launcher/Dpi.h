// Dots per inch of monitors and windows. The process is per-monitor DPI
// aware where Windows offers it, so that a window learns the DPI of the
// monitor it is on and is told (WM_DPICHANGED) when it moves to another.
#pragma once

#include "common/Windows.h"

#include "Launcher/StartupRules.h"

namespace dpi {

inline constexpr unsigned kDefaultDpi = 96;

// Declares the process per-monitor DPI aware (version 2, Windows 10 1703 and
// later), else system DPI aware. Before any window exists.
void DeclareAwareness();

// The DPI of a monitor, or of the system when the monitor's cannot be read.
unsigned MonitorDpi(HMONITOR monitor);
// The DPI of the monitor a window is on.
unsigned WindowDpi(HWND window);

// The monitor under the mouse cursor (the primary one when none) and its work
// area; a work area of the screen's size when the monitor cannot be read.
struct MonitorArea {
  HMONITOR monitor = nullptr;
  startup::WorkArea work;
};
MonitorArea AreaUnderCursor();
MonitorArea AreaOfRect(const RECT& rect);

}  // namespace dpi
