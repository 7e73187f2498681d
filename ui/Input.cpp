#include "ui/Input.h"

#include <windowsx.h>

#include <algorithm>
#include <utility>

#include "ui/Resources.h"

namespace ui {
namespace {

constexpr int kDragStripHeight = 54;

void Invalidate(HWND window) { ::InvalidateRect(window, nullptr, FALSE); }

// Client point to canvas point.
POINT ToCanvas(HWND window, int x, int y) {
  RECT client{};
  ::GetClientRect(window, &client);
  const int width = std::max<int>(client.right - client.left, 1);
  const int height = std::max<int>(client.bottom - client.top, 1);
  return POINT{::MulDiv(x, kCanvasWidth, width), ::MulDiv(y, kCanvasHeight, height)};
}

ElementId HitTestMessage(HWND window, LPARAM lParam) {
  const POINT p = ToCanvas(window, GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam));
  return HitTest(p.x, p.y);
}

void OnMouseMove(HWND window, LPARAM lParam, ViewState& view, const ActionSink& actions) {
  const POINT p = ToCanvas(window, GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam));
  const ElementId hit = HitTest(p.x, p.y);
  view.statusHovered = kStatusHoverRect.Contains(p.x, p.y);
  view.statusPointerMoved = view.statusPointerMoved || view.statusHovered;
  static const HCURSOR hand = ::LoadCursorW(nullptr, MAKEINTRESOURCEW(32649));  // IDC_HAND
  ::SetCursor(hit != ElementId::None && actions.IsEnabled(hit) ? hand : Res().normalCursor);
  if (hit != view.hovered) {
    view.hovered = hit;
    Invalidate(window);
  }
  TRACKMOUSEEVENT track{sizeof track, TME_LEAVE, window, 0};
  ::TrackMouseEvent(&track);
}

void OnLeftButtonDown(HWND window, LPARAM lParam, ViewState& view) {
  const ElementId hit = HitTestMessage(window, lParam);
  view.pressed = hit;
  if (hit != ElementId::None) {
    ::SetCapture(window);
  } else if (ToCanvas(window, GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)).y < kDragStripHeight) {
    // Borderless window: the top strip moves it like a caption.
    ::SendMessageW(window, WM_NCLBUTTONDOWN, HTCAPTION, 0);
  }
  Invalidate(window);
}

void OnLeftButtonUp(HWND window, LPARAM lParam, ViewState& view, ActionSink& actions) {
  const ElementId pressed = std::exchange(view.pressed, ElementId::None);
  if (::GetCapture() == window) ::ReleaseCapture();
  const ElementId hit = HitTestMessage(window, lParam);
  if (hit != ElementId::None && hit == pressed) actions.Perform(hit);
}

void OnMouseWheel(HWND window, WPARAM wParam, LPARAM lParam, ViewState& view, const ActionSink& actions) {
  POINT screen{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
  ::ScreenToClient(window, &screen);
  const POINT p = ToCanvas(window, screen.x, screen.y);
  if (kPanelRect.Contains(p.x, p.y) && !view.calendarOpen) {
    const int delta = GET_WHEEL_DELTA_WPARAM(wParam);
    if (delta > 0 && view.boardOffset > 0) --view.boardOffset;
    if (delta < 0 && view.boardOffset + 2 < actions.AnnouncementCount()) ++view.boardOffset;
  }
  Invalidate(window);
}

}  // namespace

bool HandleInputMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam, ViewState& view,
                        ActionSink& actions, LRESULT& result) {
  result = 0;
  switch (message) {
    case WM_ERASEBKGND:
      result = 1;
      return true;
    case WM_KEYDOWN:
      if (wParam == VK_RETURN) actions.Perform(ElementId::Start);
      if (wParam == VK_F5) actions.Perform(ElementId::Repair);
      if (wParam == VK_ESCAPE) actions.Perform(ElementId::Close);
      return true;
    case WM_MOUSEMOVE:
      OnMouseMove(window, lParam, view, actions);
      return true;
    case WM_MOUSELEAVE:
      view.hovered = ElementId::None;
      view.statusHovered = false;
      Invalidate(window);
      return true;
    case WM_LBUTTONDOWN:
      OnLeftButtonDown(window, lParam, view);
      return true;
    case WM_LBUTTONUP:
      OnLeftButtonUp(window, lParam, view, actions);
      return true;
    case WM_CAPTURECHANGED:
      view.pressed = ElementId::None;
      return true;
    case WM_MOUSEWHEEL:
      OnMouseWheel(window, wParam, lParam, view, actions);
      return true;
    case WM_SIZE:
      Invalidate(window);
      return true;
    default:
      return false;
  }
}

}  // namespace ui
