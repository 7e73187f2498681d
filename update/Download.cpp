#include "update/Download.h"

#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "common/Errors.h"
#include "update/disk/Cancel.h"
#include "update/disk/FileCalls.h"
#include "update/disk/Digest.h"
#include "update/disk/DigestText.h"
#include "update/fetch/Https.h"
#include "update/apply/Install.h"
#include "update/apply/Journal.h"
#include "update/manifests/Manifest.h"
#include "update/disk/Paths.h"

namespace orvex_update {
namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kManifestLimit = 16777216;
constexpr std::uint64_t kSignatureLimit = 1024;

// patch.zip.source beside patch.zip holds the digest text of the manifest
// whose archive patch.zip is (a line feed after it). It is written before the
// archive's first byte and removed before an archive of another manifest
// replaces it, so whenever both exist the archive's bytes so far came from
// that manifest's archive URL. Only then is a partial archive continued.
constexpr const wchar_t* kArchiveFile = L"patch.zip";
constexpr const wchar_t* kSourceFile = L"patch.zip.source";

// The digest text in patch.zip.source when the download folder holds nothing
// but the files of one earlier download (manifest, signature, a partial
// archive and its source), none of them a link; empty otherwise, and then the
// folder is emptied as before every download.
std::string KeptArchiveSource(const fs::path& clientFolder, const fs::path& download) {
  try {
    EnsureInsideClient(clientFolder, download / kArchiveFile);
    bool archive = false;
    bool source = false;
    WIN32_FIND_DATAW data{};
    const calls::UniqueFind find(calls::FindFirstFileExW((download / L"*").c_str(), &data, 0));
    if (!find) return {};
    do {
      const fs::path name(data.cFileName);
      if (name == L"." || name == L"..") continue;
      const bool known = name == L"manifest" || name == L"signature" || name == kArchiveFile || name == kSourceFile;
      const bool plainFile = (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
      if (!known || !plainFile || IsReparsePoint(download / name)) return {};
      archive = archive || name == kArchiveFile;
      source = source || name == kSourceFile;
    } while (calls::FindNextFileW(find.Get(), &data));
    if (::GetLastError() != ERROR_NO_MORE_FILES || !archive || !source) return {};
    const std::vector<std::uint8_t> bytes = ReadBoundedFile(download / kSourceFile, 65);
    if (bytes.size() != 65 || bytes[64] != '\n' || !IsHexDigest(reinterpret_cast<const char*>(bytes.data()), 64)) {
      return {};
    }
    return std::string(bytes.begin(), bytes.begin() + 64);
  } catch (const std::exception&) {
    return {};
  }
}

// Best effort: without the record the next attempt just starts from zero.
void RecordArchiveSource(const fs::path& file, const std::string& manifestDigest) {
  const std::string line = manifestDigest + "\n";
  win::UniqueFile out = OpenFileRetrying(file, GENERIC_WRITE, 0, CREATE_ALWAYS);
  DWORD written = 0;
  // A record that did not make it only costs the next attempt its resume.
  if (out) static_cast<void>(calls::WriteFile(out.Get(), line.data(), static_cast<DWORD>(line.size()), &written));
}

// True when the kept archive already has the signed size and digest. Only
// a complete archive is hashed; anything else is continued or, when it is
// complete but not the signed archive, fetched again from its first byte.
// One that cannot be read is treated the same way.
[[nodiscard]] bool KeptArchiveIsComplete(const fs::path& archive, const UpdateManifest& manifest) {
  try {
    const fs::file_status status = FsStatus(archive);
    return fs::is_regular_file(status) && FsFileSize(archive) == manifest.archive_size &&
           HashFileHex(archive) == manifest.archive_sha256;
  } catch (const std::exception&) {
    ThrowIfCancelled();
    return false;
  }
}

// The signed manifest and its signature into download, checked against the
// requested version, and then the manifest's archive, continued when the
// partial one in download came from the very same manifest. The progress bar
// goes once this ends, however it ends.
void FetchSignedUpdate(const std::string& baseUrl, const std::string& manifestName, const fs::path& download,
                       const std::string& keptSource, std::uint32_t targetVersion, std::uint32_t installedVersion,
                       bool allowSameVersion, const StatusCallback& status, const ProgressCallback& progress) {
  const fail::ScopeExit hideProgress([&progress] {
    if (progress) progress(0, 0);
  });
  const std::string base = baseUrl.back() == '/' ? baseUrl : baseUrl + "/";
  if (status) status("Downloading signed update manifest...");
  HttpsDownload(base + manifestName, download / "manifest", kManifestLimit, "", {});
  HttpsDownload(base + manifestName + ".sig", download / "signature", kSignatureLimit, "", {});
  const UpdateManifest manifest = LoadSignedManifest(download / "manifest", download / "signature");
  const auto version = static_cast<std::uint32_t>(manifest.version);
  const bool forward = allowSameVersion ? targetVersion >= installedVersion : targetVersion > installedVersion;
  if (version != targetVersion || !forward) {
    fail::Throw(fail::Kind::kIntegrity, "Signed update version does not match the requested version.");
  }

  if (status) status("Downloading " + manifest.archive + "...");
  // Byte for byte the same signed manifest as the one the partial archive
  // came from: continue it. The installer still checks the whole archive
  // against the signed size and digest, so a wrong partial costs a retry.
  const std::string manifestDigest = HashFileHex(download / "manifest");
  if (manifestDigest == keptSource && KeptArchiveIsComplete(download / kArchiveFile, manifest)) {
    // Downloaded whole by an attempt whose install failed ("close the game
    // and retry"): installed from as it is, without fetching it again.
    if (progress) progress(manifest.archive_size, manifest.archive_size);
  } else if (manifestDigest == keptSource) {
    HttpsResumeDownload(base + manifest.archive, download / kArchiveFile, manifest.archive_size, progress);
  } else {
    if (!keptSource.empty()) {
      FsRemove(download / kSourceFile);
      FsRemove(download / kArchiveFile);
    }
    RecordArchiveSource(download / kSourceFile, manifestDigest);
    HttpsDownload(base + manifest.archive, download / kArchiveFile, manifest.archive_size, "", progress);
  }
}

}  // namespace

bool DownloadSignedUpdate(const fs::path& clientFolder, const std::string& baseUrl, const std::string& manifestName,
                          std::uint32_t targetVersion, std::uint32_t installedVersion, fail::Failure& failure,
                          bool allowSameVersion, const StatusCallback& status, const ProgressCallback& progress) {
  try {
    if (baseUrl.empty()) fail::Throw(fail::Kind::kUsage, "HTTPS update address is not configured.");
    if (!IsManagedPath(manifestName) || manifestName.find('/') != std::string::npos) {
      fail::Throw(fail::Kind::kUsage, "Invalid manifest name.");
    }
    // Scoped so that the lock is released before the recovery below takes it again.
    {
      UpdateLock lock(clientFolder);
      RecoverTransaction(clientFolder);
      const fs::path download = DownloadDirectoryPath(clientFolder);
      // An interrupted archive download stays for the next attempt; the rest
      // of the folder goes as before.
      const std::string keptSource = KeptArchiveSource(clientFolder, download);
      if (keptSource.empty()) {
        RemoveUpdateDirectory(clientFolder, download);
        FsCreateDirectories(download);
      }

      FetchSignedUpdate(baseUrl, manifestName, download, keptSource, targetVersion, installedVersion,
                        allowSameVersion, status, progress);
      InstallUpdate(clientFolder,
                    {download / "manifest", download / "signature", download / kArchiveFile, targetVersion,
                     installedVersion, allowSameVersion},
                    status);
      // Installed and committed: a download folder that cannot go yet (a
      // scanner still reads patch.zip) is removed by the next download.
      try {
        RemoveUpdateDirectory(clientFolder, download);
      } catch (const std::exception&) {
      }
    }
    return true;
  } catch (const std::exception& error) {
    failure = fail::FailureOf(error, kUpdateFailedText);
    RecoverAfterFailure(clientFolder, failure);
    return false;
  }
}

}  // namespace orvex_update
