// Start-up check of the launcher's own files, the repair behind it, and the
// snapshot of managed files with which background repair notices changes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "update/disk/Callbacks.h"

namespace orvex_update {

// True when ORVEX/Startup.manifest reads and verifies and every launcher file
// it lists (D3DX9_43.dll at the client root, anything under ORVEX/Launcher/)
// matches its size and digest. Never throws and shows nothing.
[[nodiscard]] bool QuickStartupCheck(const std::filesystem::path& clientFolder);

// Brings the client's start-up files and manifests to a sound state for the
// installed version: installs the signed metadata package
// "metadata-v4-<version>.manifest" from the patch CDN when the client manifests
// do not read, then runs batch repair. True when sound (already or after
// repair); false with errorText set otherwise. Callbacks may be empty and run
// on the calling thread. Never throws.
[[nodiscard]] bool StartupCheckAndRepair(const std::filesystem::path& clientFolder, unsigned installedVersion,
                                         std::string& errorText, const StatusCallback& status,
                                         const ProgressCallback& progress, const BeforeInstallCallback& beforeInstall);

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

// The managed files' states as a flat list, for a background pass that only
// wants to know whether anything changed: the states of the two manifest
// files, then of every file a snapshot would hold, in the order the snapshot
// adds them (a name listed twice is asked twice). Two lists from one watch
// differ whenever two snapshots taken at the same moments would.
//
// The list of files is kept between calls: the manifests are read, verified
// and turned into paths again only when a manifest file's own attribute
// record (creation time included, which a replaced file does not keep)
// differs from the one they were read at. Otherwise a call costs one
// attribute query per file. Never throws for file-system trouble; one
// thread at a time.
class ManagedFileWatch {
 public:
  std::vector<ManagedFileState> Query(const std::filesystem::path& clientFolder);

 private:
  struct ManifestKey {
    ManagedFileState state;
    std::uint64_t creation_time = 0;
    bool operator==(const ManifestKey&) const = default;
  };

  bool listed_ = false;
  std::filesystem::path client_;
  ManifestKey startup_;
  ManifestKey integrity_;
  std::wstring paths_;              // the files' full paths, each ended by a NUL
  std::vector<std::size_t> starts_;  // where each path begins in paths_
};

}  // namespace orvex_update
