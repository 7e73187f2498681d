// Callbacks of the update engine. Each may be empty and runs on the caller's thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace orvex_update {

// Receives one status text.
using StatusCallback = std::function<void(const std::string&)>;
// Receives bytes done and bytes total; (0, 0) clears the display.
using ProgressCallback = std::function<void(std::uint64_t done, std::uint64_t total)>;
// Called by batch repair after verification, before the first client file is replaced.
using BeforeInstallCallback = std::function<void()>;

}  // namespace orvex_update
