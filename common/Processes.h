// Running processes by executable name.
#pragma once

#include <optional>

namespace win {

// How many running processes have this executable name (case-insensitive);
// nullopt when the process list cannot be taken.
[[nodiscard]] std::optional<unsigned> CountProcessesNamed(const wchar_t* executableName);

}  // namespace win
