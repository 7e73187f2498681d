// Start-up check of the launcher's own files, the repair behind it, and the
// snapshot of managed files with which background repair notices changes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>

#include "Callbacks.h"

namespace orvex_update {

// True when ORVEX/Startup.manifest reads and verifies and every launcher file
// it lists (D3DX9_43.dll at the client root, anything under ORVEX/Launcher/)
// matches its size and digest. Never throws and shows nothing.
bool QuickStartupCheck(const std::filesystem::path& clientFolder);

// Brings the client's start-up files and manifests to a sound state for the
// installed version: installs the signed metadata package
// "metadata-v4-<version>.manifest" from the patch CDN when the client manifests
// do not read, then runs batch repair. True when sound (already or after
// repair); false with errorText set otherwise. Callbacks may be empty and run
// on the calling thread. Never throws.
bool StartupCheckAndRepair(const std::filesystem::path& clientFolder, unsigned installedVersion,
                           std::string& errorText, const StatusCallback& status, const ProgressCallback& progress,
                           const BeforeInstallCallback& beforeInstall);

// What the file system says about one managed file; all zeros for a file that
// does not exist or whose attributes cannot be read.
struct ManagedFileState {
  std::uint64_t last_write_time = 0;  // FILETIME as one 64-bit value
  std::uint64_t size = 0;
  std::uint32_t attributes = 0;

  bool operator==(const ManagedFileState&) const = default;
};

// Relative path (wide, "/" or "\\" alike) -> state, ordered by path comparison.
using ManagedFileSnapshot = std::map<std::filesystem::path, ManagedFileState>;

// The two client manifest files and, when both manifests read, every file
// they name. Never throws for file-system trouble; any thread may call it.
ManagedFileSnapshot SnapshotManagedFiles(const std::filesystem::path& clientFolder);

}  // namespace orvex_update
