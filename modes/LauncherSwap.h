// Replacement of the launcher executable by a new signed launcher.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

// Starts the swap helper when a verified new launcher waits. Greater than 0:
// the helper was started and this launcher must end; 0: nothing to do; less
// than 0: failure with errorText set. Never throws.
int PendingLauncherCheck(const std::filesystem::path& clientFolder, std::string& errorText);

// The swap helper's run mode: replaces the launcher of process oldProcessId and
// starts the new one. Returns the process exit code (0 or 1).
int RunLauncherSwap(const std::filesystem::path& clientFolder, std::uint32_t oldProcessId);

// True when a verified new launcher waits in the client folder; throws when one
// waits that does not match the signed release.
bool HasPendingLauncher(const std::filesystem::path& clientFolder);
