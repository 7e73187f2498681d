// Named steps of the recovery that a test may leave out, to show that the
// checks of the update's fault and crash tests notice a recovery without
// them. The product never leaves one out.
#pragma once

#include <string_view>

namespace orvex_update {

enum class RecoveryStep {
  kRestoreBackups,  // moving each backup of a replaced file back over it
};

// True when a test has left step out.
[[nodiscard]] bool RecoveryStepSkipped(RecoveryStep step);

// The step named name ("restore-backups"); false for any other name.
[[nodiscard]] bool RecoveryStepByName(std::string_view name, RecoveryStep& step);

// Test switch: leaves step out of every recovery for the object's life.
class ScopedSkipRecoveryStepForTesting {
 public:
  explicit ScopedSkipRecoveryStepForTesting(RecoveryStep step);
  ~ScopedSkipRecoveryStepForTesting();
  ScopedSkipRecoveryStepForTesting(const ScopedSkipRecoveryStepForTesting&) = delete;
  ScopedSkipRecoveryStepForTesting& operator=(const ScopedSkipRecoveryStepForTesting&) = delete;

 private:
  unsigned previous_;
};

}  // namespace orvex_update
