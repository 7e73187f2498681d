#include "StartupCheck.h"

namespace orvex_update {

// Interim: signed client manifests are not read yet, so there is nothing to check.
bool QuickStartupCheck(const std::filesystem::path&) { return true; }

bool StartupCheckAndRepair(const std::filesystem::path&, unsigned, std::string& errorText, const StatusCallback&,
                           const ProgressCallback&, const BeforeInstallCallback&) {
  errorText.clear();
  return true;
}

}  // namespace orvex_update
