#include "game/RepairSchedule.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

using game::PassTask;
using game::PlanRepairService;
using game::RepairScheduleInput;
using game::RepairScheduleState;

namespace {

RepairScheduleInput Ready(std::uint64_t now) {
  RepairScheduleInput input;
  input.ready = true;
  input.now = now;
  return input;
}

RepairScheduleInput Finished(std::uint64_t now, std::string result, bool ready = true) {
  RepairScheduleInput input = Ready(now);
  input.ready = ready;
  input.task = PassTask::Finished;
  input.result = std::move(result);
  return input;
}

}  // namespace

TEST(RepairSchedule, FirstTickStartsAForcedPass) {
  RepairScheduleState state;
  const auto actions = PlanRepairService(state, Ready(1000));
  EXPECT_TRUE(actions.startPass);
  EXPECT_TRUE(actions.forcePass);
  EXPECT_FALSE(actions.collect);
  EXPECT_FALSE(actions.status);
}

TEST(RepairSchedule, CleanPassSchedulesTheNextFiveSecondsLaterUnforced) {
  RepairScheduleState state;
  auto actions = PlanRepairService(state, Finished(10000, ""));
  EXPECT_TRUE(actions.collect);
  EXPECT_EQ(actions.status, std::optional<std::string>("Ready to play."));
  EXPECT_FALSE(actions.statusIsFailure);  // routine: a held failure text stays
  EXPECT_FALSE(actions.startPass);
  EXPECT_TRUE(state.lastPassClean);
  EXPECT_EQ(state.nextPassTime, 15000u);

  EXPECT_FALSE(PlanRepairService(state, Ready(14999)).startPass);
  actions = PlanRepairService(state, Ready(15000));
  EXPECT_TRUE(actions.startPass);
  EXPECT_FALSE(actions.forcePass);
}

TEST(RepairSchedule, FailedPassShowsItsTextAndRetriesForcedAfterThirtySeconds) {
  RepairScheduleState state;
  state.lastPassClean = true;
  auto actions = PlanRepairService(state, Finished(2000, "Repair batch failed SHA-256 verification."));
  EXPECT_TRUE(actions.collect);
  EXPECT_EQ(actions.status, std::optional<std::string>("Repair batch failed SHA-256 verification."));
  EXPECT_TRUE(actions.statusIsFailure);
  EXPECT_FALSE(actions.showErrorBox);
  EXPECT_FALSE(state.lastPassClean);
  EXPECT_EQ(state.nextPassTime, 32000u);

  EXPECT_FALSE(PlanRepairService(state, Ready(31999)).startPass);
  actions = PlanRepairService(state, Ready(32000));
  EXPECT_TRUE(actions.startPass);
  EXPECT_TRUE(actions.forcePass);
}

TEST(RepairSchedule, RunningPassIsLeftAlone) {
  RepairScheduleState state;
  state.startPending = true;
  RepairScheduleInput input = Ready(50000);
  input.task = PassTask::Running;
  const auto actions = PlanRepairService(state, input);
  EXPECT_FALSE(actions.collect || actions.startPass || actions.startGuard || actions.status);
  EXPECT_TRUE(state.startPending);
}

TEST(RepairSchedule, GuardGameOrStoppingBlocksEverythingEvenAFinishedPass) {
  for (int blocker = 0; blocker < 2; ++blocker) {
    RepairScheduleState state;
    state.startPending = true;
    RepairScheduleInput input = Finished(50000, "");
    (blocker == 0 ? input.launchBusy : input.stopping) = true;
    const auto actions = PlanRepairService(state, input);
    EXPECT_FALSE(actions.collect || actions.startPass || actions.startGuard || actions.status) << blocker;
    EXPECT_FALSE(state.lastPassClean);
    EXPECT_TRUE(state.startPending);
  }
}

TEST(RepairSchedule, StartWithCleanLastPassStartsTheGuardWithoutAPass) {
  RepairScheduleState state{true, 99999, true};
  const auto actions = PlanRepairService(state, Ready(1000));
  EXPECT_TRUE(actions.startGuard);
  EXPECT_FALSE(actions.startPass);
  EXPECT_FALSE(state.startPending);
}

TEST(RepairSchedule, StartAfterFailedPassRunsAForcedPassFirst) {
  RepairScheduleState state{false, 0, true};
  auto actions = PlanRepairService(state, Ready(1000));
  EXPECT_FALSE(actions.startGuard);
  EXPECT_TRUE(actions.startPass);
  EXPECT_TRUE(actions.forcePass);
  EXPECT_TRUE(state.startPending);

  actions = PlanRepairService(state, Finished(1500, ""));
  EXPECT_TRUE(actions.collect);
  EXPECT_TRUE(actions.startGuard);
  EXPECT_FALSE(actions.startPass);
  EXPECT_FALSE(state.startPending);
}

TEST(RepairSchedule, PassErrorWhileStartPendingEndsTheStartWithAMessageBox) {
  RepairScheduleState state{false, 0, true};
  const auto actions = PlanRepairService(state, Finished(1500, "Not enough disk space."));
  EXPECT_TRUE(actions.showErrorBox);
  EXPECT_EQ(actions.status, std::optional<std::string>("Not enough disk space."));
  EXPECT_FALSE(actions.startGuard);
  EXPECT_FALSE(actions.startPass);
  EXPECT_FALSE(state.startPending);
  EXPECT_EQ(state.nextPassTime, 31500u);
}

TEST(RepairSchedule, CleanPassWhileNotReadyLeavesTheStatusAndStartsNothing) {
  RepairScheduleState state;
  const auto actions = PlanRepairService(state, Finished(1000, "", false));
  EXPECT_TRUE(actions.collect);
  EXPECT_FALSE(actions.status);
  EXPECT_FALSE(actions.startPass);
  EXPECT_TRUE(state.lastPassClean);
}

TEST(RepairSchedule, NoPassStartsWhileNotReady) {
  RepairScheduleState state;
  RepairScheduleInput input = Ready(1000);
  input.ready = false;
  EXPECT_FALSE(PlanRepairService(state, input).startPass);
}

TEST(RepairSchedule, PendingStartEndsWhenTheSessionIsLost) {
  RepairScheduleState state{true, 0, true};
  RepairScheduleInput input = Ready(1000);
  input.ready = false;
  const auto actions = PlanRepairService(state, input);
  EXPECT_FALSE(actions.startGuard);
  EXPECT_FALSE(state.startPending);
  EXPECT_EQ(actions.status, std::optional<std::string>("Connection lost. Reconnect before starting the game."));
  EXPECT_TRUE(actions.statusIsFailure);

  // The same after a clean pass finished while the session was gone.
  RepairScheduleState afterPass{false, 0, true};
  const auto collected = PlanRepairService(afterPass, Finished(1000, "", false));
  EXPECT_FALSE(collected.startGuard);
  EXPECT_FALSE(afterPass.startPending);
  EXPECT_EQ(collected.status, std::optional<std::string>("Connection lost. Reconnect before starting the game."));
}

TEST(RepairSchedule, FailedPassText) {
  EXPECT_EQ(game::FailedPassText(""), "Background repair failed.");
  EXPECT_EQ(game::FailedPassText("Repair cancelled."), "Repair cancelled.");
}

TEST(RepairSchedule, QuietStatuses) {
  EXPECT_TRUE(game::IsQuietPassStatus("Checking files... Please wait."));
  EXPECT_TRUE(game::IsQuietPassStatus("Checking files"));
  EXPECT_TRUE(game::IsQuietPassStatus("Checking filesX data/item.tbl"));
  EXPECT_TRUE(game::IsQuietPassStatus("All game files verified."));
  EXPECT_FALSE(game::IsQuietPassStatus("Checking file"));
  EXPECT_FALSE(game::IsQuietPassStatus("checking files..."));
  EXPECT_FALSE(game::IsQuietPassStatus("All game files verified"));
  EXPECT_FALSE(game::IsQuietPassStatus("Downloading repair files..."));
  EXPECT_FALSE(game::IsQuietPassStatus(""));
}

TEST(RepairSchedule, ProgressPercent) {
  using game::ProgressFromBytes;
  EXPECT_EQ(ProgressFromBytes(0, 0).visible, false);
  EXPECT_EQ(ProgressFromBytes(5, 0).percent, 0);
  EXPECT_EQ(ProgressFromBytes(0, 10).percent, 0);
  EXPECT_TRUE(ProgressFromBytes(0, 10).visible);
  EXPECT_EQ(ProgressFromBytes(1, 3).percent, 33);
  EXPECT_EQ(ProgressFromBytes(99, 100).percent, 99);
  EXPECT_EQ(ProgressFromBytes(999, 1000).percent, 99);
  EXPECT_EQ(ProgressFromBytes(100, 100).percent, 100);
  EXPECT_EQ(ProgressFromBytes(300, 100).percent, 100);
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  EXPECT_EQ(ProgressFromBytes(kMax, 1).percent, 100);
  // A 64-bit product would wrap here and show 0%.
  EXPECT_EQ(ProgressFromBytes(kMax / 2, kMax).percent, 49);
}

TEST(RepairSchedule, ClientVersionWidensWithItsSign) {
  EXPECT_EQ(game::WidenClientVersion(2372), 2372u);
  EXPECT_EQ(game::WidenClientVersion(-1), 0xFFFFFFFFu);
  EXPECT_EQ(game::WidenClientVersion(-32768), 0xFFFF8000u);
}
