#include "update/manifests/ClientManifest.h"

#include <stdexcept>
#include <vector>

#include "common/Errors.h"
#include "update/disk/Digest.h"
#include "update/disk/Paths.h"

namespace orvex_update {
namespace {

[[nodiscard]] bool VerifyWithManifestKey(std::span<const std::uint8_t> body, std::span<const std::uint8_t> signature) {
  return VerifyManifestSignature(body.data(), body.size(), signature.data(), signature.size());
}

// The whole file in one buffer, or false when it is missing, is not a regular
// file, is larger than limit or cannot be read completely.
[[nodiscard]] bool ReadWholeFile(const std::filesystem::path& path, std::size_t limit, std::vector<std::uint8_t>& bytes) {
  try {
    bytes = ReadBoundedFile(path, limit);
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace

std::filesystem::path StartupManifestPath(const std::filesystem::path& clientFolder) {
  return clientFolder / L"ORVEX" / L"Startup.manifest";
}

std::filesystem::path IntegrityManifestPath(const std::filesystem::path& clientFolder) {
  return clientFolder / L"ORVEX" / L"Integrity.manifest";
}

bool ReadStartupManifest(const std::filesystem::path& path, StartupManifest& entries) {
  std::vector<std::uint8_t> bytes;
  // The size bounds are checked before the read (by the limit) and again by
  // the parser (the lower bound), so no oversized file is ever loaded.
  return ReadWholeFile(path, kMaxStartupManifestBytes, bytes) &&
         ParseStartupManifestFile(bytes, VerifyWithManifestKey, entries);
}

bool ReadIntegrityManifest(const std::filesystem::path& path, IntegrityManifest& manifest) {
  std::vector<std::uint8_t> bytes;
  return ReadWholeFile(path, kMaxIntegrityManifestBytes, bytes) &&
         ParseIntegrityManifestFile(bytes, VerifyWithManifestKey, manifest);
}

bool ClientManifestsValid(const std::filesystem::path& clientFolder) {
  try {
    StartupManifest startup;
    if (!ReadStartupManifest(StartupManifestPath(clientFolder), startup)) return false;
    IntegrityManifest integrity;
    return ReadIntegrityManifest(IntegrityManifestPath(clientFolder), integrity);
  } catch (...) {
    return false;
  }
}

StartupEntry LauncherManifestEntry(const std::filesystem::path& folder, const ManifestPathCheck& pathCheck) {
  const std::filesystem::path path = StartupManifestPath(folder);
  if (pathCheck) pathCheck(path);
  StartupManifest entries;
  if (!ReadStartupManifest(path, entries)) {
    fail::Throw(fail::Kind::kIntegrity, "Launcher2.exe requires a valid signed startup manifest.");
  }
  const StartupEntry* entry = FindLauncherEntry(entries);
  if (entry == nullptr) fail::Throw(fail::Kind::kIntegrity, "Signed startup manifest does not identify Launcher.exe.");
  return *entry;
}

}  // namespace orvex_update
