#include "Launcher/StartupRepairWindow.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <mutex>

#include "Launcher/Dpi.h"
#include "common/WinHandles.h"
#include "ui/Layout.h"
#include "game/RepairSchedule.h"
#include "common/Utf8.h"
#include "update/disk/Cancel.h"
#include "update/StartupCheck.h"

namespace {

constexpr int kIconId = 101;
// The logical canvas of the window's client area, scaled like the main window's.
constexpr int kCanvasWidth = 440;
constexpr int kCanvasHeight = 110;
constexpr UINT_PTR kRefreshTimerId = 1;
constexpr UINT kRefreshPeriodMs = 100;  // the main window's repaint period
constexpr UINT kRepairEndedMessage = WM_APP + 1;
// How long after the close the repair has to stop; what it still does then
// ends with the process, which is what a crash at that point would leave and
// what the journal and the next repair already handle.
constexpr DWORD kStopGraceMs = 1000;

// Shared by the worker (the repair's callbacks) and the window thread.
struct RepairShared {
  std::filesystem::path clientFolder;
  unsigned version = 0;
  HWND window = nullptr;
  std::mutex lock;
  std::string status;  // under lock
  std::atomic<std::int32_t> percent{0};
  std::atomic<bool> progressVisible{false};
  bool sound = false;     // written by the worker before it posts kRepairEndedMessage
  std::string errorText;  // likewise
};

// What the window painted last; it repaints only when this changes.
struct Shown {
  std::string status;
  std::int32_t percent = -1;
  bool visible = false;
  bool operator==(const Shown&) const = default;
};

struct WindowState {
  RepairShared* shared = nullptr;
  Shown painted;
  win::UniqueFont font;
  bool ended = false;   // the repair reported its end, or the window was closed
  bool closed = false;  // the player closed the window
};

WindowState& State() {
  static WindowState state;
  return state;
}

Shown ReadShown(RepairShared& shared) {
  Shown now;
  {
    std::lock_guard guard(shared.lock);
    now.status = shared.status;
  }
  now.visible = shared.progressVisible.load();
  now.percent = now.visible ? std::clamp(shared.percent.load(), 0, 100) : 0;
  return now;
}

DWORD WINAPI RepairWorker(void* parameter) {
  auto& shared = *static_cast<RepairShared*>(parameter);
  const orvex_update::StatusCallback status = [&shared](const std::string& text) {
    std::lock_guard guard(shared.lock);
    shared.status = text;
  };
  const orvex_update::ProgressCallback progress = [&shared](std::uint64_t done, std::uint64_t total) {
    const game::PassProgress shown = game::ProgressFromBytes(done, total);
    shared.percent.store(shown.percent);
    shared.progressVisible.store(shown.visible);
  };
  std::string errorText;
  shared.sound = orvex_update::StartupCheckAndRepair(shared.clientFolder, shared.version, errorText, status,
                                                     progress, {});
  shared.errorText = std::move(errorText);
  ::PostMessageW(shared.window, kRepairEndedMessage, 0, 0);
  return 0;
}

COLORREF Colour(ui::Rgb c) { return RGB(c.r, c.g, c.b); }

void Fill(HDC dc, int left, int top, int right, int bottom, ui::Rgb colour) {
  win::UniqueBrush brush(::CreateSolidBrush(Colour(colour)));
  RECT r{left, top, right, bottom};
  if (brush) ::FillRect(dc, &r, brush.Get());
}

void Text(HDC dc, const std::wstring& text, RECT r, ui::Rgb colour, UINT align) {
  ::SetTextColor(dc, Colour(colour));
  ::DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &r,
              DT_NOPREFIX | DT_SINGLELINE | DT_VCENTER | DT_END_ELLIPSIS | align);
}

// One frame on the logical canvas: the status line with its percentage over
// the launcher's progress track.
void PaintCanvas(HDC dc, const Shown& shown, HFONT font) {
  using namespace ui::colours;
  Fill(dc, 0, 0, kCanvasWidth, kCanvasHeight, kPanelFrame);
  Fill(dc, 1, 1, kCanvasWidth - 1, kCanvasHeight - 1, kPanelBackground);
  win::SelectScope selectFont(dc, font);
  ::SetBkMode(dc, TRANSPARENT);
  Text(dc, win::DecodeStatusText(shown.status), RECT{20, 28, 372, 50}, kMainText, DT_LEFT);
  Text(dc, std::to_wstring(shown.percent) + L"%", RECT{372, 28, 420, 50}, kAccentText, DT_RIGHT);
  Fill(dc, 20, 56, 420, 80, kTrackOuter);
  Fill(dc, 22, 58, 418, 78, kTrackInner);
  const int fill = 392 * shown.percent / 100;
  if (fill > 0) {
    TRIVERTEX vertices[2] = {
        {24, 61, static_cast<COLOR16>(kFillTop.r << 8), static_cast<COLOR16>(kFillTop.g << 8),
         static_cast<COLOR16>(kFillTop.b << 8), 0xFF00},
        {24 + fill, 75, static_cast<COLOR16>(kFillBottom.r << 8), static_cast<COLOR16>(kFillBottom.g << 8),
         static_cast<COLOR16>(kFillBottom.b << 8), 0xFF00}};
    GRADIENT_RECT mesh{0, 1};
    ::GradientFill(dc, vertices, 2, &mesh, 1, GRADIENT_FILL_RECT_V);
  }
}

void Paint(HWND window) {
  WindowState& state = State();
  win::PaintScope paint(window);
  if (!paint.Dc() || !state.shared) return;
  RECT client{};
  ::GetClientRect(window, &client);
  const int width = std::max<int>(client.right, 1);
  const int height = std::max<int>(client.bottom, 1);
  win::UniqueMemoryDc back(::CreateCompatibleDC(paint.Dc()));
  win::UniqueBitmap frame(::CreateCompatibleBitmap(paint.Dc(), width, height));
  if (!back || !frame) return;
  win::SelectScope select(back.Get(), frame.Get());
  // Drawn at the window's own resolution through a world transform, so that
  // text stays sharp on a high-DPI monitor.
  ::SetGraphicsMode(back.Get(), GM_ADVANCED);
  const XFORM scale{static_cast<FLOAT>(width) / kCanvasWidth, 0, 0, static_cast<FLOAT>(height) / kCanvasHeight, 0, 0};
  ::SetWorldTransform(back.Get(), &scale);
  state.painted = ReadShown(*state.shared);
  PaintCanvas(back.Get(), state.painted, state.font.Get());
  // The source rectangle of a blit goes through the source's transform too.
  ::ModifyWorldTransform(back.Get(), nullptr, MWT_IDENTITY);
  ::BitBlt(paint.Dc(), 0, 0, width, height, back.Get(), 0, 0, SRCCOPY);
}

// The window's outer rectangle for a client area of the canvas at this DPI,
// centred in the work area.
RECT Placement(const dpi::MonitorArea& area, unsigned dpiValue, DWORD style) {
  const startup::WindowPlacement client =
      startup::ComputeWindowPlacement(area.work, dpiValue, kCanvasWidth, kCanvasHeight);
  RECT outer{0, 0, client.width, client.height};
  ::AdjustWindowRectEx(&outer, style, FALSE, 0);
  const int w = outer.right - outer.left;
  const int h = outer.bottom - outer.top;
  const int x = area.work.left + (area.work.right - area.work.left - w) / 2;
  const int y = area.work.top + (area.work.bottom - area.work.top - h) / 2;
  return RECT{x, y, x + w, y + h};
}

LRESULT CALLBACK RepairWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  WindowState& state = State();
  switch (message) {
    case WM_PAINT:
      Paint(window);
      return 0;
    case WM_ERASEBKGND:
      return 1;
    case WM_TIMER:
      // Repaints at most every 100 ms and only when the repair reported
      // something new, however often its callbacks run.
      if (wParam == kRefreshTimerId && state.shared && !(ReadShown(*state.shared) == state.painted)) {
        ::InvalidateRect(window, nullptr, FALSE);
      }
      return 0;
    case WM_KEYDOWN:
      if (wParam == VK_ESCAPE) ::PostMessageW(window, WM_CLOSE, 0, 0);
      return 0;
    case WM_CLOSE:
      // The repair stops at its next check: downloads, hashing and retry
      // waits throw, and a batch that has not begun replacing files never
      // begins. The window goes at once; the process ends after a grace.
      // Without its title the closing window is not brought back by a
      // relaunch, which then waits for the single-instance name instead.
      state.closed = true;
      state.ended = true;
      orvex_update::RequestCancellation();
      ::SetWindowTextA(window, "");
      ::ShowWindow(window, SW_HIDE);
      return 0;
    case kRepairEndedMessage:
      // Handled here rather than in the loop: a modal move or size loop
      // dispatches posted messages itself.
      state.ended = true;
      return 0;
    case WM_DPICHANGED: {
      const auto* suggested = reinterpret_cast<const RECT*>(lParam);
      ::SetWindowPos(window, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                     suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
      return 0;
    }
    default:
      return ::DefWindowProcA(window, message, wParam, lParam);
  }
}

}  // namespace

StartupRepairOutcome RunStartupRepairWithWindow(HINSTANCE instance, const std::filesystem::path& clientFolder,
                                                unsigned version, std::string& errorText) {
  WNDCLASSA windowClass{};
  windowClass.lpfnWndProc = RepairWindowProc;
  windowClass.hInstance = instance;
  windowClass.hIcon = ::LoadIconA(instance, MAKEINTRESOURCEA(kIconId));
  windowClass.hCursor = ::LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
  windowClass.lpszClassName = kStartupRepairClassName;
  const bool registered = ::RegisterClassA(&windowClass) != 0;

  const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
  const dpi::MonitorArea area = dpi::AreaUnderCursor();
  const RECT outer = Placement(area, dpi::MonitorDpi(area.monitor), style);
  HWND window = registered ? ::CreateWindowExA(0, kStartupRepairClassName, kStartupRepairTitle, style, outer.left,
                                               outer.top, outer.right - outer.left, outer.bottom - outer.top,
                                               nullptr, nullptr, instance, nullptr)
                           : nullptr;
  if (!window) {
    // Without a window the repair still runs, silently as before.
    if (registered) ::UnregisterClassA(kStartupRepairClassName, instance);
    const bool sound = orvex_update::StartupCheckAndRepair(clientFolder, version, errorText, {}, {}, {});
    return sound ? StartupRepairOutcome::Sound : StartupRepairOutcome::Failed;
  }
  // The window may have been placed for a DPI that its monitor does not have
  // (the cursor's monitor answered for the system's); place it for its own.
  const RECT fitted = Placement(area, dpi::WindowDpi(window), style);
  ::SetWindowPos(window, nullptr, fitted.left, fitted.top, fitted.right - fitted.left, fitted.bottom - fitted.top,
                 SWP_NOZORDER | SWP_NOACTIVATE);

  WindowState& state = State();
  // Never freed: on a close the worker may outlive this function.
  auto* shared = new RepairShared;
  shared->clientFolder = clientFolder;
  shared->version = version;
  shared->window = window;
  state.shared = shared;
  state.font.Reset(::CreateFontW(-14, 0, 0, 0, 700, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                                 CLIP_DEFAULT_PRECIS, ANTIALIASED_QUALITY, DEFAULT_PITCH, L"Segoe UI"));

  win::UniqueHandle worker(::CreateThread(nullptr, 0, RepairWorker, shared, 0, nullptr));
  if (!worker) {
    ::DestroyWindow(window);
    ::UnregisterClassA(kStartupRepairClassName, instance);
    const bool sound = orvex_update::StartupCheckAndRepair(clientFolder, version, errorText, {}, {}, {});
    return sound ? StartupRepairOutcome::Sound : StartupRepairOutcome::Failed;
  }
  ::SetTimer(window, kRefreshTimerId, kRefreshPeriodMs, nullptr);
  ::ShowWindow(window, SW_SHOWNORMAL);
  ::UpdateWindow(window);

  MSG message{};
  while (!state.ended && ::GetMessageA(&message, nullptr, 0, 0) > 0) {
    ::TranslateMessage(&message);
    ::DispatchMessageA(&message);
  }

  const bool closed = state.closed;
  ::WaitForSingleObject(worker.Get(), closed ? kStopGraceMs : INFINITE);
  ::KillTimer(window, kRefreshTimerId);
  ::DestroyWindow(window);
  if (closed) return StartupRepairOutcome::Closed;
  state.shared = nullptr;
  state.font.Reset();
  ::UnregisterClassA(kStartupRepairClassName, instance);
  errorText = shared->errorText;
  const bool sound = shared->sound;
  delete shared;
  return sound ? StartupRepairOutcome::Sound : StartupRepairOutcome::Failed;
}
