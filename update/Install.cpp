#include "Install.h"

#include <utility>
#include <map>
#include <set>
#include <stdexcept>
#include <string>

#include "update/Delta.h"
#include "update/Digest.h"
#include "update/JournalFormat.h"
#include "update/Manifest.h"
#include "update/Paths.h"
#include "update/Version.h"
#include "update/Zip.h"

namespace orvex_update {
namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kStagingReserve = 268435456;  // 256 MiB
constexpr std::uint32_t kMaxListedEntries = 40000;
constexpr std::uint64_t kMaxDeltaGrowth = 2097152;      // 2 MiB
constexpr std::uint64_t kMaxMetadataBytes = 16777216;

[[noreturn]] void Fail(const char* message) { throw std::runtime_error(message); }

InstallCheckpointHook g_checkpointHook = nullptr;

void Checkpoint(const char* name) {
  if (g_checkpointHook) g_checkpointHook(name);
}

bool SameTextIgnoringCase(const std::wstring& a, const std::wstring& b) {
  return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()),
                                TRUE) == CSTR_EQUAL;
}

std::wstring RunningExecutable() {
  wchar_t buffer[260] = {};
  const DWORD length = ::GetModuleFileNameW(nullptr, buffer, 260);
  return (length > 0 && length < 260) ? std::wstring(buffer, length) : std::wstring();
}

// Opens with write access and flushes, as the staged files and backups need.
void FlushFile(const fs::path& path) { FlushStagedFile(path); }

struct ListedArchive {
  std::map<std::string, fs::path> deltas;  // lower-cased target -> staged delta path
};

ListedArchive ListArchive(const fs::path& archiveFile, const fs::path& staging,
                          const std::map<std::string, const ManifestFile*>& index) {
  ListedArchive listed;
  // The archive layer takes names in the narrow file calls' code page.
  const std::string archiveName = NarrowFromPath(archiveFile);
  std::unique_ptr<PatchArchive> archive = PatchArchive::Open(archiveName.c_str());
  if (!archive) Fail("Cannot open patch archive.");
  const std::uint32_t count = archive->EntryCount();
  if (count > kMaxListedEntries) Fail("Invalid archive entry count.");
  std::set<std::string> seen;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (archive->OpenEntry(static_cast<std::int32_t>(i)) != 0) Fail("Cannot read archive entry.");
    const char* storedName = archive->CurrentName();
    std::string name = storedName ? storedName : "";
    const bool directory = archive->CurrentIsDirectory();
    const std::uint64_t size = archive->CurrentUncompressedSize();
    archive->CloseEntry();
    for (char& c : name) {
      if (c == '\\') c = '/';
    }
    if (directory && !name.empty() && name.back() == '/') name.pop_back();
    if (!IsManagedPath(name)) Fail("Unsafe archive entry.");
    if (directory) continue;

    const std::string lower = AsciiLower(name);
    const bool isDelta = lower.size() >= 5 && lower.ends_with(".ord") && IsDeltaTarget(lower.substr(0, lower.size() - 4));
    const std::string target = isDelta ? name.substr(0, name.size() - 4) : name;
    const std::string targetKey = AsciiLower(target);
    const auto found = index.find(targetKey);
    if (found == index.end() || found->second->path != target || !seen.insert(targetKey).second) {
      Fail("Archive contents do not match the signed manifest.");
    }
    const ManifestFile& entry = *found->second;
    if (!isDelta) {
      if (size != entry.size) Fail("Archive file size does not match the signed manifest.");
    } else {
      if (size < 24 || size > entry.size + kMaxDeltaGrowth) Fail("Invalid delta archive size.");
      listed.deltas[targetKey] = staging / fs::path(name);
    }
  }
  if (seen.size() != index.size()) Fail("Archive is missing signed files.");
  return listed;
}

}  // namespace

InstallCheckpointHook SetInstallCheckpointHook(InstallCheckpointHook hook) {
  return std::exchange(g_checkpointHook, hook);
}

void InstallUpdate(const fs::path& manifestFile, const fs::path& clientFolder, const fs::path& signatureFile,
                   const fs::path& archiveFile, std::uint32_t targetVersion, std::uint32_t installedVersion,
                   bool allowSameVersion, const StatusCallback& progress) {
  auto report = [&](const std::string& text) {
    if (progress) progress(text);
  };

  // 1-3: the signed manifest, the version step and the archive itself.
  const UpdateManifest manifest = LoadSignedManifest(manifestFile, signatureFile);
  const bool forward = allowSameVersion ? targetVersion >= installedVersion : targetVersion > installedVersion;
  if (static_cast<std::uint32_t>(manifest.version) != targetVersion || !forward) {
    Fail("Update version is invalid or older than the installed client.");
  }
  if (!fs::is_regular_file(FsStatus(archiveFile)) || FsFileSize(archiveFile) != manifest.archive_size ||
      HashFileHex(archiveFile) != manifest.archive_sha256) {
    Fail("Downloaded archive hash or size is invalid.");
  }

  // 4-5: preflight of every destination and the space for staging and backups.
  const std::wstring running = RunningExecutable();
  std::uint64_t required = 2 * manifest.archive_size + kStagingReserve;
  for (const ManifestFile& file : manifest.files) {
    const fs::path destination = ClientPathFor(clientFolder, file);
    EnsureInsideClient(clientFolder, destination);
    // Normalised: libstdc++'s absolute() returns an absolute path unchanged,
    // so the "/" of a nested managed path would never equal the module
    // name's "\\" and a running ORVEX/Patch/PatchKur.exe would go unnoticed.
    if (!running.empty() &&
        SameTextIgnoringCase(running, fs::absolute(destination).lexically_normal().wstring())) {
      Fail("This package replaces the running launcher; use a standalone launcher installer.");
    }
    required += file.size;
    const fs::file_status status = FsStatus(destination);
    if (fs::exists(status)) {
      if (!fs::is_regular_file(status)) Fail("Update destination is not a regular file.");
      const DWORD attributes = ::GetFileAttributesW(destination.c_str());
      if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
        Fail("Update destination is read-only.");
      }
      required += FsFileSize(destination);
    }
  }
  if (FsSpace(clientFolder).available < required) Fail("Not enough disk space for staging and rollback.");

  // 6-7: the transaction directory, self-contained for the recovery.
  const fs::path current = TransactionDirectoryPath(clientFolder);
  EnsureInsideClient(clientFolder, current);
  const fs::path staging = current / "files";
  FsCreateDirectories(current);
  FsCreateDirectories(staging);
  WriteDurableFile(current / "manifest", ReadBoundedFile(manifestFile, kMaxMetadataBytes));
  WriteDurableFile(current / "signature", ReadBoundedFile(signatureFile, kMaxSignatureBytes));

  // 8-9: every archive entry must be a signed file, once.
  std::map<std::string, const ManifestFile*> index;
  for (const ManifestFile& file : manifest.files) index[AsciiLower(file.path)] = &file;
  const ListedArchive listed = ListArchive(archiveFile, staging, index);

  // 10-11: extract, rebuild deltas, verify and flush every staged file.
  report("Extracting verified update into staging...");
  if (ExtractArchive(NarrowFromPath(archiveFile).c_str(), NarrowFromPath(staging).c_str()) != 0) {
    Fail("Patch extraction failed.");
  }
  for (const ManifestFile& file : manifest.files) {
    const fs::path staged = staging / fs::path(file.path);
    EnsureInsideClient(clientFolder, staged);
    const auto delta = listed.deltas.find(AsciiLower(file.path));
    if (delta != listed.deltas.end()) {
      EnsureInsideClient(clientFolder, delta->second);
      RebuildFromDelta(ClientPathFor(clientFolder, file), delta->second, staged, file, progress);
    }
    if (!FileMatches(staged, file)) Fail("Extracted file hash mismatch.");
    FlushFile(staged);
  }

  // 12-13: backups of every file about to be replaced, then the journal.
  std::string journal = JournalHeader(installedVersion);
  for (const ManifestFile& file : manifest.files) {
    const fs::path destination = ClientPathFor(clientFolder, file);
    const fs::path backup = current / "backup" / fs::path(file.path);
    EnsureInsideClient(clientFolder, backup);
    if (FsExists(destination)) {
      FsCreateDirectories(backup.parent_path());
      FsCopyFile(destination, backup, fs::copy_options::none);
      FlushFile(backup);
      journal += JournalLineExisting(file.path, FsFileSize(backup), HashFileHex(backup));
    } else {
      journal += JournalLineAbsent(file.path);
    }
  }
  Checkpoint("journal");
  WriteDurableFile(current / "journal.tmp", journal);
  ReplaceClientFile(clientFolder, current / "journal.tmp", current / "journal");
  Checkpoint("replace");
  report("Installing update; rollback backup is ready...");

  // 15-18: swap, verify, record the version, commit.
  for (std::size_t i = 0; i < manifest.files.size(); ++i) {
    if (i == manifest.files.size() / 2) Checkpoint("replace-half");
    const ManifestFile& file = manifest.files[i];
    ReplaceClientFile(clientFolder, staging / fs::path(file.path), ClientPathFor(clientFolder, file));
  }
  for (const ManifestFile& file : manifest.files) {
    if (!FileMatches(ClientPathFor(clientFolder, file), file)) Fail("Installed file verification failed.");
  }
  SaveClientVersion(clientFolder, static_cast<std::uint32_t>(manifest.version));
  WriteDurableFile(current / "committed", std::string_view("1\n"));
  Checkpoint("committed");

  // 19: the journal goes first, so that a crash in the middle of the clean-up
  // still finds "committed" beside any journal that is left (never rolled
  // back). From the commit on the update is installed: a clean-up that fails
  // (a scanner still holds a backup) does not make it a failure; the next
  // download or repair removes what is left.
  try {
    FsRemove(current / "journal");
    RemoveUpdateDirectory(clientFolder, current);
  } catch (const std::exception&) {
  }
}

}  // namespace orvex_update
