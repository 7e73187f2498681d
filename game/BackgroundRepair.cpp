#include "game/BackgroundRepair.h"

#include <chrono>
#include <exception>
#include <future>
#include <vector>

#include "common/Errors.h"
#include "game/Clients.h"
#include "game/RepairSchedule.h"
#include "session/Launcher.h"
#include "update/disk/Cancel.h"
#include "update/disk/Paths.h"
#include "update/StartupCheck.h"

namespace game {
namespace {

constexpr char kCancelledText[] = "Repair cancelled.";
constexpr char kCloseGamesText[] = "Repair downloaded. Close open games to finish repairing.";

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

[[nodiscard]] bool Stopping(const VerificationRequest& request) { return request.stopFlag && request.stopFlag->load(); }

void ThrowIfStopping(const VerificationRequest& request) {
  if (Stopping(request)) fail::Throw(fail::Kind::kCancelled, kCancelledText);
}

void WaitUntilNoClientsRun(const VerificationRequest& request) {
  bool told = false;
  for (;;) {
    const unsigned running = CountRunningClients();
    ThrowIfStopping(request);
    if (running == 0) return;
    if (!told && request.session) request.session->SetStatus(kCloseGamesText);
    told = true;
    // Wakes at once when the launcher closes.
    orvex_update::CancellableWait(250);
  }
}

// A pass cut short by a closing launcher ends as cancelled, whichever part of
// the engine noticed first.
std::string EndedPassText(const VerificationRequest& request, const std::string& errorText) {
  return Stopping(request) ? std::string(kCancelledText) : FailedPassText(errorText);
}

std::string CheckAndRepair(const VerificationRequest& request) {
  Launcher* session = request.session;
  CleanState& clean = LastClean();
  auto snapshot = clean.watch.Query(request.clientFolder);
  if (request.force || snapshot != clean.files) {
    const orvex_update::StatusCallback status = [&request, session](const std::string& text) {
      ThrowIfStopping(request);
      if (IsQuietPassStatus(text)) return;
      if (session) session->SetStatus(text);
    };
    const orvex_update::ProgressCallback progress = [session](std::uint64_t done, std::uint64_t total) {
      const PassProgress shown = ProgressFromBytes(done, total);
      if (session) session->SetProgress(shown.percent, shown.visible);
    };
    const orvex_update::BeforeInstallCallback beforeInstall = [&request] { WaitUntilNoClientsRun(request); };
    std::string errorText;
    if (!orvex_update::StartupCheckAndRepair(request.clientFolder, request.clientVersion, errorText, status, progress,
                                             beforeInstall)) {
      return EndedPassText(request, errorText);
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
}

// A finished pass's result; a pass that ended by an exception failed.
std::string CollectPass(std::future<std::string>& pass) {
  return fail::CatchAtEdge([&pass] { return pass.get(); }, [](const std::string& text) { return FailedPassText(text); },
                           kPassFailedText);
}

}  // namespace

std::string RunVerificationPass(VerificationRequest request) {
  return fail::CatchAtEdge([&request] { return CheckAndRepair(request); },
                           [&request](const std::string& text) { return EndedPassText(request, text); },
                           kPassFailedText);
}

void StopBackgroundWork(LaunchState& state) {
  if (state.stopFlag.exchange(true)) return;
  state.stopTime = ::GetTickCount64();
  orvex_update::RequestCancellation();
}

void AwaitStoppedPass(LaunchState& state, std::chrono::milliseconds grace) {
  if (!state.verificationPass.valid()) return;
  const std::uint64_t elapsed = ::GetTickCount64() - state.stopTime;
  const auto budget = static_cast<std::uint64_t>(grace.count());
  const auto left = std::chrono::milliseconds(elapsed < budget ? budget - elapsed : 0);
  if (state.verificationPass.wait_for(left) == std::future_status::ready) {
    CollectPass(state.verificationPass);  // "Repair cancelled." or a late result, dropped
  }
}

void ServiceBackgroundRepair(LaunchState& state, Launcher* session, HWND window) {
  RepairScheduleInput input;
  input.launchBusy = state.LaunchBusy();
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
    input.result = CollectPass(state.verificationPass);
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
      StartGuard(state, session, window);
    } else if (session) {
      session->SetFailureStatus(kClientLimitText);
    }
  }
  if (actions.startPass && session) {
    VerificationRequest request;
    request.clientFolder = orvex_update::PathFromNarrow(session->ClientFolder());
    request.clientVersion = WidenClientVersion(session->ClientVersion());
    request.force = actions.forcePass;
    request.session = session;
    request.stopFlag = &state.stopFlag;
    state.verificationPass = std::async(std::launch::async, RunVerificationPass, std::move(request));
  }
}

}  // namespace game
