#include "game/RepairSchedule.h"

namespace game {

RepairScheduleActions PlanRepairService(RepairScheduleState& state, const RepairScheduleInput& input) {
  RepairScheduleActions actions;
  if (input.launchBusy || input.stopping) return actions;

  if (input.task == PassTask::Running) return actions;
  if (input.task == PassTask::Finished) {
    actions.collect = true;
    const bool clean = input.result.empty();
    state.lastPassClean = clean;
    state.nextPassTime = input.now + (clean ? kCleanPassInterval : kFailedPassInterval);
    if (!clean) {
      actions.status = input.result;
      actions.statusIsFailure = true;
      actions.showErrorBox = state.startPending;
      state.startPending = false;
      return actions;
    }
    if (input.ready) actions.status = kPassCleanStatus;
  }

  if (!input.ready) {
    // A Start that waits while the session is lost would wait for good, with
    // Start and Repair veiled; end it and say why.
    if (state.startPending) {
      state.startPending = false;
      actions.status = kStartLostConnectionText;
      actions.statusIsFailure = true;
    }
    return actions;
  }

  if (state.startPending && state.lastPassClean) {
    state.startPending = false;
    actions.startGuard = true;
    return actions;
  }

  if (input.now >= state.nextPassTime) {
    actions.startPass = true;
    actions.forcePass = !state.lastPassClean;
  }
  return actions;
}

std::string FailedPassText(const std::string& errorText) {
  return errorText.empty() ? std::string(kPassFailedText) : errorText;
}

bool IsQuietPassStatus(std::string_view text) {
  return text.substr(0, 14) == "Checking files" || text == "All game files verified.";
}

PassProgress ProgressFromBytes(std::uint64_t done, std::uint64_t total) {
  if (total == 0) return {};
  // done x 100 in 128 bits: a 64-bit product would wrap above 184 PB and show
  // a small percentage for nearly finished work.
  const unsigned __int128 percent = static_cast<unsigned __int128>(done) * 100u / total;
  return {percent > 99 ? 100 : static_cast<std::int32_t>(percent), true};
}

std::uint32_t WidenClientVersion(std::int16_t version) {
  return static_cast<std::uint32_t>(static_cast<std::int32_t>(version));
}

}  // namespace game
