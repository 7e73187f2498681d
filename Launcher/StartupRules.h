// Start-up decisions that need no Win32: the run-mode choice from the
// executable's path and command line, and the window's size and placement.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace startup {

enum class RunMode { Exit, Installer, Swap, Launcher };

// What the process does, decided from its executable path and command line.
struct RunModeChoice {
  RunMode mode = RunMode::Exit;
  int exitCode = 1;                // for RunMode::Exit
  std::string launcherFolder;      // narrow folder of the executable (Launcher mode)
  bool unattended = false;         // installer mode
  std::wstring executablePath;     // installer mode: the executable's full wide path
  std::wstring clientFolder;       // swap mode: parent of the ".orvex-update" folder
  std::uint32_t swapProcessId = 0; // swap mode
};

// Decides the run mode. narrowPath is the executable path as GetModuleFileNameA
// returned it (nullopt when that failed), widePath the same from
// GetModuleFileNameW (nullopt when unavailable), commandLine the narrow command
// line without the program name.
RunModeChoice ChooseRunMode(const std::optional<std::string>& narrowPath,
                            const std::optional<std::wstring>& widePath, std::string_view commandLine);

// Parses text the way strtoul(text, &end, 10) does with a 32-bit unsigned long
// (leading blanks, an optional sign, saturation at 0xFFFFFFFF) and returns the
// value only when the whole text was consumed.
[[nodiscard]] std::optional<std::uint32_t> ParseWholeUnsigned(std::string_view text);

struct WorkArea {
  int left = 0, top = 0, right = 0, bottom = 0;
};

struct WindowPlacement {
  int x = 0, y = 0, width = 0, height = 0;
};

// The physical pixels per logical pixel for a canvas of the given logical size
// on a monitor of dpi dots per inch: the monitor's scale (dpi / 96), reduced
// so that 12 pixels stay free on each side of the work area. A dpi of 0 counts
// as 96.
double CanvasScale(const WorkArea& area, unsigned dpi, int canvasWidth, int canvasHeight);

// The window of a canvas (logical size, by default the launcher's 800x600)
// scaled by CanvasScale and centred in the work area. At 96 dpi the window
// never grows beyond the canvas; it shrinks to keep the margins.
WindowPlacement ComputeWindowPlacement(const WorkArea& area, unsigned dpi = 96, int canvasWidth = 800,
                                       int canvasHeight = 600);

}  // namespace startup
