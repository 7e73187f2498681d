// The start-up check and repair with a window: a small window in the
// launcher's colours shows the repair's status text and progress while the
// repair runs on a worker thread, so that a long repair before the main
// window is not silent. Closing the window stops the repair.
#pragma once

#include "common/Windows.h"

#include <filesystem>
#include <string>

inline constexpr char kStartupRepairClassName[] = "LauncherStartupRepair";
inline constexpr char kStartupRepairTitle[] = "ORVEX Startup Repair";

enum class StartupRepairOutcome {
  Sound,   // the files are sound (already, or after the repair)
  Failed,  // errorText says why
  Closed,  // the player closed the window; the repair was told to stop
};

// Runs orvex_update::StartupCheckAndRepair for the client folder and version
// on a worker thread while the window is shown. On Closed the worker may
// still be running: it had grace to stop, and the caller ends the process.
StartupRepairOutcome RunStartupRepairWithWindow(HINSTANCE instance, const std::filesystem::path& clientFolder,
                                                unsigned version, std::string& errorText);
