// Painting of the launcher window: one frame of the 800x600 canvas composed
// off-screen and stretched to the client area.
#pragma once

#include "common/Windows.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "board/Announcement.h"
#include "ui/Layout.h"

namespace ui {

// Everything one frame shows, read once at the start of the frame by the
// window's owner and handed over as a value.
struct FrameInputs {
  bool sessionExists = false;
  bool connected = false;
  bool ready = false;
  bool progressVisible = false;
  std::int32_t progress = 0;
  std::string status;  // the session's 8-bit status text
  int retrySeconds = 0;  // > 0: the session runs again in that many seconds
  bool guardRunning = false;
  bool launchIdle = true;
  ElementId hovered = ElementId::None;
  bool statusTipOpen = false;  // the pointer rests on the status line: show it whole if cut
  bool calendarOpen = false;
  std::vector<launcher_board::Announcement> announcements;
  bool boardLoaded = false;
  bool boardFetchFinished = false;
  HBITMAP banner = nullptr;
  std::optional<SYSTEMTIME> turkeyTime;  // nullopt: the calendar shows its fallback line
};

// The status line a frame shows for these inputs.
std::wstring ShownStatusLine(const FrameInputs& in);

// Paints one frame onto an 800x600 DC that already holds the artwork. The
// board offset is clamped to the announcement count and stored back.
void PaintFrame(HDC dc, const FrameInputs& in, std::size_t& boardOffset);

// WM_PAINT: composes the frame off-screen and shows it at the window's size:
// up to 800x600 stretched with HALFTONE, larger (a high-DPI monitor) drawn at
// the window's own resolution through a world transform, so text stays sharp.
void PaintWindow(HWND window, const FrameInputs& in, std::size_t& boardOffset);

// Invalidates the window when what a frame would show differs from what was
// last painted (or nothing was painted yet); a visible, not minimised window
// only. The timers call it, so an idle window paints nothing.
void InvalidateIfChanged(HWND window, const FrameInputs& now, std::size_t boardOffset);

}  // namespace ui
