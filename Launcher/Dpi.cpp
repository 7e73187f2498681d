#include "Launcher/Dpi.h"

#include "common/WinHandles.h"

namespace dpi {
namespace {

// Looked up at run time: the per-monitor functions exist only on Windows 8.1
// (shcore) and Windows 10 (user32) and later; older systems and Wine builds
// without them fall back to the system DPI.
template <typename Function>
Function Lookup(const wchar_t* module, const char* name) {
  HMODULE handle = ::GetModuleHandleW(module);
  if (!handle) handle = ::LoadLibraryW(module);  // kept loaded for the process's life
  return handle ? reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(handle, name))) : nullptr;
}

unsigned SystemDpi() {
  const win::WindowDc screen(nullptr);
  if (!screen) return kDefaultDpi;
  const int value = ::GetDeviceCaps(screen.Get(), LOGPIXELSY);
  return value > 0 ? static_cast<unsigned>(value) : kDefaultDpi;
}

MonitorArea AreaOf(HMONITOR monitor) {
  MonitorArea area;
  area.monitor = monitor;
  MONITORINFO info{};
  info.cbSize = sizeof info;
  if (monitor && ::GetMonitorInfoW(monitor, &info)) {
    area.work = {info.rcWork.left, info.rcWork.top, info.rcWork.right, info.rcWork.bottom};
  } else {
    area.work = {0, 0, ::GetSystemMetrics(SM_CXSCREEN), ::GetSystemMetrics(SM_CYSCREEN)};
  }
  return area;
}

}  // namespace

void DeclareAwareness() {
  using SetContext = BOOL(WINAPI*)(DPI_AWARENESS_CONTEXT);
  if (auto set = Lookup<SetContext>(L"user32.dll", "SetProcessDpiAwarenessContext")) {
    if (set(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2)) return;
  }
  ::SetProcessDPIAware();
}

unsigned MonitorDpi(HMONITOR monitor) {
  // MDT_EFFECTIVE_DPI = 0.
  using GetForMonitor = HRESULT(WINAPI*)(HMONITOR, int, UINT*, UINT*);
  static const auto get = Lookup<GetForMonitor>(L"shcore.dll", "GetDpiForMonitor");
  UINT x = 0, y = 0;
  if (monitor && get && SUCCEEDED(get(monitor, 0, &x, &y)) && y > 0) return y;
  return SystemDpi();
}

unsigned WindowDpi(HWND window) {
  using GetForWindow = UINT(WINAPI*)(HWND);
  static const auto get = Lookup<GetForWindow>(L"user32.dll", "GetDpiForWindow");
  if (get) {
    if (const UINT value = get(window)) return value;
  }
  return MonitorDpi(::MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST));
}

MonitorArea AreaUnderCursor() {
  POINT cursor{};
  ::GetCursorPos(&cursor);
  return AreaOf(::MonitorFromPoint(cursor, MONITOR_DEFAULTTOPRIMARY));
}

MonitorArea AreaOfRect(const RECT& rect) { return AreaOf(::MonitorFromRect(&rect, MONITOR_DEFAULTTONEAREST)); }

}  // namespace dpi
