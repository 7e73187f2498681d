#include "Download.h"

#include <exception>
#include <optional>
#include <stdexcept>

#include "update/Https.h"
#include "update/Install.h"
#include "update/Journal.h"
#include "update/Manifest.h"
#include "update/Paths.h"

namespace orvex_update {
namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kManifestLimit = 16777216;
constexpr std::uint64_t kSignatureLimit = 1024;

}  // namespace

bool DownloadSignedUpdate(const fs::path& clientFolder, const std::string& baseUrl, const std::string& manifestName,
                          std::uint32_t targetVersion, std::uint32_t installedVersion, std::string& errorText,
                          bool allowSameVersion, const StatusCallback& status, const ProgressCallback& progress) {
  try {
    if (baseUrl.empty()) throw std::runtime_error("HTTPS update address is not configured.");
    if (!IsManagedPath(manifestName) || manifestName.find('/') != std::string::npos) {
      throw std::runtime_error("Invalid manifest name.");
    }
    // Scoped so that the lock is released before the recovery below takes it again.
    {
      UpdateLock lock(clientFolder);
      RecoverTransaction(clientFolder);
      const fs::path download = DownloadDirectoryPath(clientFolder);
      RemoveUpdateDirectory(clientFolder, download);
      FsCreateDirectories(download);

      const std::string base = baseUrl.back() == '/' ? baseUrl : baseUrl + "/";
      if (status) status("Downloading signed update manifest...");
      HttpsDownload(base + manifestName, download / "manifest", kManifestLimit, "", {});
      HttpsDownload(base + manifestName + ".sig", download / "signature", kSignatureLimit, "", {});
      const UpdateManifest manifest = LoadSignedManifest(download / "manifest", download / "signature");
      const auto version = static_cast<std::uint32_t>(manifest.version);
      const bool forward = allowSameVersion ? targetVersion >= installedVersion : targetVersion > installedVersion;
      if (version != targetVersion || !forward) {
        throw std::runtime_error("Signed update version does not match the requested version.");
      }

      if (status) status("Downloading " + manifest.archive + "...");
      HttpsDownload(base + manifest.archive, download / "patch.zip", manifest.archive_size, "", progress);
      if (progress) progress(0, 0);

      InstallUpdate(download / "manifest", clientFolder, download / "signature", download / "patch.zip",
                    targetVersion, installedVersion, allowSameVersion, status);
      // Installed and committed: a download folder that cannot go yet (a
      // scanner still reads patch.zip) is removed by the next download.
      try {
        RemoveUpdateDirectory(clientFolder, download);
      } catch (const std::exception&) {
      }
    }
    return true;
  } catch (const std::exception& error) {
    if (progress) progress(0, 0);
    errorText = error.what();
    std::string recoveryError;
    if (!RecoverInterruptedUpdate(clientFolder, recoveryError)) errorText += " Recovery: " + recoveryError;
    return false;
  }
}

}  // namespace orvex_update
