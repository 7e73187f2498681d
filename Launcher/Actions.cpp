#include "Launcher/Actions.h"

#include <shellapi.h>
#include <mmsystem.h>

#include <string>

#include "Launcher/Settings.h"
#include "board/Links.h"
#include "game/BackgroundRepair.h"
#include "session/Launcher.h"
#include "ui/Resources.h"

namespace app {
namespace {

using ui::ElementId;

constexpr int kClickSoundId = 1703;

void OpenUrl(const std::wstring& url) {
  if (!url.empty()) ::ShellExecuteW(nullptr, L"open", url.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

void OpenSitePage(const std::wstring& path) {
  OpenUrl(launcher_board::ComposeLinkUrl(settings::WebsiteLink(), path));
}

void OpenOptions(const Launcher& session) {
  const std::string folder = session.ClientFolder();
  const std::string path = folder + "/Option.exe";
  const auto code = reinterpret_cast<INT_PTR>(
      ::ShellExecuteA(nullptr, "open", path.c_str(), nullptr, folder.c_str(), SW_RESTORE));
  if (code <= 32) ::MessageBoxA(nullptr, "Option.exe could not be started.", "ORVEX", MB_OK | MB_ICONINFORMATION);
}

void OpenWebsite() {
  const std::string& link = settings::WebsiteLink();
  if (!link.empty()) {
    ::ShellExecuteA(nullptr, "open", link.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
  } else {
    ::MessageBoxA(nullptr, "The website address is not configured.", "ORVEX", MB_OK | MB_ICONINFORMATION);
  }
}

// F5: a forced pass at once.
void RequestRepair(AppState& app, HWND window) {
  app.launch.lastPassClean = false;
  app.launch.nextPassTime = 0;
  app.session->SetStatus("Checking files...");
  game::ServiceBackgroundRepair(app.launch, app.session, window);
}

void OpenBoardRow(const AppState& app, ElementId id) {
  const std::size_t index = app.view.boardOffset + (id == ElementId::BoardRow2 ? 1 : 0);
  if (index < app.board.announcements.size()) {
    OpenSitePage(L"/duyurular.html#haber-" + std::to_wstring(app.board.announcements[index].id));
  }
}

}  // namespace

bool IsElementEnabled(const AppState& app, ElementId id) {
  const Launcher* session = app.session;
  const bool idle = app.launch.LaunchIdle();
  const std::size_t count = app.board.announcements.size();
  switch (id) {
    case ElementId::Start:
      return session && session->Ready() && idle;
    case ElementId::Repair:
      return session && session->Ready() && idle && !app.launch.verificationPass.valid();
    case ElementId::Banner:
      return !app.view.calendarOpen;
    case ElementId::BoardRow1:
      return !app.view.calendarOpen && app.view.boardOffset < count;
    case ElementId::BoardRow2:
      return !app.view.calendarOpen && app.view.boardOffset + 1 < count;
    case ElementId::None:
      return false;
    default:
      return true;
  }
}

void PerformElementAction(AppState& app, HWND window, ElementId id) {
  if (!app.session || !IsElementEnabled(app, id)) return;
  // The player acted: a failure text on the status line has been seen.
  app.session->ReleaseFailureStatus();
  ::PlaySoundW(MAKEINTRESOURCEW(kClickSoundId), ui::Res().instance, SND_RESOURCE | SND_ASYNC | SND_NODEFAULT);

  const ui::UiElement* element = ui::FindElement(id);
  if (element && element->linkPath) {
    OpenSitePage(element->linkPath);
    return;
  }
  switch (id) {
    case ElementId::Minimise:
      ::ShowWindow(window, SW_MINIMIZE);
      break;
    case ElementId::Close:
      ::PostMessageW(window, WM_CLOSE, 0, 0);
      break;
    case ElementId::Repair:
      RequestRepair(app, window);
      break;
    case ElementId::Website:
      OpenWebsite();
      break;
    case ElementId::Start:
      game::RequestGameStart(app.launch, app.session, window);
      break;
    case ElementId::Options:
      OpenOptions(*app.session);
      break;
    case ElementId::Calendar:
      app.view.calendarOpen = !app.view.calendarOpen;
      break;
    case ElementId::BoardRow1:
    case ElementId::BoardRow2:
      OpenBoardRow(app, id);
      break;
    default:
      break;
  }
  ::InvalidateRect(window, nullptr, FALSE);
}

}  // namespace app
