#include "update/apply/RecoverySteps.h"

#include <atomic>

namespace orvex_update {
namespace {

std::atomic<unsigned> g_skipped{0};  // one bit per step

unsigned Bit(RecoveryStep step) { return 1u << static_cast<unsigned>(step); }

}  // namespace

bool RecoveryStepSkipped(RecoveryStep step) { return (g_skipped.load() & Bit(step)) != 0; }

bool RecoveryStepByName(std::string_view name, RecoveryStep& step) {
  if (name == "restore-backups") {
    step = RecoveryStep::kRestoreBackups;
  } else {
    return false;
  }
  return true;
}

ScopedSkipRecoveryStepForTesting::ScopedSkipRecoveryStepForTesting(RecoveryStep step)
    : previous_(g_skipped.fetch_or(Bit(step))) {}

ScopedSkipRecoveryStepForTesting::~ScopedSkipRecoveryStepForTesting() { g_skipped.store(previous_); }

}  // namespace orvex_update
