// Game start: the Start request, the guard, the game client and the 250 ms
// launch watch, with the state they share with the background repair. Window
// thread only; the session and the window arrive as parameters.
#pragma once

#include "common/WinHandles.h"

#include <atomic>
#include <cstdint>
#include <future>
#include <string>

class Launcher;

namespace game {

struct LaunchState {
  // Game launch.
  win::UniqueHandle guardProcess;
  win::UniqueHandle gameProcess;
  std::uint64_t gameDeadline = 0;
  bool startPending = false;
  bool guardRepairRequested = false;

  // Background verification.
  bool lastPassClean = false;
  std::uint64_t nextPassTime = 0;
  std::future<std::string> verificationPass;

  // Set when the launcher is closing; background work stops. Read by the pass.
  std::atomic<bool> stopFlag{false};
  std::uint64_t stopTime = 0;  // tick count when it was set

  // A guard or a game process is being watched.
  [[nodiscard]] bool LaunchBusy() const { return static_cast<bool>(guardProcess) || static_cast<bool>(gameProcess); }
  // No guard, no game being watched and no start pending.
  [[nodiscard]] bool LaunchIdle() const { return !LaunchBusy() && !startPending; }
};

// Start (button or Enter): checks the client limit, marks the start pending and
// lets the background scheduler start the guard after a clean pass.
void RequestGameStart(LaunchState& state, Launcher* session, HWND window);

// Starts ORVEXGuard.exe in the client folder and hides the window; a message
// box when it cannot be started.
void StartGuard(LaunchState& state, Launcher* session, HWND window);

// Start of the game client after the guard succeeded.
void StartGameClient(LaunchState& state, Launcher* session, HWND window);

// 250 ms launch watch: the guard's exit and the starting game.
void RunLaunchWatch(LaunchState& state, Launcher* session, HWND window);

}  // namespace game
