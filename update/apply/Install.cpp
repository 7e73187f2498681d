#include "update/apply/Install.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include "common/Errors.h"
#include "update/disk/FileCalls.h"
#include "update/disk/Cancel.h"
#include "update/apply/Delta.h"
#include "update/disk/Digest.h"
#include "update/disk/FileWork.h"
#include "update/apply/Journal.h"
#include "update/apply/JournalFormat.h"
#include "update/manifests/Manifest.h"
#include "update/disk/OrderedWork.h"
#include "update/disk/Paths.h"
#include "update/disk/Version.h"
#include "update/unpack/Zip.h"

namespace orvex_update {
namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kStagingReserve = 268435456;  // 256 MiB
constexpr std::uint32_t kMaxListedEntries = 40000;
constexpr std::uint64_t kMaxDeltaGrowth = 2097152;  // 2 MiB
constexpr std::uint64_t kMaxMetadataBytes = 16777216;
// Staged files at least this large are flushed behind the extraction.
constexpr std::uint64_t kFlushBehindBytes = 8388608;

[[nodiscard]] bool SameTextIgnoringCase(const std::wstring& a, const std::wstring& b) {
  return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
         CSTR_EQUAL;
}

std::wstring RunningExecutable() {
  wchar_t buffer[260] = {};
  const DWORD length = ::GetModuleFileNameW(nullptr, buffer, 260);
  return (length > 0 && length < 260) ? std::wstring(buffer, length) : std::wstring();
}

// Which names one folder holds, from one listing of it. Wine reads the whole
// folder for every name it cannot find, so asking about each new name of a
// patch one by one costs the square of a large folder; the listing answers
// "not there" for all of them at once. Only that answer is taken from it:
// a name that is there, or one the listing cannot speak for, is asked about
// as before.
class FolderNames {
 public:
  enum class Answer { kAbsent, kAsk };

  Answer Find(const fs::path& path) {
    const std::wstring name = path.filename().native();
    std::string key;
    // Letter case beyond ASCII, short-name aliases and names that the Win32
    // layer would trim are matched by rules the listing does not mirror.
    if (name.empty() || name.back() == L'.' || name.back() == L' ' || !AsciiKey(name, key) ||
        key.find('~') != std::string::npos) {
      return Answer::kAsk;
    }
    const Listing& listing = List(path.parent_path());
    if (!listing.complete || listing.names.count(key) != 0) return Answer::kAsk;
    return Answer::kAbsent;
  }

 private:
  struct Listing {
    bool complete = false;
    std::set<std::string> names;
  };

  static bool AsciiKey(const std::wstring& name, std::string& key) {
    key.clear();
    for (const wchar_t c : name) {
      if (c == 0 || c > 0x7F) return false;
      key.push_back(static_cast<char>(c >= L'a' && c <= L'z' ? c - L'a' + L'A' : c));
    }
    return true;
  }

  const Listing& List(const fs::path& folder) {
    const auto found = folders_.find(folder.native());
    if (found != folders_.end()) return found->second;
    Listing& listing = folders_[folder.native()];
    WIN32_FIND_DATAW data{};
    const std::wstring pattern = (folder / L"*").native();
    const calls::UniqueFind find(calls::FindFirstFileExW(pattern.c_str(), &data, FIND_FIRST_EX_LARGE_FETCH));
    if (!find) {
      const DWORD error = ::GetLastError();
      // A folder that is not there holds no names.
      listing.complete = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
      return listing;
    }
    bool complete = true;
    std::string key;
    do {
      if (!AsciiKey(data.cFileName, key)) complete = false;
      listing.names.insert(key);
      if (data.cAlternateFileName[0] != L'\0' && AsciiKey(data.cAlternateFileName, key)) listing.names.insert(key);
    } while (complete && calls::FindNextFileW(find.Get(), &data));
    if (complete && ::GetLastError() != ERROR_NO_MORE_FILES) complete = false;
    listing.complete = complete;
    return listing;
  }

  std::map<std::wstring, Listing> folders_;
};

// FileMatches for an installed file through one open: its type and size
// asked of the handle, its bytes hashed from it, writers shut out meanwhile.
// Anything unusual (no plain disk file, an open that fails) goes to
// FileMatches itself, for its retries and its own errors.
[[nodiscard]] bool InstalledFileMatches(const fs::path& path, const ManifestFile& entry) {
  win::UniqueFile file(calls::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN));
  FILE_STANDARD_INFO info{};
  if (!file || calls::GetFileType(file.Get()) != FILE_TYPE_DISK ||
      !calls::GetFileInformationByHandleEx(file.Get(), FileStandardInfo, &info, sizeof info) || info.Directory ||
      info.EndOfFile.QuadPart < 0) {
    file.Reset();
    return FileMatches(path, entry);
  }
  if (static_cast<std::uint64_t>(info.EndOfFile.QuadPart) != entry.size) return false;
  return HashOpenFileHex(file.Get()) == entry.sha256;
}

// The check after the swap: every installed file read back and hashed,
// several at a time, judged in manifest order. Its size, write time or file
// identity cannot stand in for its bytes: a file of the same size and time
// renamed over the destination would pass, and so would a write into the
// staged file by a program that puts its write time back. A held file is the
// exception: no other open could write it since the extraction hashed what it
// wrote (see ExtractedFile), so the destination naming that very file object
// is enough.
void VerifyInstalledFiles(const fs::path& clientFolder, const std::vector<ManifestFile>& files,
                          const std::vector<win::UniqueFile>& held) {
  const auto matches = [&](std::size_t i) {
    const fs::path path = ClientPathFor(clientFolder, files[i]);
    if (held[i] && NamesHeldFile(path, held[i].Get())) return true;
    return InstalledFileMatches(path, files[i]);
  };
  constexpr std::size_t kWindow = 64;
  std::vector<unsigned char> results(kWindow);
  std::optional<OrderedWork> work;
  try {
    work.emplace(files.size(), std::clamp(std::thread::hardware_concurrency(), 2u, 4u), kWindow,
                 [&](std::size_t, std::size_t index, std::size_t slot, const std::atomic<bool>&) {
                   results[slot] = matches(index) ? 1 : 0;
                 });
  } catch (const std::system_error&) {
    // No thread to be had: the same check, one file after another.
  }
  for (std::size_t i = 0; i < files.size(); ++i) {
    const bool ok = work ? results[work->Take(i)] != 0 : matches(i);
    if (!ok) fail::Throw(fail::Kind::kIntegrity, "Installed file verification failed.");
  }
}

// The archive's digest text, from one sequential pass over the open file.
// Nothing in it is parsed before this digest has matched the signed one.
// Throws HashFileHex's messages.
std::string HashArchive(HANDLE archive) {
  StreamHasher whole;
  std::vector<std::uint8_t> buffer(256 * 1024);  // stays in the cache between the read and the hasher's copy
  for (;;) {
    ThrowIfCancelled();
    DWORD read = 0;
    if (!calls::ReadFile(archive, buffer.data(), static_cast<DWORD>(buffer.size()), &read)) {
      fail::Throw(fail::Kind::kDisk, "Cannot completely read update file.");
    }
    if (read == 0) break;
    whole.Add(buffer.data(), read);
  }
  return whole.FinishHex();
}

// A client file that the install replaces, as its journal line records it:
// its size and digest as it is before the install, which its backup keeps
// (the backup is the file itself, moved aside).
struct ClientFileBefore {
  bool taken = false;  // looked at
  bool exists = false;
  std::uint64_t size = 0;
  std::string sha256;
};

// The size and digest of the client file at destination, or none there.
// names answers "not there" for many names at once.
ClientFileBefore LookAtClientFile(FolderNames& names, const fs::path& destination) {
  ClientFileBefore before;
  before.taken = true;
  before.exists = names.Find(destination) != FolderNames::Answer::kAbsent && FsExists(destination);
  if (!before.exists) return before;
  const HashedFile hashed = HashFileIdentified(destination);
  before.size = hashed.identity.index != 0 ? hashed.identity.size : FsFileSize(destination);
  before.sha256 = hashed.sha256;
  return before;
}

// The reading of the client files that pick selects, for their journal lines,
// in manifest order, into found. stop ends the pass between files.
void LookAtClientFiles(const fs::path& clientFolder, const std::vector<ManifestFile>& files,
                       const std::function<bool(std::size_t)>& pick, std::vector<ClientFileBefore>& found,
                       const std::atomic<bool>& stop) {
  FolderNames names;
  for (std::size_t i = 0; i < files.size() && !stop; ++i) {
    if (pick(i)) found[i] = LookAtClientFile(names, ClientPathFor(clientFolder, files[i]));
  }
}

struct ListedArchive {
  std::map<std::string, fs::path> deltas;  // lower-cased target -> staged delta path
};

ListedArchive ListArchive(const fs::path& archiveFile, const fs::path& staging,
                          const std::map<std::string, const ManifestFile*>& index) {
  ListedArchive listed;
  // The archive layer takes names in the narrow file calls' code page.
  const std::string archiveName = NarrowFromPath(archiveFile);
  std::unique_ptr<PatchArchive> archive = PatchArchive::Open(archiveName.c_str());
  if (!archive) fail::Throw(fail::Kind::kIntegrity, "Cannot open patch archive.");
  const std::uint32_t count = archive->EntryCount();
  if (count > kMaxListedEntries) fail::Throw(fail::Kind::kIntegrity, "Invalid archive entry count.");
  std::set<std::string> seen;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (archive->OpenEntry(static_cast<std::int32_t>(i)) != 0)
      fail::Throw(fail::Kind::kIntegrity, "Cannot read archive entry.");
    const char* storedName = archive->CurrentName();
    std::string name = storedName ? storedName : "";
    const bool directory = archive->CurrentIsDirectory();
    const std::uint64_t size = archive->CurrentUncompressedSize();
    archive->CloseEntry();
    for (char& c : name) {
      if (c == '\\') c = '/';
    }
    if (directory && !name.empty() && name.back() == '/') name.pop_back();
    if (!IsManagedPath(name)) fail::Throw(fail::Kind::kIntegrity, "Unsafe archive entry.");
    if (directory) continue;

    const std::string lower = AsciiLower(name);
    const bool isDelta =
        lower.size() >= 5 && lower.ends_with(".ord") && IsDeltaTarget(lower.substr(0, lower.size() - 4));
    const std::string target = isDelta ? name.substr(0, name.size() - 4) : name;
    const std::string targetKey = AsciiLower(target);
    const auto found = index.find(targetKey);
    if (found == index.end() || found->second->path != target || !seen.insert(targetKey).second) {
      fail::Throw(fail::Kind::kIntegrity, "Archive contents do not match the signed manifest.");
    }
    const ManifestFile& entry = *found->second;
    if (!isDelta) {
      if (size != entry.size)
        fail::Throw(fail::Kind::kIntegrity, "Archive file size does not match the signed manifest.");
    } else {
      if (size < 24 || size > entry.size + kMaxDeltaGrowth)
        fail::Throw(fail::Kind::kIntegrity, "Invalid delta archive size.");
      listed.deltas[targetKey] = staging / fs::path(name);
    }
  }
  if (seen.size() != index.size()) fail::Throw(fail::Kind::kIntegrity, "Archive is missing signed files.");
  return listed;
}

// The signed manifest, the version step and the archive itself, checked before
// anything else is done. The archive is returned held without write sharing,
// so that the bytes hashed now are the bytes that are listed and extracted;
// until the digest has matched it is only read as bytes, its records are
// parsed after that, by the listing.
struct VerifiedPackage {
  UpdateManifest manifest;
  win::UniqueFile archive;
};

VerifiedPackage VerifyPackage(const InstallRequest& request) {
  const auto& [manifestFile, signatureFile, archiveFile, targetVersion, installedVersion, allowSameVersion] = request;
  VerifiedPackage package;
  package.manifest = LoadSignedManifest(manifestFile, signatureFile);
  const UpdateManifest& manifest = package.manifest;
  const bool forward = allowSameVersion ? targetVersion >= installedVersion : targetVersion > installedVersion;
  if (static_cast<std::uint32_t>(manifest.version) != targetVersion || !forward) {
    fail::Throw(fail::Kind::kIntegrity, "Update version is invalid or older than the installed client.");
  }
  if (!fs::is_regular_file(FsStatus(archiveFile)) || FsFileSize(archiveFile) != manifest.archive_size) {
    fail::Throw(fail::Kind::kIntegrity, "Downloaded archive hash or size is invalid.");
  }
  package.archive = OpenFileRetrying(archiveFile, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN);
  if (!package.archive) fail::Throw(fail::Kind::kDisk, "Cannot hash update file.");
  if (HashArchive(package.archive.Get()) != manifest.archive_sha256) {
    fail::Throw(fail::Kind::kIntegrity, "Downloaded archive hash or size is invalid.");
  }
  Checkpoint("hashed");
  return package;
}

// Every destination checked (contained, not the running launcher, a regular
// file that is not read-only) and the space for staging and backups. The
// guard checks the folders of every path once each and holds them until the
// clean-up.
void Preflight(ContainmentGuard& guard, const fs::path& clientFolder, const UpdateManifest& manifest) {
  const std::wstring running = RunningExecutable();
  std::uint64_t required = 2 * manifest.archive_size + kStagingReserve;
  FolderNames names;
  std::set<std::wstring> foldersChecked;  // folders not there yet are asked about once
  for (const ManifestFile& file : manifest.files) {
    const fs::path destination = ClientPathFor(clientFolder, file);
    // A name the folder does not hold is neither a link nor a file to
    // check; every other is asked about as it stands.
    const bool absent = names.Find(destination) == FolderNames::Answer::kAbsent;
    if (absent) {
      if (foldersChecked.insert(destination.parent_path().native()).second) guard.CheckFolders(destination);
    } else {
      guard.Check(destination);
    }
    // Normalised: libstdc++'s absolute() returns an absolute path unchanged,
    // so the "/" of a nested managed path would never equal the module
    // name's "\\" and a running ORVEX/Patch/PatchKur.exe would go unnoticed.
    if (!running.empty() && SameTextIgnoringCase(running, fs::absolute(destination).lexically_normal().wstring())) {
      fail::Throw(fail::Kind::kUsage,
                  "This package replaces the running launcher; use a standalone launcher installer.");
    }
    required += file.size;
    if (absent) continue;
    const fs::file_status status = FsStatus(destination);
    if (fs::exists(status)) {
      if (!fs::is_regular_file(status))
        fail::Throw(fail::Kind::kIntegrity, "Update destination is not a regular file.");
      const DWORD attributes = calls::GetFileAttributesW(destination.c_str());
      if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
        fail::Throw(fail::Kind::kDisk, "Update destination is read-only.");
      }
      required += FsFileSize(destination);
    }
  }
  if (FsSpace(clientFolder).available < required)
    fail::Throw(fail::Kind::kDisk, "Not enough disk space for staging and rollback.");
}

// The transaction directory, self-contained for the recovery: the signed
// manifest and its signature beside the staging folder. Returns its path.
fs::path OpenTransaction(ContainmentGuard& guard, const fs::path& clientFolder, const fs::path& manifestFile,
                         const fs::path& signatureFile) {
  const fs::path current = TransactionDirectoryPath(clientFolder);
  guard.Check(current);
  FsCreateDirectories(current);
  FsCreateDirectories(current / "files");
  WriteDurableFile(current / "manifest", ReadBoundedFile(manifestFile, kMaxMetadataBytes), FlushSite::kManifestCopy);
  WriteDurableFile(current / "signature", ReadBoundedFile(signatureFile, kMaxSignatureBytes),
                   FlushSite::kSignatureCopy);
  return current;
}

// The size and digest of every client file that the install replaces, read
// on two threads of their own while the archive is extracted, so that hashing
// them takes what the extraction leaves of both cores. Nothing of the client
// changes before the journal, so the order of the two does not matter for the
// recovery; a failure of the staging is still the one reported. The files are
// dealt out by size; the first failure stops both threads and is thrown by
// Finish. A share whose thread cannot start is left for Finish's caller.
class ClientFileReading {
 public:
  ClientFileReading(const fs::path& clientFolder, const std::vector<ManifestFile>& files,
                    std::function<bool(std::size_t)> skip, std::vector<ClientFileBefore>& found)
      : clientFolder_(clientFolder), files_(files), skip_(std::move(skip)), found_(found), share_(files.size(), 0) {
    std::uint64_t dealt[kThreads] = {};
    for (std::size_t i = 0; i < files.size(); ++i) {
      const std::size_t share = dealt[1] < dealt[0] ? 1 : 0;
      share_[i] = share;
      dealt[share] += files[i].size + 1;
    }
  }
  ClientFileReading(const ClientFileReading&) = delete;
  ClientFileReading& operator=(const ClientFileReading&) = delete;
  // Leaving early (the staging failed) stops the threads and waits for them.
  ~ClientFileReading() {
    stop_ = true;
    Join();
  }

  void Start() {
    for (std::size_t share = 0; share < kThreads; ++share) {
      try {
        threads_.push_back(StartWorkerThread([this, share] { Read(share); }));
      } catch (const std::system_error&) {
        // No thread to be had: this share is read after the staging, on
        // the caller's thread, with the files that nothing has looked at yet.
      }
    }
  }

  // Waits for both threads; throws the first failure.
  void Finish() {
    Join();
    if (failure_) std::rethrow_exception(failure_);
  }

 private:
  static constexpr std::size_t kThreads = 2;

  void Read(std::size_t share) {
    try {
      LookAtClientFiles(
          clientFolder_, files_, [&](std::size_t i) { return share_[i] == share && !skip_(i); }, found_, stop_);
    } catch (...) {
      const std::lock_guard lock(failureLock_);
      if (!failure_) failure_ = std::current_exception();
      stop_ = true;
    }
  }

  void Join() {
    for (std::thread& thread : threads_) {
      if (thread.joinable()) thread.join();
    }
  }

  const fs::path& clientFolder_;
  const std::vector<ManifestFile>& files_;
  std::function<bool(std::size_t)> skip_;
  std::vector<ClientFileBefore>& found_;
  std::vector<std::size_t> share_;
  std::atomic<bool> stop_{false};
  std::mutex failureLock_;
  std::exception_ptr failure_;
  std::vector<std::thread> threads_;
};

// What the staging leaves for the rest of the install: each client file as
// it was before (its journal line).
struct StagedUpdate {
  std::vector<ClientFileBefore> clientBefore;
  // Per manifest entry: the extraction's handle of the staged file, when it
  // kept one (see ExtractedFile). Nobody else has been able to write the
  // file since its bytes were hashed, nor can while this is open.
  std::vector<win::UniqueFile> held;
};

// Extracts the archive into staging, rebuilds the deltas and verifies every
// staged file; the extraction and the rebuild hash the bytes as they write
// them, which is the check of each staged file. Each one is flushed once it
// has been moved into place: that one flush puts both its bytes and its new
// name on disk. Large staged files are flushed behind the extraction into
// earlyFlushes, while the next ones are written: their bytes then reach the
// disk beside other work, and the flush after the move (which alone counts)
// has only the move left to write. The archive's hold ends with the
// extraction. A rebuilt client file's digest is recorded in clientBefore,
// and the handles of held staged files (the extraction's and the rebuilds')
// in held.
void ExtractAndVerify(ContainmentGuard& guard, const fs::path& clientFolder, const UpdateManifest& manifest,
                      const fs::path& archiveFile, win::UniqueFile& archiveHold, const fs::path& staging,
                      const ListedArchive& listed, FlushQueue& earlyFlushes, const StatusCallback& status,
                      StagedUpdate& staged) {
  if (status) status("Extracting verified update into staging...");
  const auto pathKey = [](std::wstring path) {
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return path;
  };
  // A delta is read by its rebuild and never installed, so it is never
  // flushed: a flush's handle (write and delete access) would also shut
  // the rebuild's read of it out for as long as the flush takes.
  std::set<std::wstring> deltaPaths;
  for (const auto& delta : listed.deltas) deltaPaths.insert(pathKey(delta.second.native()));
  std::vector<ExtractedFile> extracted;
  const auto flushBehind = [&](const ExtractedFile& file) {
    if (file.file.identity.size < kFlushBehindBytes || deltaPaths.count(pathKey(file.path)) != 0) return;
    // A held file can only be opened again through its own handle.
    if (!file.held) {
      earlyFlushes.AddAhead(file.path);
    } else if (win::UniqueFile copy = DuplicateOpenFile(file.held.Get())) {
      earlyFlushes.AddAhead(std::move(copy));
    }
  };
  unsigned long extractionCode = 0;
  if (ExtractArchive(NarrowFromPath(archiveFile).c_str(), NarrowFromPath(staging).c_str(), &extracted,
                     flushBehind, &extractionCode) != 0) {
    fail::ThrowNamingDisk(fail::Kind::kDisk, "Patch extraction failed.", extractionCode);
  }
  archiveHold.Reset();
  std::map<std::wstring, ExtractedFile*> written;
  for (ExtractedFile& file : extracted) written[pathKey(file.path)] = &file;
  std::size_t heldCount = 0;  // the extraction's and the rebuilds' together
  // A delta is read by its rebuild, not installed: it is let go.
  for (const auto& delta : listed.deltas) {
    const auto found = written.find(pathKey(delta.second.native()));
    if (found != written.end()) found->second->held.Reset();
  }
  for (std::size_t i = 0; i < manifest.files.size(); ++i) {
    const ManifestFile& file = manifest.files[i];
    const fs::path stagedPath = staging / fs::path(file.path);
    guard.Check(stagedPath);
    const auto delta = listed.deltas.find(AsciiLower(file.path));
    if (delta != listed.deltas.end()) {
      guard.Check(delta->second);
      RebuiltFile rebuilt;
      const bool hold = file.size >= HeldFileBytes() && heldCount < kMaxHeldFiles;
      RebuildFromDelta(ClientPathFor(clientFolder, file), delta->second, stagedPath, file, status, rebuilt, hold);
      if (rebuilt.held) ++heldCount;
      staged.held[i] = std::move(rebuilt.held);
      // The rebuild read the whole client file, which was that one file
      // throughout: its digest is the journal's.
      if (!rebuilt.base.sha256.empty() && rebuilt.base.identity.index != 0) {
        staged.clientBefore[i] = {true, true, rebuilt.base.identity.size, rebuilt.base.sha256};
      }
      continue;  // the rebuild has checked its output against the entry
    }
    const auto found = written.find(pathKey(stagedPath.native()));
    if (found != written.end()) {
      const HashedFile& stagedFile = found->second->file;
      const std::uint64_t size = stagedFile.identity.index != 0 ? stagedFile.identity.size : FsFileSize(stagedPath);
      if (stagedFile.sha256 != file.sha256 || size != file.size) {
        fail::Throw(fail::Kind::kIntegrity, "Extracted file hash mismatch.");
      }
      staged.held[i] = std::move(found->second->held);
      if (staged.held[i]) ++heldCount;
    } else if (!FileMatches(stagedPath, file)) {
      fail::Throw(fail::Kind::kIntegrity, "Extracted file hash mismatch.");
    }
  }
}

// Every archive entry checked against the signed files, then the staging,
// with the client files that the install replaces read beside it. The game
// archives that a delta rebuilds are hashed by the rebuild's own read of them.
StagedUpdate Stage(ContainmentGuard& guard, const fs::path& clientFolder, const UpdateManifest& manifest,
                   const fs::path& archiveFile, win::UniqueFile& archiveHold, const fs::path& staging,
                   FlushQueue& earlyFlushes, const StatusCallback& status) {
  std::map<std::string, const ManifestFile*> index;
  for (const ManifestFile& file : manifest.files) index[AsciiLower(file.path)] = &file;
  const ListedArchive listed = ListArchive(archiveFile, staging, index);

  StagedUpdate staged;
  staged.clientBefore.resize(manifest.files.size());
  staged.held.resize(manifest.files.size());
  ClientFileReading reading(
      clientFolder, manifest.files,
      [&](std::size_t i) { return listed.deltas.count(AsciiLower(manifest.files[i].path)) != 0; },
      staged.clientBefore);
  reading.Start();
  ExtractAndVerify(guard, clientFolder, manifest, archiveFile, archiveHold, staging, listed, earlyFlushes, status,
                   staged);
  reading.Finish();
  Checkpoint("staged");
  // The client files not looked at yet: the game archives the rebuilds
  // did not read whole, the share of a thread that could not start.
  FolderNames names;
  for (std::size_t i = 0; i < manifest.files.size(); ++i) {
    if (!staged.clientBefore[i].taken) {
      staged.clientBefore[i] = LookAtClientFile(names, ClientPathFor(clientFolder, manifest.files[i]));
    }
  }
  return staged;
}

// The journal, on disk before any client file changes, and held from then
// until the clean-up (see HoldJournal).
win::UniqueFile WriteJournal(ContainmentGuard& guard, const fs::path& current, std::uint32_t installedVersion,
                  const std::vector<ManifestFile>& files, const std::vector<ClientFileBefore>& clientBefore) {
  std::string journal = JournalHeader(installedVersion);
  for (std::size_t i = 0; i < files.size(); ++i) {
    const ClientFileBefore& before = clientBefore[i];
    journal += before.exists ? JournalLineExisting(files[i].path, before.size, before.sha256)
                             : JournalLineAbsent(files[i].path);
  }
  Checkpoint("journal");
  RecordMovedBackups(current);
  WriteDurableFile(current / "journal.tmp", journal, FlushSite::kJournal);
  ReplaceClientFile(guard, current / "journal.tmp", current / "journal");
  // Wine ignores MOVEFILE_WRITE_THROUGH: only a flush of the moved file puts
  // the move on disk, and a client file must not change before it is there.
  FlushStagedFile(current / "journal", FlushSite::kJournalMove);
  win::UniqueFile hold = HoldJournal(current);
  Checkpoint("replace");
  return hold;
}

// The backups: every client file that is replaced is moved, as it is, to
// its place under current/backup (a rename on the same volume), and each
// one is flushed there, several at a time, before the first installed file
// takes a replaced file's name: otherwise a power cut could keep the
// installed file's move and lose the backup's, and the old file with it.
//
// Another program may have been at a client file since it was hashed. One
// that removed it (a scanner's quarantine) leaves nothing to back up: the
// journal's line for it has no backup, which the recovery reads as a file
// the install never touched, and the new file simply takes the free name.
// One that put another file in its place or wrote into it leaves a backup
// other than the journal recorded; the recovery moves such a backup back as
// it is, so neither makes the install fail.
void BackUpReplacedFiles(ContainmentGuard& guard, const fs::path& clientFolder, const fs::path& current,
                         const std::vector<ManifestFile>& files, const std::vector<ClientFileBefore>& clientBefore) {
  FlushQueue flushes;
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (!clientBefore[i].exists) continue;
    const fs::path client = ClientPathFor(clientFolder, files[i]);
    const fs::path backup = current / "backup" / fs::path(files[i].path);
    win::UniqueFile moved;
    try {
      moved = ReplaceClientFileHeld(guard, client, backup);
    } catch (const std::runtime_error&) {
      if (!fs::exists(FsStatus(client)) && !fs::exists(FsStatus(backup))) continue;
      throw;
    }
    flushes.Add(std::move(moved), FlushSite::kBackupMove);
  }
  flushes.Wait();
}

// Every staged file moved into place and flushed after its move, several at
// a time; until the commit a power cut is rolled back from the backups.
// A held staged file moves through its own handle and stays held.
void ReplaceClientFiles(ContainmentGuard& guard, const fs::path& clientFolder, const fs::path& staging,
                        const std::vector<ManifestFile>& files, const std::vector<win::UniqueFile>& held) {
  FlushQueue flushes;
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (i == files.size() / 2) Checkpoint("replace-half");
    const fs::path source = staging / fs::path(files[i].path);
    const fs::path destination = ClientPathFor(clientFolder, files[i]);
    if (!held[i]) {
      flushes.Add(ReplaceClientFileHeld(guard, source, destination), FlushSite::kStaged);
      continue;
    }
    ReplaceClientFileThrough(guard, held[i].Get(), source, destination);
    win::UniqueFile copy = DuplicateOpenFile(held[i].Get());
    if (!copy) fail::Throw(fail::Kind::kDisk, "Cannot flush staged update file.");
    flushes.Add(std::move(copy), FlushSite::kStaged);
  }
  flushes.Wait();
}

// The installed files verified, the version recorded, and the commit marker
// on disk: from here on the update is installed.
void Commit(const fs::path& clientFolder, const fs::path& current, const UpdateManifest& manifest,
            std::vector<win::UniqueFile>& held) {
  Checkpoint("verify");
  VerifyInstalledFiles(clientFolder, manifest.files, held);
  held.clear();
  SaveClientVersion(clientFolder, static_cast<std::uint32_t>(manifest.version));
  WriteDurableFile(current / "committed", std::string_view("1\n"), FlushSite::kCommitted);
  Checkpoint("committed");
}

// The journal goes first, so that a crash in the middle of the clean-up
// still finds "committed" beside any journal that is left (never rolled
// back). A clean-up that fails (a scanner still holds a backup) does not
// make the install a failure; the next download or repair removes what is
// left.
void CleanUp(ContainmentGuard& guard, const fs::path& clientFolder, const fs::path& current,
             win::UniqueFile& journalHold) {
  guard.Release();
  journalHold.Reset();
  try {
    RetireJournal(clientFolder, current);
    RemoveUpdateDirectory(clientFolder, current);
  } catch (const std::exception&) {
  }
}

}  // namespace

void InstallUpdate(const fs::path& clientFolder, const InstallRequest& request, const StatusCallback& status) {
  VerifiedPackage package = VerifyPackage(request);
  const UpdateManifest& manifest = package.manifest;
  ContainmentGuard guard(clientFolder);
  Preflight(guard, clientFolder, manifest);
  const fs::path current = OpenTransaction(guard, clientFolder, request.manifestFile, request.signatureFile);
  const fs::path staging = current / "files";
  FlushQueue earlyFlushes;
  StagedUpdate staged =
      Stage(guard, clientFolder, manifest, request.archiveFile, package.archive, staging, earlyFlushes, status);

  win::UniqueFile journalHold =
      WriteJournal(guard, current, request.installedVersion, manifest.files, staged.clientBefore);
  if (status) status("Installing update; rollback backup is ready...");
  try {
    earlyFlushes.Wait();
  } catch (const std::exception&) {
    // Only the flush after each move counts.
  }
  BackUpReplacedFiles(guard, clientFolder, current, manifest.files, staged.clientBefore);
  ReplaceClientFiles(guard, clientFolder, staging, manifest.files, staged.held);
  Commit(clientFolder, current, manifest, staged.held);
  CleanUp(guard, clientFolder, current, journalHold);
}

}  // namespace orvex_update
