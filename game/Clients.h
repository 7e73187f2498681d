// The game clients running on this machine, counted one way for every caller.
#pragma once

namespace game {

// At most this many game clients run at once on one machine.
inline constexpr unsigned kClientLimit = 3;
inline constexpr char kClientLimitText[] = "Bu bilgisayarda en fazla 3 oyun istemcisi acabilirsiniz.";

// Number of running Vantrell.exe processes; kClientLimit when the process list
// cannot be taken, so that the limit counts as reached.
unsigned CountRunningClients();

// True when a game client runs, or when the process list cannot be taken.
[[nodiscard]] bool IsGameRunning();

}  // namespace game
