#include "Launcher/App.h"

#include <utility>

#include "session/Launcher.h"
#include "ui/Resources.h"
#include "ui/TurkeyTime.h"

namespace app {

AppState& State() {
  static AppState state;
  return state;
}

ui::FrameInputs GatherFrameInputs(const AppState& app) {
  ui::FrameInputs in;
  const Launcher* session = app.session;
  in.sessionExists = session != nullptr;
  if (session) {
    in.connected = session->IsConnected();
    in.progressVisible = session->ProgressVisible();
    in.progress = session->ProgressPercent();
    in.ready = session->Ready();
    in.status = session->GetStatus();
    in.retrySeconds = ui::RetrySecondsLeft(session->RetryDeadline(), ::GetTickCount64());
  }
  in.guardRunning = static_cast<bool>(app.launch.guardProcess);
  in.launchIdle = app.launch.LaunchIdle();
  in.hovered = app.view.hovered;
  in.statusTipOpen = app.view.statusTip.open;
  in.calendarOpen = app.view.calendarOpen;
  in.announcements = app.board.announcements;
  in.boardLoaded = app.board.loaded;
  in.boardFetchFinished = app.board.fetchFinished;
  in.banner = ui::Res().secondaryArtwork.Get();
  if (in.calendarOpen) in.turkeyTime = ui::CurrentTurkeyTime();
  return in;
}

void RefreshStatusTip(AppState& app) {
  ui::ViewState& view = app.view;
  const bool moved = std::exchange(view.statusPointerMoved, false);
  const std::wstring line = view.statusHovered ? ui::ShownStatusLine(GatherFrameInputs(app)) : std::wstring();
  ui::UpdateStatusTip(view.statusTip, view.statusHovered, moved, line, ::GetTickCount64());
}

}  // namespace app
