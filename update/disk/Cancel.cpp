#include "update/disk/Cancel.h"

#include <algorithm>
#include <atomic>
#include <stdexcept>

#include "common/Errors.h"
#include "common/WinHandles.h"

namespace orvex_update {
namespace {

std::atomic<bool> g_requested{false};

// Manual-reset, so that one SetEvent releases the present wait and every later
// one. Created on first use; null when the kernel refuses, and the waits poll.
HANDLE CancelEvent() noexcept {
  static const win::UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  return event.Get();
}

}  // namespace

void RequestCancellation() noexcept {
  g_requested.store(true);
  if (HANDLE event = CancelEvent()) ::SetEvent(event);
}

bool CancellationRequested() noexcept { return g_requested.load(); }

void ThrowIfCancelled() {
  if (CancellationRequested()) fail::Throw(fail::Kind::kCancelled, kCancelledText);
}

void CancellableWait(std::uint32_t milliseconds) {
  ThrowIfCancelled();
  HANDLE event = CancelEvent();
  if (!event || ::WaitForSingleObject(event, milliseconds) == WAIT_FAILED) {
    constexpr std::uint32_t kSlice = 50;
    for (std::uint32_t waited = 0; waited < milliseconds && !CancellationRequested(); waited += kSlice) {
      ::Sleep(std::min(kSlice, milliseconds - waited));
    }
  }
  ThrowIfCancelled();
}

}  // namespace orvex_update
