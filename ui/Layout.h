// The logical 800x600 canvas: element table, event schedule, colours and the
// frame rules that need no Win32 (percentages, status line, board rows,
// calendar rows). Painting and hit-testing both read these tables.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ui {

inline constexpr int kCanvasWidth = 800;
inline constexpr int kCanvasHeight = 600;

enum class ElementId : std::int32_t {
  None = 0,
  Minimise = 1,
  Close = 2,
  Repair = 3,  // keyboard only (F5); no rectangle
  Website = 4,
  Start = 5,
  Options = 6,
  Calendar = 7,
  Servers = 8,
  Ranking = 9,
  Market = 10,
  Support = 11,
  Banner = 12,
  BoardRow1 = 13,
  BoardRow2 = 14,
};

// Right and bottom are exclusive.
struct CanvasRect {
  int left = 0, top = 0, right = 0, bottom = 0;
  [[nodiscard]] bool Contains(int x, int y) const { return x >= left && x < right && y >= top && y < bottom; }
  [[nodiscard]] int Width() const { return right - left; }
  [[nodiscard]] int Height() const { return bottom - top; }
  bool operator==(const CanvasRect&) const = default;
};

struct UiElement {
  ElementId id;
  CanvasRect rect;
  const wchar_t* label;     // non-null only for the five quick-link tiles
  wchar_t glyph;            // 0 when none
  const wchar_t* linkPath;  // site path opened by the element, or null
};

extern const std::array<UiElement, 13> kElements;

// Rectangle of the first table row with this id; (0,0,0,0) when no row has it.
CanvasRect ElementRect(ElementId id);
// The row of this id, or null.
const UiElement* FindElement(ElementId id);
// First row whose rectangle holds the canvas point, or ElementId::None.
ElementId HitTest(int x, int y);

struct ScheduledEvent {
  const wchar_t* name;
  std::uint8_t weekdayMask;  // bit d: runs on day-of-week d (0 = Sunday)
  std::uint16_t startMinutes;  // minutes after midnight, Turkey time
};

extern const std::array<ScheduledEvent, 9> kEventSchedule;

struct CalendarRow {
  std::wstring name;
  std::wstring time;  // "19:00", or "Wed 02:30" for a later day
};

// The up-to-three next events with distinct names at the given Turkey time.
std::vector<CalendarRow> UpcomingEvents(int hour, int minute, int dayOfWeek);

struct Rgb {
  std::uint8_t r, g, b;
};

namespace colours {
inline constexpr Rgb kPanelFrame{98, 80, 51};
inline constexpr Rgb kPanelBackground{20, 22, 24};
inline constexpr Rgb kTileBar{30, 33, 29};
inline constexpr Rgb kTileBorder{85, 72, 50};
inline constexpr Rgb kTileFace{41, 38, 31};
inline constexpr Rgb kTileFaceHighlighted{81, 65, 43};
inline constexpr Rgb kAccentText{240, 204, 144};
inline constexpr Rgb kMainText{228, 226, 220};
inline constexpr Rgb kDimText{176, 175, 169};
inline constexpr Rgb kHoveredRow{50, 42, 32};
inline constexpr Rgb kRowSeparator{52, 51, 42};
inline constexpr Rgb kMinimiseFace{29, 25, 19};
inline constexpr Rgb kTrackOuter{97, 76, 46};
inline constexpr Rgb kTrackInner{26, 21, 17};
inline constexpr Rgb kFillTop{248, 193, 88};
inline constexpr Rgb kFillBottom{166, 101, 28};
inline constexpr Rgb kVeil{17, 18, 21};
inline constexpr std::uint8_t kVeilAlpha = 128;
}  // namespace colours

// Fixed rectangles of the frame.
inline constexpr CanvasRect kPanelRect{350, 60, 751, 415};
inline constexpr CanvasRect kPanelInnerRect{351, 61, 750, 414};
inline constexpr CanvasRect kTileBarRect{351, 313, 750, 357};
inline constexpr CanvasRect kStatusRect{355, 431, 692, 451};
inline constexpr CanvasRect kPercentRect{694, 431, 746, 451};
inline constexpr CanvasRect kTrackOuterRect{353, 456, 751, 480};
inline constexpr CanvasRect kTrackInnerRect{355, 458, 749, 478};
inline constexpr int kFillLeft = 357;
inline constexpr int kFillTop = 461;
inline constexpr int kFillBottom = 475;
inline constexpr int kFillMaxWidth = 390;
inline constexpr CanvasRect kVeilRect{362, 500, 478, 523};

// Shown percentage: the clamped progress while the bar is visible, otherwise
// 100 when connected and 0 when not.
[[nodiscard]] int DisplayPercent(bool progressVisible, std::int32_t progress, bool connected);
// Width of the gradient fill for a shown percentage (0..100).
[[nodiscard]] int ProgressFillWidth(int percent);

inline constexpr wchar_t kGuardRunningText[] = L"ORVEX Guard is verifying the client\u2026";
inline constexpr wchar_t kUpToDateText[] = L"Client up to date";
inline constexpr wchar_t kConnectingText[] = L"Connecting\u2026";

// The status line actually shown.
std::wstring ChooseStatusLine(bool guardRunning, const std::wstring& status, bool ready);

// Painted at the right end of the status line while the session waits to
// run again after a network failure: "Retrying in 15 s…".
std::wstring RetryCountdownText(int seconds);
// Whole seconds left until deadlineMs (rounded up, at least 1); 0 without a
// deadline.
[[nodiscard]] int RetrySecondsLeft(std::uint64_t deadlineMs, std::uint64_t nowMs);
inline constexpr int kCountdownGap = 8;  // between the status text and the countdown

// The status line and the percentage: resting the pointer here shows a cut
// status line whole, in a tip drawn above the line.
inline constexpr CanvasRect kStatusHoverRect{355, 431, 746, 451};
inline constexpr std::uint64_t kStatusTipDelayMs = 400;
// The tip's bottom edge, and its margin around the text.
inline constexpr int kStatusTipBottom = 428;
inline constexpr int kStatusTipPadding = 6;

// The tip over the status line, as a system tooltip behaves: it opens once the
// pointer has rested on the line for kStatusTipDelayMs and shows the line as
// it was then; it closes when the pointer leaves or the line changes, and the
// next pointer move over the line opens it again for the new line.
struct StatusTip {
  bool open = false;
  std::wstring text;          // the line the open tip shows
  bool armed = false;         // the pointer moved onto the line and rests there
  std::uint64_t armedAt = 0;  // when it last moved, in milliseconds
};
// hovered: the pointer is over kStatusHoverRect; moved: it moved there since
// the last call; line: the status line shown now; nowMs: a monotonic clock.
void UpdateStatusTip(StatusTip& tip, bool hovered, bool moved, const std::wstring& line, std::uint64_t nowMs);

// Board scroll offset clamped to the announcement count (at most count - 2).
std::size_t ClampBoardOffset(std::size_t offset, std::size_t count);

// The message painted when the announcement list is empty.
const wchar_t* EmptyBoardMessage(bool listDelivered, bool fetchFailed);

}  // namespace ui
