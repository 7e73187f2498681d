// Background verification and repair of the client files while the window is
// open, and the clean pass that a Start request waits for.
#pragma once

#include "common/Windows.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>

#include "game/Launch.h"

class Launcher;

namespace game {

// What one pass works on, captured by value into its task.
struct VerificationRequest {
  std::filesystem::path clientFolder;
  std::uint32_t clientVersion = 0;
  bool force = false;  // run the full check even when the files look unchanged
  // Where the pass reports (null: nowhere) and the flag that stops it (null:
  // never stopped). Both outlive the pass.
  Launcher* session = nullptr;
  const std::atomic<bool>* stopFlag = nullptr;
};

// The scheduler: collects a finished pass, starts the guard for a pending Start
// after a clean pass, and starts the next pass when it is due. Window thread only.
void ServiceBackgroundRepair(LaunchState& state, Launcher* session, HWND window);

// The launcher is closing: sets the stop flag and asks the update engine to
// drop its long work (hashing, downloads, retry waits). Window thread; the
// first call counts, later ones change nothing.
void StopBackgroundWork(LaunchState& state);

// Waits for a pass that still runs until grace has passed since the stop, and
// collects its result (discarded) when it has ended. A pass still running then
// is left to end with the process. Window thread.
void AwaitStoppedPass(LaunchState& state, std::chrono::milliseconds grace);

// One pass on the calling (worker) thread: the empty text when clean, else the
// error to show. Reports through the session's status and progress. Never throws.
std::string RunVerificationPass(VerificationRequest request);

}  // namespace game
