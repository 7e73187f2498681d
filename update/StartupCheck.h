// Start-up check of the launcher's own files and the repair behind it.
#pragma once

#include <filesystem>
#include <string>

#include "Callbacks.h"

namespace orvex_update {

// True when the startup manifest verifies and every launcher file matches it.
// Never throws and shows nothing.
bool QuickStartupCheck(const std::filesystem::path& clientFolder);

// Brings the client's start-up files and manifests to a sound state for the
// installed version. True when sound (already or after repair); false with
// errorText set otherwise.
bool StartupCheckAndRepair(const std::filesystem::path& clientFolder, unsigned installedVersion,
                           std::string& errorText, const StatusCallback& status, const ProgressCallback& progress,
                           const BeforeInstallCallback& beforeInstall);

}  // namespace orvex_update
