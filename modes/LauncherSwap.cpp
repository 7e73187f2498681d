#include "LauncherSwap.h"

// Interim: no update delivers a new launcher yet, so none is ever pending and
// the swap helper has nothing it could do.
int PendingLauncherCheck(const std::filesystem::path&, std::string& errorText) {
  errorText.clear();
  return 0;
}

int RunLauncherSwap(const std::filesystem::path&, std::uint32_t) { return 1; }

bool HasPendingLauncher(const std::filesystem::path&) { return false; }
