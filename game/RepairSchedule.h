// Decisions of the background verification scheduler, apart from Win32: when a
// pass starts, what a finished pass changes, and how its callbacks translate
// engine reports into the window's status and progress.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace game {

inline constexpr std::uint64_t kCleanPassInterval = 5000;    // ms after a clean pass
inline constexpr std::uint64_t kFailedPassInterval = 30000;  // ms after a failed pass
inline constexpr char kPassFailedText[] = "Background repair failed.";
inline constexpr char kPassCleanStatus[] = "Ready to play.";
inline constexpr char kStartLostConnectionText[] = "Connection lost. Reconnect before starting the game.";

// Scheduler fields that live in the window's state.
struct RepairScheduleState {
  bool lastPassClean = false;
  std::uint64_t nextPassTime = 0;  // tick count in ms; 0 = at once
  bool startPending = false;
};

enum class PassTask { None, Running, Finished };

// What the scheduler sees on one call.
struct RepairScheduleInput {
  bool launchBusy = false;  // a guard or game process exists
  bool stopping = false;    // the stop flag is set
  PassTask task = PassTask::None;
  std::string result;  // the finished pass's result (empty = clean); read only when Finished
  bool ready = false;  // the session exists and is ready
  std::uint64_t now = 0;
};

// What the window-side caller carries out, in this order: collect the result
// (and clear the progress display), set the status, show the error box, start
// the guard (or the client-limit text), start a pass.
struct RepairScheduleActions {
  bool collect = false;
  std::optional<std::string> status;
  bool statusIsFailure = false;  // the status stays until the player acts; else it is routine
  bool showErrorBox = false;  // the status is a pass error that ended a pending Start
  bool startGuard = false;    // a pending Start met a clean pass
  bool startPass = false;
  bool forcePass = false;
};

// One call of the scheduler; updates state and returns what to do. Pure.
RepairScheduleActions PlanRepairService(RepairScheduleState& state, const RepairScheduleInput& input);

// The result text of a check that returned false: its error, or the generic text.
std::string FailedPassText(const std::string& errorText);

// Whether a status from the check stays off the status line (the per-file
// "Checking files..." texts and the all-verified text).
[[nodiscard]] bool IsQuietPassStatus(std::string_view text);

// Progress display for bytes done of total.
struct PassProgress {
  std::int32_t percent = 0;
  bool visible = false;
};
PassProgress ProgressFromBytes(std::uint64_t done, std::uint64_t total);

// The session's 16-bit client version widened with its sign, as the check takes it.
std::uint32_t WidenClientVersion(std::int16_t version);

}  // namespace game
