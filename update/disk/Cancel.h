// A process-wide request to stop long update work, raised once when the
// launcher's window has closed. Hashing, HTTPS reads and the repair's retry
// waits look at it and throw; what such work leaves behind is what a crash at
// that point would leave, which the journal and the next repair already handle.
// The offline installer and the swap helper never raise it.
#pragma once

#include <cstdint>

namespace orvex_update {

// The message of the exception thrown once the request is raised.
inline constexpr char kCancelledText[] = "The launcher is closing.";

// Raises the request; it stays raised until the process ends. Any thread.
void RequestCancellation() noexcept;
// True once the request has been raised.
[[nodiscard]] bool CancellationRequested() noexcept;
// Throws std::runtime_error(kCancelledText) once the request has been raised.
void ThrowIfCancelled();
// Sleeps for milliseconds, or less when the request is raised meanwhile, and
// then throws as ThrowIfCancelled does.
void CancellableWait(std::uint32_t milliseconds);

}  // namespace orvex_update
