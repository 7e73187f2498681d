// The window's process-wide state. Written on the window thread only, except
// the stop flag, which background work polls.
#pragma once

#include "common/WinHandles.h"

#include <atomic>
#include <cstdint>
#include <future>
#include <optional>
#include <string>
#include <vector>

#include "board/Announcement.h"
#include "ui/Layout.h"

struct UiState {
  ui::ElementId hovered = ui::ElementId::None;
  ui::ElementId pressed = ui::ElementId::None;
  bool calendarOpen = false;
  std::size_t boardOffset = 0;

  // Announcements board.
  std::vector<launcher_board::Announcement> announcements;
  bool boardLoaded = false;         // a fetch has delivered a list at least once
  bool boardFetchFinished = false;  // a fetch has finished at least once
  std::future<std::optional<std::vector<launcher_board::Announcement>>> boardTask;
  std::uint64_t nextFetchTime = 0;

  // Game launch.
  HANDLE guardProcess = nullptr;
  HANDLE gameProcess = nullptr;
  std::uint64_t gameDeadline = 0;
  bool startPending = false;
  bool guardRepairRequested = false;

  // Background verification.
  bool lastPassClean = false;
  std::uint64_t nextPassTime = 0;
  std::future<std::string> verificationPass;

  // Set when the launcher is closing; background work stops.
  std::atomic<bool> stopFlag{false};
  std::uint64_t stopTime = 0;  // tick count when it was set

  // No guard, no game being watched and no start pending.
  bool LaunchIdle() const { return !guardProcess && !gameProcess && !startPending; }
};

UiState& Ui();
