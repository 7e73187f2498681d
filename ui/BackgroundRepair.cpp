#include "ui/BackgroundRepair.h"

#include <windows.h>

#include <chrono>
#include <exception>
#include <future>
#include <stdexcept>
#include <vector>

#include "Launcher/App.h"
#include "Launcher/Launcher.h"
#include "ui/Input.h"
#include "ui/RepairSchedule.h"
#include "ui/UiState.h"
#include "update/Cancel.h"
#include "update/Paths.h"
#include "update/StartupCheck.h"

namespace ui {
namespace {

constexpr char kCancelledText[] = "Repair cancelled.";
constexpr char kClientLimitText[] = "Bu bilgisayarda en fazla 3 oyun istemcisi acabilirsiniz.";
constexpr char kCloseGamesText[] = "Repair downloaded. Close open games to finish repairing.";
constexpr unsigned kClientLimit = 3;

// The managed files as the last clean pass left them, and the watch that
// lists them (it keeps the list while the manifests stay as they are, so an
// unchanged pass costs one attribute query per file). Written and read by the
// worker task only; passes never overlap, because a new one starts only after
// the previous result was collected.
struct CleanState {
  orvex_update::ManagedFileWatch watch;
  std::vector<orvex_update::ManagedFileState> files;  // empty: no clean pass to compare with
};

CleanState& LastClean() {
  static CleanState clean;
  return clean;
}

void ThrowIfStopping() {
  if (Ui().stopFlag.load()) throw std::runtime_error(kCancelledText);
}

void WaitUntilNoClientsRun(Launcher* session) {
  bool told = false;
  for (;;) {
    const unsigned running = CountRunningClients();
    ThrowIfStopping();
    if (running == 0) return;
    if (!told && session) session->SetStatus(kCloseGamesText);
    told = true;
    // Wakes at once when the launcher closes.
    orvex_update::CancellableWait(250);
  }
}

// A pass cut short by a closing launcher ends as cancelled, whichever part of
// the engine noticed first.
std::string EndedPassText(const std::string& errorText) {
  return Ui().stopFlag.load() ? std::string(kCancelledText) : FailedPassText(errorText);
}

}  // namespace

std::string RunVerificationPass(VerificationRequest request) {
  try {
    Launcher* session = app::Res().session;
    CleanState& clean = LastClean();
    auto snapshot = clean.watch.Query(request.clientFolder);
    if (request.force || snapshot != clean.files) {
      const orvex_update::StatusCallback status = [session](const std::string& text) {
        ThrowIfStopping();
        if (IsQuietPassStatus(text)) return;
        if (session) session->SetStatus(text);
      };
      const orvex_update::ProgressCallback progress = [session](std::uint64_t done, std::uint64_t total) {
        const PassProgress shown = ProgressFromBytes(done, total);
        if (session) session->SetProgress(shown.percent, shown.visible);
      };
      const orvex_update::BeforeInstallCallback beforeInstall = [session] { WaitUntilNoClientsRun(session); };
      std::string errorText;
      if (!orvex_update::StartupCheckAndRepair(request.clientFolder, request.clientVersion, errorText, status, progress,
                                               beforeInstall)) {
        return EndedPassText(errorText);
      }
      // A file that changed while the check ran (a repair, or the player)
      // shows as a difference between the snapshots around the check. Saving
      // the later snapshot as clean would hide such a change from every
      // following pass; instead the next pass checks once more.
      const auto after = clean.watch.Query(request.clientFolder);
      if (after != snapshot) {
        clean.files.clear();
        return {};
      }
    }
    clean.files = std::move(snapshot);
    return {};
  } catch (const std::exception& error) {
    return EndedPassText(error.what());
  } catch (...) {
    return EndedPassText(kPassFailedText);
  }
}

void StopBackgroundWork() {
  UiState& state = Ui();
  if (state.stopFlag.exchange(true)) return;
  state.stopTime = ::GetTickCount64();
  orvex_update::RequestCancellation();
}

void AwaitStoppedPass(std::chrono::milliseconds grace) {
  UiState& state = Ui();
  if (!state.verificationPass.valid()) return;
  const std::uint64_t elapsed = ::GetTickCount64() - state.stopTime;
  const auto budget = static_cast<std::uint64_t>(grace.count());
  const auto left = std::chrono::milliseconds(elapsed < budget ? budget - elapsed : 0);
  if (state.verificationPass.wait_for(left) == std::future_status::ready) {
    try {
      state.verificationPass.get();  // "Repair cancelled." or a late result
    } catch (const std::exception&) {
    }
  }
}

void ServiceBackgroundRepair() {
  UiState& state = Ui();
  Launcher* session = app::Res().session;
  HWND window = app::Res().mainWindow;

  RepairScheduleInput input;
  input.launchBusy = state.guardProcess || state.gameProcess;
  input.stopping = state.stopFlag.load();
  input.ready = session && session->Ready();
  input.now = ::GetTickCount64();
  if (state.verificationPass.valid()) {
    input.task = state.verificationPass.wait_for(std::chrono::seconds(0)) == std::future_status::ready
                     ? PassTask::Finished
                     : PassTask::Running;
  }
  // Collect before planning so that the plan sees the result; only when the
  // plan would look at the task at all.
  if (!input.launchBusy && !input.stopping && input.task == PassTask::Finished) {
    try {
      input.result = state.verificationPass.get();
    } catch (const std::exception& error) {
      input.result = FailedPassText(error.what());
    }
  }

  RepairScheduleState schedule{state.lastPassClean, state.nextPassTime, state.startPending};
  const RepairScheduleActions actions = PlanRepairService(schedule, input);
  state.lastPassClean = schedule.lastPassClean;
  state.nextPassTime = schedule.nextPassTime;
  state.startPending = schedule.startPending;

  if (actions.collect && session) session->SetProgress(0, false);
  if (actions.status && session) {
    if (actions.statusIsFailure) {
      session->SetFailureStatus(*actions.status);
    } else {
      session->SetStatusUnlessFailure(*actions.status);
    }
  }
  if (actions.showErrorBox) {
    ::MessageBoxA(window, actions.status->c_str(), "ORVEX Repair", MB_OK | MB_ICONERROR);
  }
  if (actions.startGuard) {
    if (CountRunningClients() < kClientLimit) {
      StartGuard();
    } else if (session) {
      session->SetFailureStatus(kClientLimitText);
    }
  }
  if (actions.startPass && session) {
    VerificationRequest request;
    request.clientFolder = orvex_update::PathFromNarrow(session->ClientFolder());
    request.clientVersion = WidenClientVersion(session->ClientVersion());
    request.force = actions.forcePass;
    state.verificationPass = std::async(std::launch::async, RunVerificationPass, std::move(request));
  }
}

}  // namespace ui
