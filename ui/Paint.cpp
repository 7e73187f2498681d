#include "ui/Paint.h"

#include <algorithm>
#include <string>
#include <vector>

#include "common/Utf8.h"
#include "common/WinHandles.h"
#include "ui/Resources.h"

namespace ui {
namespace {



enum class TextLayout { Centred, Left, Right, Banner };

COLORREF ToColorRef(Rgb c) { return RGB(c.r, c.g, c.b); }

RECT ToRect(const CanvasRect& r) { return RECT{r.left, r.top, r.right, r.bottom}; }

void Fill(HDC dc, const CanvasRect& rect, Rgb colour) {
  win::UniqueBrush brush(::CreateSolidBrush(ToColorRef(colour)));
  if (!brush) return;
  RECT r = ToRect(rect);
  ::FillRect(dc, &r, brush.Get());
}

void PaintText(HDC dc, const std::wstring& text, const CanvasRect& rect, FontRole font, Rgb colour,
              TextLayout layout) {
  UINT format = DT_NOPREFIX;
  switch (layout) {
    case TextLayout::Centred: format |= DT_SINGLELINE | DT_VCENTER | DT_CENTER; break;
    case TextLayout::Left: format |= DT_SINGLELINE | DT_VCENTER | DT_LEFT | DT_END_ELLIPSIS; break;
    case TextLayout::Right: format |= DT_SINGLELINE | DT_VCENTER | DT_RIGHT; break;
    case TextLayout::Banner: format |= DT_LEFT | DT_WORDBREAK; break;
  }
  win::SelectScope selectFont(dc, Font(font));
  ::SetBkMode(dc, TRANSPARENT);
  ::SetTextColor(dc, ToColorRef(colour));
  RECT r = ToRect(rect);
  ::DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &r, format);
}

// Width of text on one line in font (0 when it cannot be measured).
[[nodiscard]] int TextWidth(HDC dc, const std::wstring& text, FontRole font) {
  win::SelectScope selectFont(dc, Font(font));
  SIZE size{};
  if (text.empty() || !::GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size)) return 0;
  return size.cx;
}

// The whole status line in a box above it, in the panel's colours. Long
// words (a path) break inside the word rather than run out of the box.
void PaintStatusTip(HDC dc, const std::wstring& line) {
  constexpr UINT kFormat = DT_LEFT | DT_WORDBREAK | DT_EDITCONTROL | DT_NOPREFIX;
  const int left = kTrackOuterRect.left;
  const int right = kTrackOuterRect.right;
  win::SelectScope selectFont(dc, Font(FontRole::Bold14));
  RECT text{left + kStatusTipPadding, 0, right - kStatusTipPadding, 0};
  ::DrawTextW(dc, line.c_str(), static_cast<int>(line.size()), &text, kFormat | DT_CALCRECT);
  const int height = std::clamp<int>(text.bottom - text.top, 1, kStatusTipBottom - kPanelRect.top);
  const CanvasRect box{left, kStatusTipBottom - height - 2 * kStatusTipPadding, right, kStatusTipBottom};
  Fill(dc, box, colours::kPanelFrame);
  Fill(dc, {box.left + 1, box.top + 1, box.right - 1, box.bottom - 1}, colours::kPanelBackground);
  text = RECT{box.left + kStatusTipPadding, box.top + kStatusTipPadding, box.right - kStatusTipPadding,
              box.bottom - kStatusTipPadding};
  ::SetBkMode(dc, TRANSPARENT);
  ::SetTextColor(dc, ToColorRef(colours::kMainText));
  ::DrawTextW(dc, line.c_str(), static_cast<int>(line.size()), &text, kFormat);
}

void PaintTiles(HDC dc, const FrameInputs& in) {
  for (const auto& element : kElements) {
    if (!element.label) continue;
    const CanvasRect& r = element.rect;
    Fill(dc, r, colours::kTileBorder);
    const bool highlighted = element.id == in.hovered || (in.calendarOpen && element.id == ElementId::Calendar);
    Fill(dc, {r.left + 1, r.top + 1, r.right - 1, r.bottom - 1},
         highlighted ? colours::kTileFaceHighlighted : colours::kTileFace);
    PaintText(dc, std::wstring(1, element.glyph), {r.left, r.top + 3, r.right, r.top + 18}, FontRole::Symbol15,
             colours::kAccentText, TextLayout::Centred);
    PaintText(dc, element.label, {r.left, r.top + 17, r.right, r.bottom - 2}, FontRole::Small11, colours::kMainText,
             TextLayout::Centred);
  }
}

void PaintCalendar(HDC dc, const FrameInputs& in) {
  if (!in.turkeyTime) {
    PaintText(dc, L"Etkinlik takvimini oyunda a\u00e7abilirsin.", {363, 112, 737, 140}, FontRole::Regular14,
             colours::kDimText, TextLayout::Left);
    return;
  }
  const auto rows = UpcomingEvents(in.turkeyTime->wHour, in.turkeyTime->wMinute, in.turkeyTime->wDayOfWeek);
  for (std::size_t k = 0; k < rows.size(); ++k) {
    const int y = 112 + 37 * static_cast<int>(k);
    PaintText(dc, rows[k].name, {364, y, 638, y + 22}, FontRole::Bold14, colours::kMainText, TextLayout::Left);
    PaintText(dc, rows[k].time, {638, y, 737, y + 22}, FontRole::Bold14, colours::kAccentText, TextLayout::Right);
  }
}

void PaintBoard(HDC dc, const FrameInputs& in, std::size_t& boardOffset) {
  const auto& list = in.announcements;
  if (list.empty()) {
    PaintText(dc, EmptyBoardMessage(in.boardLoaded, in.boardFetchFinished), {364, 357, 737, 383},
             FontRole::Regular13, colours::kDimText, TextLayout::Left);
    return;
  }
  boardOffset = ClampBoardOffset(boardOffset, list.size());
  for (std::size_t slot = 0; slot < 2; ++slot) {
    const std::size_t index = boardOffset + slot;
    if (index >= list.size()) break;
    const ElementId id = slot == 0 ? ElementId::BoardRow1 : ElementId::BoardRow2;
    const CanvasRect r = ElementRect(id);
    if (in.hovered == id) Fill(dc, r, colours::kHoveredRow);
    PaintText(dc, list[index].title, {363, r.top, 653, r.bottom}, FontRole::Regular13, colours::kMainText,
             TextLayout::Left);
    PaintText(dc, list[index].date, {658, r.top, 738, r.bottom}, FontRole::Small11, colours::kDimText,
             TextLayout::Right);
    Fill(dc, {r.left, r.bottom - 1, r.right, r.bottom}, colours::kRowSeparator);
  }
}

void PaintPanel(HDC dc, const FrameInputs& in, std::size_t& boardOffset) {
  win::SavedDcScope saved(dc);
  ::IntersectClipRect(dc, kPanelRect.left, kPanelRect.top, kPanelRect.right, kPanelRect.bottom);
  Fill(dc, kPanelRect, colours::kPanelFrame);
  Fill(dc, kPanelInnerRect, colours::kPanelBackground);
  Fill(dc, kTileBarRect, colours::kTileBar);
  PaintTiles(dc, in);

  if (in.calendarOpen) {
    PaintText(dc, L"Yakla\u015fan etkinlikler", {364, 72, 737, 100}, FontRole::Bold14, colours::kAccentText,
             TextLayout::Left);
    PaintCalendar(dc, in);
    return;
  }

  if (in.banner) {
    win::UniqueMemoryDc source(::CreateCompatibleDC(dc));
    if (source) {
      win::SelectScope select(source.Get(), in.banner);
      ::BitBlt(dc, 351, 61, 399, 252, source.Get(), 0, 0, SRCCOPY);
    }
  } else {
    PaintText(dc, L"VEGA sunucusunun betas\u0131 \u00e7ok yak\u0131nda a\u00e7\u0131lacak", {364, 97, 737, 172},
             FontRole::Bold14, colours::kAccentText, TextLayout::Banner);
  }
  PaintBoard(dc, in, boardOffset);
}

// A clip region is in device pixels; under a scaling world transform the
// canvas's region is carried through the same transform.
win::UniqueRegion ToDevice(HDC dc, win::UniqueRegion region) {
  XFORM transform{};
  if (!region || ::GetGraphicsMode(dc) != GM_ADVANCED || !::GetWorldTransform(dc, &transform)) return region;
  if (transform.eM11 == 1 && transform.eM22 == 1 && transform.eM12 == 0 && transform.eM21 == 0) return region;
  const DWORD size = ::GetRegionData(region.Get(), 0, nullptr);
  std::vector<char> data(size);
  if (size == 0 || ::GetRegionData(region.Get(), size, reinterpret_cast<RGNDATA*>(data.data())) != size) {
    return region;
  }
  win::UniqueRegion scaled(::ExtCreateRegion(&transform, size, reinterpret_cast<const RGNDATA*>(data.data())));
  return scaled ? std::move(scaled) : std::move(region);
}

void PaintProgressFill(HDC dc, int percent) {
  const int right = kFillLeft + ProgressFillWidth(percent);
  win::UniqueRegion region =
      ToDevice(dc, win::UniqueRegion(::CreateRoundRectRgn(kFillLeft, kFillTop, right + 1, kFillBottom, 6, 6)));
  if (!region) return;
  ::SelectClipRgn(dc, region.Get());
  auto vertex = [](int x, int y, Rgb c) {
    return TRIVERTEX{x, y, static_cast<COLOR16>(c.r << 8), static_cast<COLOR16>(c.g << 8),
                     static_cast<COLOR16>(c.b << 8), 0xFF00};
  };
  TRIVERTEX vertices[2] = {vertex(kFillLeft, kFillTop, colours::kFillTop),
                           vertex(right, kFillBottom, colours::kFillBottom)};
  GRADIENT_RECT mesh{0, 1};
  ::GradientFill(dc, vertices, 2, &mesh, 1, GRADIENT_FILL_RECT_V);
  ::SelectClipRgn(dc, nullptr);
}

void PaintVeil(HDC dc) {
  win::UniqueMemoryDc source(::CreateCompatibleDC(dc));
  win::UniqueBitmap pixel(::CreateCompatibleBitmap(dc, 1, 1));
  if (!source || !pixel) return;
  win::SelectScope select(source.Get(), pixel.Get());
  ::SetPixel(source.Get(), 0, 0, ToColorRef(colours::kVeil));
  const BLENDFUNCTION blend{AC_SRC_OVER, 0, colours::kVeilAlpha, 0};
  ::AlphaBlend(dc, kVeilRect.left, kVeilRect.top, kVeilRect.Width(), kVeilRect.Height(), source.Get(), 0, 0, 1, 1,
               blend);
}

}  // namespace

std::wstring ShownStatusLine(const FrameInputs& in) {
  const std::wstring status = in.sessionExists ? win::DecodeStatusText(in.status) : std::wstring();
  return ChooseStatusLine(in.guardRunning, status, in.ready);
}

void PaintFrame(HDC dc, const FrameInputs& in, std::size_t& boardOffset) {
  const int percent = DisplayPercent(in.progressVisible, in.progress, in.connected);
  const std::wstring line = ShownStatusLine(in);

  PaintPanel(dc, in, boardOffset);

  const CanvasRect minimise = ElementRect(ElementId::Minimise);
  Fill(dc, minimise, colours::kMinimiseFace);
  PaintText(dc, L"\u2212", minimise, FontRole::Bold14, colours::kAccentText, TextLayout::Centred);

  // The countdown takes the right end of the line; the status text keeps the
  // rest and is painted last of the two, right before the percentage.
  CanvasRect statusRect = kStatusRect;
  if (in.retrySeconds > 0) {
    const std::wstring countdown = RetryCountdownText(in.retrySeconds);
    const int width = TextWidth(dc, countdown, FontRole::Bold14);
    PaintText(dc, countdown, {kStatusRect.right - width, kStatusRect.top, kStatusRect.right, kStatusRect.bottom},
              FontRole::Bold14, colours::kAccentText, TextLayout::Right);
    statusRect.right = std::max(statusRect.left, kStatusRect.right - width - kCountdownGap);
  }
  const bool cut = TextWidth(dc, line, FontRole::Bold14) > statusRect.Width();
  PaintText(dc, line, statusRect, FontRole::Bold14, colours::kMainText, TextLayout::Left);
  PaintText(dc, std::to_wstring(percent) + L"%", kPercentRect, FontRole::Bold14, colours::kAccentText,
           TextLayout::Right);

  Fill(dc, kTrackOuterRect, colours::kTrackOuter);
  Fill(dc, kTrackInnerRect, colours::kTrackInner);
  if (percent > 0) PaintProgressFill(dc, percent);

  const bool startUsable = in.sessionExists && in.ready && in.launchIdle;
  if (!startUsable) PaintVeil(dc);

  // Last, so that it lies over everything else.
  if (cut && in.statusTipOpen) PaintStatusTip(dc, line);
}

namespace {

// What the last painted frame showed: the timers compare a fresh frame's
// inputs with it and repaint only on a difference.
struct PaintedFrame {
  bool valid = false;
  FrameInputs inputs;
  std::size_t boardOffset = 0;
};

PaintedFrame& LastPainted() {
  static PaintedFrame painted;
  return painted;
}

[[nodiscard]] bool SameAnnouncements(const std::vector<launcher_board::Announcement>& a,
                       const std::vector<launcher_board::Announcement>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
    return x.id == y.id && x.date == y.date && x.title == y.title;
  });
}

[[nodiscard]] bool SameMinute(const std::optional<SYSTEMTIME>& a, const std::optional<SYSTEMTIME>& b) {
  if (a.has_value() != b.has_value()) return false;
  return !a || (a->wDayOfWeek == b->wDayOfWeek && a->wHour == b->wHour && a->wMinute == b->wMinute);
}

[[nodiscard]] bool FrameDiffers(const PaintedFrame& painted, const FrameInputs& now, std::size_t boardOffset) {
  if (!painted.valid) return true;
  const FrameInputs& was = painted.inputs;
  return was.sessionExists != now.sessionExists || was.connected != now.connected || was.ready != now.ready ||
         was.progressVisible != now.progressVisible || was.progress != now.progress || was.status != now.status ||
         was.retrySeconds != now.retrySeconds ||
         was.guardRunning != now.guardRunning || was.launchIdle != now.launchIdle || was.hovered != now.hovered ||
         was.statusTipOpen != now.statusTipOpen ||
         was.calendarOpen != now.calendarOpen || was.boardLoaded != now.boardLoaded ||
         was.boardFetchFinished != now.boardFetchFinished || was.banner != now.banner ||
         painted.boardOffset != boardOffset || !SameMinute(was.turkeyTime, now.turkeyTime) ||
         !SameAnnouncements(was.announcements, now.announcements);
}

void Remember(const FrameInputs& in, std::size_t boardOffset) {
  PaintedFrame& painted = LastPainted();
  painted.valid = true;
  painted.inputs = in;
  painted.boardOffset = boardOffset;
}

}  // namespace

void InvalidateIfChanged(HWND window, const FrameInputs& now, std::size_t boardOffset) {
  if (!::IsWindowVisible(window) || ::IsIconic(window)) return;
  if (FrameDiffers(LastPainted(), now, boardOffset)) ::InvalidateRect(window, nullptr, FALSE);
}

void PaintWindow(HWND window, const FrameInputs& in, std::size_t& boardOffset) {
  win::PaintScope paint(window);
  const HDC windowDc = paint.Dc();
  if (!windowDc) return;
  RECT client{};
  ::GetClientRect(window, &client);
  const int width = std::max<int>(client.right - client.left, 1);
  const int height = std::max<int>(client.bottom - client.top, 1);
  // Larger than the canvas only on a high-DPI monitor: then the frame is
  // drawn at the window's size, the artwork stretched and everything else
  // through the world transform.
  const bool enlarged = width > kCanvasWidth || height > kCanvasHeight;
  const int backWidth = enlarged ? width : kCanvasWidth;
  const int backHeight = enlarged ? height : kCanvasHeight;

  win::UniqueMemoryDc back(::CreateCompatibleDC(windowDc));
  win::UniqueMemoryDc artwork(::CreateCompatibleDC(windowDc));
  win::UniqueBitmap canvas(::CreateCompatibleBitmap(windowDc, backWidth, backHeight));
  if (!back || !artwork || !canvas) return;
  {
    win::SelectScope selectCanvas(back.Get(), canvas.Get());
    win::SelectScope selectArtwork(artwork.Get(), Res().mainArtwork.Get());
    if (enlarged) {
      ::SetStretchBltMode(back.Get(), HALFTONE);
      ::SetBrushOrgEx(back.Get(), 0, 0, nullptr);
      ::StretchBlt(back.Get(), 0, 0, backWidth, backHeight, artwork.Get(), 0, 0, kCanvasWidth, kCanvasHeight,
                   SRCCOPY);
      ::SetGraphicsMode(back.Get(), GM_ADVANCED);
      const XFORM scale{static_cast<FLOAT>(backWidth) / kCanvasWidth, 0, 0,
                        static_cast<FLOAT>(backHeight) / kCanvasHeight, 0, 0};
      ::SetWorldTransform(back.Get(), &scale);
      PaintFrame(back.Get(), in, boardOffset);
      // The source rectangle of a blit goes through the source's transform too.
      ::ModifyWorldTransform(back.Get(), nullptr, MWT_IDENTITY);
      ::BitBlt(windowDc, 0, 0, width, height, back.Get(), 0, 0, SRCCOPY);
    } else {
      ::BitBlt(back.Get(), 0, 0, kCanvasWidth, kCanvasHeight, artwork.Get(), 0, 0, SRCCOPY);
      PaintFrame(back.Get(), in, boardOffset);
      ::SetStretchBltMode(windowDc, HALFTONE);
      ::SetBrushOrgEx(windowDc, 0, 0, nullptr);
      ::StretchBlt(windowDc, 0, 0, width, height, back.Get(), 0, 0, kCanvasWidth, kCanvasHeight, SRCCOPY);
    }
  }
  Remember(in, boardOffset);
}

}  // namespace ui
