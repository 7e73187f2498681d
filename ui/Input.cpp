#include "Input.h"

#include <shellapi.h>
#include <mmsystem.h>
#include <windowsx.h>
#include <winhttp.h>

#include <algorithm>
#include <vector>

#include "Launcher/App.h"
#include "common/Processes.h"
#include "Launcher/Launcher.h"
#include "Launcher/Settings.h"
#include "Launcher/WindowMessages.h"
#include "board/Board.h"
#include "ui/BackgroundRepair.h"
#include "ui/Paint.h"
#include "ui/TextDecode.h"
#include "ui/UiState.h"

namespace ui {
namespace {

constexpr int kClickSoundId = 1703;
constexpr int kDragStripHeight = 54;
constexpr unsigned kClientLimit = 3;
constexpr char kClientLimitText[] = "Bu bilgisayarda en fazla 3 oyun istemcisi acabilirsiniz.";

Launcher* Session() { return app::Res().session; }

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

void OpenUrl(const std::wstring& url) {
  if (!url.empty()) ::ShellExecuteW(nullptr, L"open", url.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

void OpenOptions() {
  Launcher* session = Session();
  const std::string folder = session->ClientFolder();
  const std::string path = folder + "/Option.exe";
  const auto code = reinterpret_cast<INT_PTR>(
      ::ShellExecuteA(nullptr, "open", path.c_str(), nullptr, folder.c_str(), SW_RESTORE));
  if (code <= 32) ::MessageBoxA(nullptr, "Option.exe could not be started.", "ORVEX", MB_OK | MB_ICONINFORMATION);
}

void OnMouseMove(HWND window, LPARAM lParam) {
  UiState& state = Ui();
  const ElementId hit = HitTestMessage(window, lParam);
  static const HCURSOR hand = ::LoadCursorW(nullptr, MAKEINTRESOURCEW(32649));  // IDC_HAND
  ::SetCursor(hit != ElementId::None && IsElementEnabled(hit) ? hand : app::Res().normalCursor);
  if (hit != state.hovered) {
    state.hovered = hit;
    Invalidate(window);
  }
  TRACKMOUSEEVENT track{sizeof track, TME_LEAVE, window, 0};
  ::TrackMouseEvent(&track);
}

void OnLeftButtonDown(HWND window, LPARAM lParam) {
  UiState& state = Ui();
  const ElementId hit = HitTestMessage(window, lParam);
  state.pressed = hit;
  if (hit != ElementId::None) {
    ::SetCapture(window);
  } else if (ToCanvas(window, GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)).y < kDragStripHeight) {
    // Borderless window: the top strip moves it like a caption.
    ::SendMessageW(window, WM_NCLBUTTONDOWN, HTCAPTION, 0);
  }
  Invalidate(window);
}

void OnLeftButtonUp(HWND window, LPARAM lParam) {
  UiState& state = Ui();
  const ElementId pressed = std::exchange(state.pressed, ElementId::None);
  if (::GetCapture() == window) ::ReleaseCapture();
  const ElementId hit = HitTestMessage(window, lParam);
  if (hit != ElementId::None && hit == pressed) PerformElementAction(window, hit);
}

void OnMouseWheel(HWND window, WPARAM wParam, LPARAM lParam) {
  UiState& state = Ui();
  POINT screen{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
  ::ScreenToClient(window, &screen);
  const POINT p = ToCanvas(window, screen.x, screen.y);
  if (kPanelRect.Contains(p.x, p.y) && !state.calendarOpen) {
    const int delta = GET_WHEEL_DELTA_WPARAM(wParam);
    if (delta > 0 && state.boardOffset > 0) --state.boardOffset;
    if (delta < 0 && state.boardOffset + 2 < state.announcements.size()) ++state.boardOffset;
  }
  Invalidate(window);
}

}  // namespace

bool HandleUiMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
  result = 0;
  if (!app::Res().mainArtwork) return false;
  switch (message) {
    case WM_PAINT:
      PaintWindow(window);
      return true;
    case WM_ERASEBKGND:
      result = 1;
      return true;
    case WM_KEYDOWN:
      if (wParam == VK_RETURN) PerformElementAction(window, ElementId::Start);
      if (wParam == VK_F5) PerformElementAction(window, ElementId::Repair);
      if (wParam == VK_ESCAPE) PerformElementAction(window, ElementId::Close);
      return true;
    case WM_TIMER:
      if (wParam != kBoardTimerId) return false;
      PollAnnouncements();
      InvalidateIfChanged(window);
      return true;
    case WM_MOUSEMOVE:
      OnMouseMove(window, lParam);
      return true;
    case WM_MOUSELEAVE:
      Ui().hovered = ElementId::None;
      Invalidate(window);
      return true;
    case WM_LBUTTONDOWN:
      OnLeftButtonDown(window, lParam);
      return true;
    case WM_LBUTTONUP:
      OnLeftButtonUp(window, lParam);
      return true;
    case WM_CAPTURECHANGED:
      Ui().pressed = ElementId::None;
      return true;
    case WM_MOUSEWHEEL:
      OnMouseWheel(window, wParam, lParam);
      return true;
    case WM_SIZE:
      Invalidate(window);
      return true;
    default:
      return false;
  }
}

bool IsElementEnabled(ElementId id) {
  const UiState& state = Ui();
  const Launcher* session = Session();
  const bool idle = state.LaunchIdle();
  switch (id) {
    case ElementId::Start:
      return session && session->Ready() && idle;
    case ElementId::Repair:
      return session && session->Ready() && idle && !state.verificationPass.valid();
    case ElementId::Banner:
      return !state.calendarOpen;
    case ElementId::BoardRow1:
      return !state.calendarOpen && state.boardOffset < state.announcements.size();
    case ElementId::BoardRow2:
      return !state.calendarOpen && state.boardOffset + 1 < state.announcements.size();
    case ElementId::None:
      return false;
    default:
      return true;
  }
}

void PerformElementAction(HWND window, ElementId id) {
  if (!Session() || !IsElementEnabled(id)) return;
  // The player acted: a failure text on the status line has been seen.
  Session()->ReleaseFailureStatus();
  ::PlaySoundW(MAKEINTRESOURCEW(kClickSoundId), app::Res().instance, SND_RESOURCE | SND_ASYNC | SND_NODEFAULT);

  const UiElement* element = FindElement(id);
  if (element && element->linkPath) {
    OpenUrl(ComposeLinkUrl(element->linkPath));
    return;
  }
  UiState& state = Ui();
  switch (id) {
    case ElementId::Minimise:
      ::ShowWindow(window, SW_MINIMIZE);
      break;
    case ElementId::Close:
      ::PostMessageW(window, WM_CLOSE, 0, 0);
      break;
    case ElementId::Repair:
      state.lastPassClean = false;
      state.nextPassTime = 0;
      Session()->SetStatus("Checking files...");
      ServiceBackgroundRepair();
      break;
    case ElementId::Website: {
      const std::string& link = settings::WebsiteLink();
      if (!link.empty()) {
        ::ShellExecuteA(nullptr, "open", link.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
      } else {
        ::MessageBoxA(nullptr, "The website address is not configured.", "ORVEX", MB_OK | MB_ICONINFORMATION);
      }
      break;
    }
    case ElementId::Start:
      RequestGameStart();
      break;
    case ElementId::Options:
      OpenOptions();
      break;
    case ElementId::Calendar:
      state.calendarOpen = !state.calendarOpen;
      break;
    case ElementId::BoardRow1:
    case ElementId::BoardRow2: {
      const std::size_t index = state.boardOffset + (id == ElementId::BoardRow2 ? 1 : 0);
      if (index < state.announcements.size()) {
        OpenUrl(ComposeLinkUrl(L"/duyurular.html#haber-" + std::to_wstring(state.announcements[index].id)));
      }
      break;
    }
    default:
      break;
  }
  Invalidate(window);
}

std::wstring ReadLinkOrigin() {
  std::vector<wchar_t> buffer(512, L'\0');
  const DWORD length = ::GetPrivateProfileStringW(L"ORVEX_LINKS", L"AnnouncementsOrigin", L"", buffer.data(),
                                                  static_cast<DWORD>(buffer.size()), L".\\Server.ini");
  if (length > 0) return std::wstring(buffer.data(), length);
  std::wstring origin = WidenStrictUtf8(settings::WebsiteLink());
  std::replace_if(origin.begin(), origin.end(), [](wchar_t c) { return c < 32; }, L' ');
  return origin;
}

std::optional<LinkOrigin> CrackLinkOrigin(const std::wstring& origin) {
  if (origin.empty()) return std::nullopt;
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwSchemeLength = static_cast<DWORD>(-1);
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUserNameLength = static_cast<DWORD>(-1);
  parts.dwPasswordLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  if (!::WinHttpCrackUrl(origin.c_str(), static_cast<DWORD>(origin.size()), 0, &parts)) return std::nullopt;
  if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) return std::nullopt;
  if (parts.dwHostNameLength == 0 || parts.dwUserNameLength != 0 || parts.dwPasswordLength != 0) {
    return std::nullopt;
  }
  return LinkOrigin{std::wstring(parts.lpszHostName, parts.dwHostNameLength), parts.nPort,
                    parts.nScheme == INTERNET_SCHEME_HTTPS};
}

std::wstring ComposeLinkUrl(const std::wstring& path) {
  const std::wstring origin = ReadLinkOrigin();
  if (!CrackLinkOrigin(origin)) return {};
  const std::size_t authority = origin.find(L"://");
  if (authority == std::wstring::npos) return {};
  const std::size_t cut = origin.find_first_of(L"/?#", authority + 3);
  return origin.substr(0, cut) + path;
}

unsigned CountRunningClients() {
  // A process list that cannot be taken counts as the limit reached.
  return win::CountProcessesNamed(L"Vantrell.exe").value_or(kClientLimit);
}

void RequestGameStart() {
  UiState& state = Ui();
  Launcher* session = Session();
  if (!session || !session->Ready() || !state.LaunchIdle()) return;
  if (CountRunningClients() >= kClientLimit) {
    session->SetFailureStatus(kClientLimitText);
    return;
  }
  state.guardRepairRequested = false;
  state.startPending = true;
  if (!state.lastPassClean) state.nextPassTime = 0;
  session->SetStatus("Preparing game...");
  ServiceBackgroundRepair();
}

void StartGuard() {
  UiState& state = Ui();
  Launcher* session = Session();
  HWND window = app::Res().mainWindow;
  if (!session) return;
  session->SetStatus("Starting ORVEX GUARD...");
  if (window) {
    Invalidate(window);
    ::UpdateWindow(window);
  }
  const std::string folder = session->ClientFolder();
  const std::string path = folder + "\\ORVEXGuard.exe";
  std::string commandLine = "\"" + path + "\"";
  if (!state.guardRepairRequested) commandLine += " --launcher-repair";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  // CreateProcessA may write into the command line: it gets a mutable copy.
  if (::CreateProcessA(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(),
                       &startup, &process)) {
    win::UniqueHandle thread(process.hThread);
    state.guardProcess = process.hProcess;
    if (window) ::ShowWindow(window, SW_HIDE);
    return;
  }
  ::MessageBoxA(nullptr, "ORVEX GUARD could not be started. Run launcher repair.", "ORVEX", MB_OK | MB_ICONERROR);
}

void StartGameClient(HWND window) {
  Launcher* session = Session();
  if (!session || !session->Ready()) {
    if (session) session->SetFailureStatus("Connection lost. Reconnect before starting the game.");
    ::ShowWindow(window, SW_SHOW);
    return;
  }
  if (CountRunningClients() >= kClientLimit) {
    session->SetFailureStatus(kClientLimitText);
    ::ShowWindow(window, SW_SHOW);
    return;
  }
  session->SetStatus("Starting game...");
  const std::string folder = session->ClientFolder();
  const std::string path = folder + "\\Vantrell.exe";
  const std::string parameters = std::to_string(::GetCurrentProcessId());
  SHELLEXECUTEINFOA execute{};
  execute.cbSize = sizeof execute;
  execute.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
  execute.hwnd = window;
  execute.lpVerb = "open";
  execute.lpFile = path.c_str();
  execute.lpParameters = parameters.c_str();
  execute.lpDirectory = folder.c_str();
  execute.nShow = SW_RESTORE;
  if (::ShellExecuteExA(&execute) && execute.hProcess) {
    Ui().gameProcess = execute.hProcess;
    Ui().gameDeadline = ::GetTickCount64() + 20000;
    return;
  }
  ::ShowWindow(window, SW_SHOW);
  ::MessageBoxA(nullptr, "ORVEX client could not be started.", "ORVEX", MB_OK | MB_ICONERROR);
}

void RunLaunchWatch(HWND window) {
  UiState& state = Ui();
  Launcher* session = Session();
  if (state.guardProcess && ::WaitForSingleObject(state.guardProcess, 0) == WAIT_OBJECT_0) {
    DWORD code = 1;
    if (!::GetExitCodeProcess(state.guardProcess, &code)) code = 1;
    win::UniqueHandle(std::exchange(state.guardProcess, nullptr));
    if (code == 0) {
      StartGameClient(window);
    } else {
      state.lastPassClean = false;
      state.nextPassTime = 0;
      if (code == 2 && !state.guardRepairRequested) {
        state.guardRepairRequested = true;
        state.startPending = true;
        if (session) session->SetStatus("Repairing game files in the background...");
      } else if (session) {
        session->SetFailureStatus("ORVEX GUARD kontrolu tamamlanamadi. Lutfen hata mesajini kontrol edin.");
      }
      ::ShowWindow(window, SW_SHOW);
    }
  }

  if (state.gameProcess) {
    const bool exited = ::WaitForSingleObject(state.gameProcess, 0) == WAIT_OBJECT_0;
    const bool idle = !exited && ::WaitForInputIdle(state.gameProcess, 0) == 0;
    if (exited || idle || ::GetTickCount64() >= state.gameDeadline) {
      const bool stillRunning = ::WaitForSingleObject(state.gameProcess, 0) != WAIT_OBJECT_0;
      win::UniqueHandle(std::exchange(state.gameProcess, nullptr));
      if (stillRunning) {
        state.stopFlag.exchange(true);
        ::PostMessageW(window, WM_CLOSE, 0, 0);
      } else {
        if (session) session->SetFailureStatus("Game closed before startup completed.");
        ::ShowWindow(window, SW_SHOW);
      }
    }
  }
}

}  // namespace ui
