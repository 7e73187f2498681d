// Process entry of Launcher.exe: run-mode choice, start-up, message loop, shutdown.
#pragma once

#include "common/Windows.h"

// Runs the process and returns its exit code.
[[nodiscard]] int LauncherMain(HINSTANCE instance, const char* commandLine);
