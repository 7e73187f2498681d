// Reading the two signed client manifests of the client folder,
// ORVEX/Startup.manifest and ORVEX/Integrity.manifest, under the pinned
// manifest key.
#pragma once

#include <filesystem>
#include <functional>

#include "update/manifests/ClientManifestFormat.h"

namespace orvex_update {

// The two manifests under the client folder.
std::filesystem::path StartupManifestPath(const std::filesystem::path& clientFolder);    // ORVEX/Startup.manifest
std::filesystem::path IntegrityManifestPath(const std::filesystem::path& clientFolder);  // ORVEX/Integrity.manifest

// Reads, verifies (VerifyManifestSignature, before any entry is interpreted)
// and parses the startup manifest at path. True with entries filled; false for
// any failure (missing, unreadable, out of bounds, unsigned, malformed) with
// entries untouched. Never throws; holds no state, so any thread may call it.
[[nodiscard]] bool ReadStartupManifest(const std::filesystem::path& path, StartupManifest& entries);

// The same for the integrity manifest at path.
[[nodiscard]] bool ReadIntegrityManifest(const std::filesystem::path& path, IntegrityManifest& manifest);

// True when the client folder's startup manifest reads and, after it, its
// integrity manifest reads; the integrity manifest is not read when the
// startup manifest fails. Never throws.
[[nodiscard]] bool ClientManifestsValid(const std::filesystem::path& clientFolder);

// Checks a path before it is read; throws to refuse it (the launcher swap
// passes its link check).
using ManifestPathCheck = std::function<void(const std::filesystem::path&)>;

// The Launcher.exe entry of the startup manifest of folder: pathCheck (when
// set) runs on the manifest path first and its exceptions pass through; then
// throws std::runtime_error "Launcher2.exe requires a valid signed startup
// manifest." when the manifest does not read, or "Signed startup manifest does
// not identify Launcher.exe." when no entry's whole name is Launcher.exe
// ignoring ASCII case. Otherwise the first such entry.
StartupEntry LauncherManifestEntry(const std::filesystem::path& folder, const ManifestPathCheck& pathCheck);

}  // namespace orvex_update
