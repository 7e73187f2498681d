#include "update/repair/Repair.h"

#include "common/Windows.h"

#include <algorithm>
#include <deque>
#include <exception>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <thread>
#include <unordered_set>
#include <vector>

#include "common/Errors.h"
#include "Deployment.h"
#include "common/WinHandles.h"
#include "update/disk/FileCalls.h"
#include "update/disk/Cancel.h"
#include "update/manifests/ClientManifest.h"
#include "update/disk/Digest.h"
#include "update/fetch/Https.h"
#include "update/apply/Journal.h"
#include "update/disk/OrderedWork.h"
#include "update/disk/Paths.h"
#include "update/repair/RepairPlan.h"

namespace orvex_update {
namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kCopyChunk = 65536;
constexpr int kSegmentAttempts = 3;
// Entries examined ahead of the one whose result is applied: bounds the
// memory in flight (a destination path each) however long the manifests are.
constexpr std::size_t kCheckWindow = 128;
constexpr unsigned kMaxCheckWorkers = 4;

wchar_t FoldAscii(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

// The non-empty components of path made absolute and lexically normal, as
// EnsureInsideClient compares them.
std::vector<std::wstring> NormalComponents(const fs::path& path) {
  std::error_code error;
  const fs::path absolute = fs::absolute(path, error);
  if (error || absolute.empty()) fail::Throw(fail::Kind::kIntegrity, "Update path leaves client directory.");
  std::vector<std::wstring> parts;
  for (const fs::path& part : absolute.lexically_normal()) {
    if (!part.empty()) parts.push_back(part.native());
  }
  return parts;
}

// EnsureInsideClient for the destinations of one check pass, asking the file
// system about each parent folder once per pass instead of once per file
// (tens of thousands of files share a few hundred folders). What it still
// checks per file: the textual containment of the whole path; whether the
// file itself is a link is asked of the handle the check opens
// (EntryFileMatches). The pass only reads through what it checks; every
// write (ReplaceClientFile) runs the full check again right before it moves.
class PassContainment {
 public:
  explicit PassContainment(const fs::path& client) : client_(client), root_(NormalComponents(client)) {}

  void Ensure(const fs::path& destination) {
    const std::vector<std::wstring> target = NormalComponents(destination);
    if (root_.empty() || target.size() < root_.size() ||
        !std::equal(root_.begin(), root_.end(), target.begin(), [](const std::wstring& a, const std::wstring& b) {
          return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](wchar_t x, wchar_t y) {
                   return FoldAscii(x) == FoldAscii(y);
                 });
        })) {
      fail::Throw(fail::Kind::kIntegrity, "Update path leaves client directory.");
    }
    const fs::path parent = destination.parent_path();
    if (checkedFolders_.count(parent.native()) == 0) {
      EnsureInsideClient(client_, parent);
      checkedFolders_.insert(parent.native());
    }
  }

 private:
  fs::path client_;
  std::vector<std::wstring> root_;
  std::unordered_set<std::wstring> checkedFolders_;
};

// What one worker of the check pass keeps from file to file.
struct CheckWorker {
  explicit CheckWorker(const fs::path& client) : containment(client) {}
  PassContainment containment;
  std::optional<Sha256FileHasher> hasher;  // made on first use, on the worker's thread
};

constexpr char kLinkedPath[] = "Update path contains a junction or symbolic link.";

// FileMatches on one worker: one open, the type, the attributes and the size
// asked of the handle, and the hash from that handle (FileMatches asks for
// the status and the size by name and then opens). The file itself is opened,
// not what a link at its name points to, so that its own attributes tell a
// link apart without a query by name. Anything unusual (the file cannot be
// opened, is no plain disk file) goes to FileMatches itself, for its retries
// on held files and its own errors, after the same link check by name.
[[nodiscard]] bool EntryFileMatches(CheckWorker& worker, const fs::path& destination, std::uint64_t size, const Digest& digest,
                      const std::atomic<bool>& stop) {
  win::UniqueFile file(
      calls::CreateFileW(destination.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_OPEN_REPARSE_POINT));
  // FileStandardInfo, not GetFileInformationByHandle: Wine answers the
  // latter with a volume query on top, for a serial number not needed here.
  FILE_ATTRIBUTE_TAG_INFO tag{};
  FILE_STANDARD_INFO info{};
  if (!file || calls::GetFileType(file.Get()) != FILE_TYPE_DISK ||
      !calls::GetFileInformationByHandleEx(file.Get(), FileAttributeTagInfo, &tag, sizeof(tag)) ||
      !calls::GetFileInformationByHandleEx(file.Get(), FileStandardInfo, &info, sizeof(info)) || info.Directory ||
      info.EndOfFile.QuadPart < 0) {
    file.Reset();
    if (IsReparsePoint(destination)) fail::Throw(fail::Kind::kIntegrity, kLinkedPath);
    return FileMatches(destination, size, HexDigest(digest));
  }
  if ((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) fail::Throw(fail::Kind::kIntegrity, kLinkedPath);
  if (static_cast<std::uint64_t>(info.EndOfFile.QuadPart) != size) return false;
  if (!worker.hasher) worker.hasher.emplace();
  return worker.hasher->HashToEnd(file.Get(), [&stop] { return stop.load(); }) == digest;
}

// The part of one entry's check that touches the file system: the name
// rules, the containment check and the comparison with the file. Run on the
// workers, ahead of the apply loop; throws what the check throws.
struct EntryCheck {
  fs::path destination;
  bool matches = false;
};

void ExamineEntry(const fs::path& client, const StartupEntry& entry, CheckWorker& worker,
                  const std::atomic<bool>& stop, EntryCheck& out) {
  switch (ClassifyRepairName(entry.name)) {
    case RepairNameFault::kInvalid:
      fail::Throw(fail::Kind::kIntegrity, "Signed repair path is invalid.");
    case RepairNameFault::kNotUtf8:
      WidenUtf8(entry.name);  // throws its own message
      fail::Throw(fail::Kind::kIntegrity, "Signed repair path is invalid.");
    case RepairNameFault::kAbsolute:
      fail::Throw(fail::Kind::kIntegrity, "Signed repair path is absolute.");
    case RepairNameFault::kUnsafe:
      fail::Throw(fail::Kind::kIntegrity, "Signed repair path contains an unsafe component.");
    case RepairNameFault::kNone:
      break;
  }
  const fs::path relative(WidenUtf8(entry.name));
  // The text rules above already refuse these; the path's own view is the
  // one the file system will use, so it has the last word.
  if (relative.has_root_name() || relative.has_root_directory()) {
    fail::Throw(fail::Kind::kIntegrity, "Signed repair path is absolute.");
  }
  out.destination = client / relative;
  worker.containment.Ensure(out.destination);
  out.matches = EntryFileMatches(worker, out.destination, entry.size, entry.digest, stop);
}

struct DamagedObject {
  std::string name;
  std::string digest;
  std::uint64_t size = 0;
  std::vector<fs::path> destinations;
};

class RepairRun {
 public:
  RepairRun(const fs::path& clientFolder, std::uint32_t version, const StatusCallback& status,
            const ProgressCallback& progress, const BeforeInstallCallback& beforeInstall)
      : client_(clientFolder), version_(version), status_(status), progress_(progress), beforeInstall_(beforeInstall) {}

  void Run() {
    if (version_ < kMinRepairVersion || version_ > kMaxRepairVersion) {
      fail::Throw(fail::Kind::kIntegrity, "Invalid repair version.");
    }
    const UpdateLock lock(client_);
    RecoverTransaction(client_);

    const fs::path startupPath = StartupManifestPath(client_);
    const fs::path integrityPath = IntegrityManifestPath(client_);
    EnsureInsideClient(client_, startupPath);
    EnsureInsideClient(client_, integrityPath);
    StartupManifest startup;
    IntegrityManifest integrity;
    if (!ReadStartupManifest(startupPath, startup) || !ReadIntegrityManifest(integrityPath, integrity)) {
      fail::Throw(fail::Kind::kIntegrity, "Signed client manifests are invalid.");
    }
    catalogue_.insert(HashFileHex(startupPath));
    catalogue_.insert(HashFileHex(integrityPath));

    lastStatusMs_ = ::GetTickCount64();
    Status("Checking files... Please wait.");
    entryTotal_ = integrity.entries.size() + startup.size();
    CheckEntries(integrity.entries, startup);

    if (damaged_.empty()) {
      Status("All game files verified.");
      return;
    }

    std::set<std::string> wanted;
    for (const auto& [digest, object] : damaged_) wanted.insert(digest);
    prefix_ = RepairRequestPrefix(version_, CatalogueDigest(), RepairBitmap(catalogue_, wanted));

    std::uint64_t fileCount = 0;
    for (const auto& [digest, object] : damaged_) {
      total_ += object.size;
      fileCount += object.destinations.size();
    }
    if (total_ > kMaxRepairBytes) fail::Throw(fail::Kind::kIntegrity, "Requested repair is too large.");
    if (!RepairSpaceSufficient(FsSpace(client_).available, total_)) {
      fail::Throw(fail::Kind::kDisk, "Not enough disk space for batch repair.");
    }

    download_ = DownloadDirectoryPath(client_);
    RemoveUpdateDirectory(client_, download_);
    FsCreateDirectories(download_);
    try {
      Status("Downloading files... " + std::to_string(fileCount) + " files to repair.");
      const fs::path batch = download_ / "batch";
      Download(batch);
      if (FsFileSize(batch) != total_) fail::Throw(fail::Kind::kIntegrity, "Repair batch was incomplete.");
      if (progress_) progress_(0, 0);

      StageAndVerify(batch);
      if (beforeInstall_) beforeInstall_();
      Status("Installing verified files...");
      Install();
    } catch (...) {
      // Nothing in the download area is reused by a later repair (it starts by
      // removing it); a failed or cancelled repair must not leave it behind.
      try {
        RemoveUpdateDirectory(client_, download_);
      } catch (...) {
      }
      throw;
    }
    // Every damaged file is replaced: leftovers that cannot go yet (a scanner
    // still reads the batch) are removed by the next repair or download.
    try {
      RemoveUpdateDirectory(client_, download_);
    } catch (const std::exception&) {
    }
  }

 private:
  void Status(const std::string& text) const {
    if (status_) status_(text);
  }

  // Every integrity entry and then every startup entry, in file order. The
  // reading and hashing run on worker threads ahead of this loop, two per
  // core: a small file's check is mostly a wait for wineserver's answers to
  // its open and close, which another worker's hashing fills. Their results
  // are applied here one entry at a time in that order, so status texts, the
  // catalogue, the damaged list and the first error are exactly those of a
  // check that ran entry after entry.
  void CheckEntries(const std::vector<StartupEntry>& first, const std::vector<StartupEntry>& second) {
    const auto entryAt = [&](std::size_t index) -> const StartupEntry& {
      return index < first.size() ? first[index] : second[index - first.size()];
    };
    const std::size_t total = first.size() + second.size();
    const unsigned workers = std::clamp(2 * std::thread::hardware_concurrency(), 2u, kMaxCheckWorkers);
    std::deque<CheckWorker> states;
    for (unsigned i = 0; i < workers; ++i) states.emplace_back(client_);
    std::vector<EntryCheck> slots(kCheckWindow);
    OrderedWork work(total, workers, kCheckWindow,
                     [&](std::size_t worker, std::size_t index, std::size_t slot, const std::atomic<bool>& stop) {
                       ExamineEntry(client_, entryAt(index), states[worker], stop, slots[slot]);
                     });
    for (std::size_t index = 0; index < total; ++index) {
      const StartupEntry& entry = entryAt(index);
      ++counter_;
      if (status_) {
        const std::uint64_t now = ::GetTickCount64();
        if (RepairCheckStatusDue(counter_, now, lastStatusMs_)) {
          status_(RepairCheckStatus(counter_, entryTotal_, entry.name));
          lastStatusMs_ = now;
        }
      }
      const EntryCheck& checked = slots[work.Take(index)];
      const std::string digest = HexDigest(entry.digest);
      catalogue_.insert(digest);
      if (!checked.matches) AddDamaged(entry, digest, checked.destination);
    }
  }

  void AddDamaged(const StartupEntry& entry, const std::string& digest, const fs::path& destination) {
    if (IsRunningExecutable(destination)) {
      fail::Throw(fail::Kind::kIntegrity,
                  "The running Launcher is damaged. Replace it with the signed standalone Launcher.");
    }
    DamagedObject& object = damaged_[digest];
    if (object.destinations.empty()) {
      object.name = entry.name;
      object.digest = digest;
      object.size = entry.size;
    }
    if (object.size != entry.size) fail::Throw(fail::Kind::kIntegrity, "Signed repair objects have conflicting sizes.");
    object.destinations.push_back(destination);
  }

  static bool IsRunningExecutable(const fs::path& destination) {
    wchar_t module[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, module, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return false;
    std::error_code error;
    const fs::path running = fs::absolute(fs::path(module), error).lexically_normal();
    if (error) return false;
    const fs::path target = fs::absolute(destination, error).lexically_normal();
    if (error) return false;
    const std::wstring& a = running.native();
    const std::wstring& b = target.native();
    return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
  }

  std::string CatalogueDigest() const {
    const std::string text = RepairCatalogueText(catalogue_);
    Sha256 hash;
    Digest digest{};
    if (!hash.Update(text.data(), text.size()) || !hash.Finish(digest))
      fail::Throw(fail::Kind::kInternal, "SHA-256 failed.");
    return HexDigest(digest);
  }

  void Download(const fs::path& batch) {
    if (!RepairUsesPortion(total_)) {
      RequestSegment({0, total_}, batch);
      return;
    }
    win::UniqueFile out = OpenFileRetrying(batch, GENERIC_WRITE, 0, CREATE_ALWAYS);
    if (!out) fail::Throw(fail::Kind::kDisk, "Cannot open repair batch for staging.");
    const fs::path portion = download_ / "portion";
    std::vector<std::uint8_t> buffer(kCopyChunk);
    for (const RepairSegment& segment : RepairSegments(total_)) {
      Status("Downloading files...");
      RequestSegment(segment, portion);
      {
        const win::UniqueFile in = OpenFileRetrying(portion, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
        if (!in) fail::Throw(fail::Kind::kDisk, "Cannot stage repair batch segment.");
        for (;;) {
          DWORD read = 0;
          if (!calls::ReadFile(in.Get(), buffer.data(), kCopyChunk, &read)) {
            fail::Throw(fail::Kind::kDisk, "Cannot stage repair batch segment.");
          }
          if (read == 0) break;
          DWORD written = 0;
          if (!calls::WriteFile(out.Get(), buffer.data(), read, &written) || written != read) {
            fail::Throw(fail::Kind::kDisk, "Cannot stage repair batch segment.");
          }
        }
      }
      FsRemove(portion);
    }
    if (!out.Close(calls::CloseHandle))
      fail::Throw(fail::Kind::kDisk, "Unable to finish staging the repair batch.");
  }

  void RequestSegment(const RepairSegment& segment, const fs::path& file) {
    const std::string url = std::string(orvex_deploy::kPatchCdnUrl) + kRepairBatchName;
    ProgressCallback adapter;
    if (progress_) {
      adapter = [this, offset = segment.offset](std::uint64_t done, std::uint64_t) {
        progress_(offset + done, total_);
      };
    }
    for (int attempt = 1;; ++attempt) {
      try {
        HttpsDownload(url, file, segment.length, RepairSegmentBody(prefix_, segment.offset, segment.length), adapter);
        if (FsFileSize(file) != segment.length)
          fail::Throw(fail::Kind::kIntegrity, "Repair batch segment was incomplete.");
        return;
      } catch (const std::exception&) {
        if (attempt >= kSegmentAttempts) throw;
      }
      Status("Connection interrupted. Retrying download...");
      CancellableWait(attempt == 1 ? 1000 : 2000);
    }
  }

  void StageAndVerify(const fs::path& batch) {
    const win::UniqueFile in = OpenFileRetrying(batch, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    if (!in) fail::Throw(fail::Kind::kDisk, "Unable to stage repair data.");
    Status("Verifying downloaded files...");
    std::vector<std::uint8_t> buffer(kCopyChunk);
    // Objects lie in the batch in catalogue order, which is the map's order,
    // so reading straight on cuts each one out at its offset.
    for (const auto& [digest, object] : damaged_) {
      const fs::path staged = download_ / digest;
      win::UniqueFile out = OpenFileRetrying(staged, GENERIC_WRITE, 0, CREATE_ALWAYS);
      if (!out) fail::Throw(fail::Kind::kDisk, "Unable to stage repair data.");
      for (std::uint64_t left = object.size; left > 0;) {
        const DWORD want = static_cast<DWORD>(std::min<std::uint64_t>(left, kCopyChunk));
        DWORD read = 0;
        DWORD written = 0;
        if (!calls::ReadFile(in.Get(), buffer.data(), want, &read) || read != want ||
            !calls::WriteFile(out.Get(), buffer.data(), read, &written) || written != read) {
          fail::Throw(fail::Kind::kDisk, "Unable to stage repair data.");
        }
        left -= read;
      }
      if (!out.Close(calls::CloseHandle) || !FileMatches(staged, object.size, digest)) {
        fail::Throw(fail::Kind::kIntegrity, "Repair batch failed SHA-256 verification.");
      }
      FlushStagedFile(staged, FlushSite::kRepairStaged);
    }
  }

  // The moves are written through, but a rename is only on disk for good once
  // the moved file is flushed: without that flush a power cut after the
  // repair reported success can bring the damaged file back.
  void Install() {
    const fs::path replacement = download_ / "replacement";
    for (const auto& [digest, object] : damaged_) {
      const fs::path staged = download_ / digest;
      for (std::size_t i = 0; i < object.destinations.size(); ++i) {
        const fs::path& destination = object.destinations[i];
        if (i + 1 == object.destinations.size()) {
          ReplaceClientFile(client_, staged, destination);
        } else {
          FsCopyFile(staged, replacement, fs::copy_options::none);
          FlushStagedFile(replacement, FlushSite::kRepairCopy);
          ReplaceClientFile(client_, replacement, destination);
        }
        FlushStagedFile(destination, FlushSite::kRepairMove);
      }
    }
  }

  fs::path client_;
  std::uint32_t version_;
  const StatusCallback& status_;
  const ProgressCallback& progress_;
  const BeforeInstallCallback& beforeInstall_;

  RepairCatalogue catalogue_;
  std::map<std::string, DamagedObject> damaged_;
  std::uint64_t counter_ = 0;
  std::uint64_t entryTotal_ = 0;
  std::uint64_t lastStatusMs_ = 0;
  std::uint64_t total_ = 0;
  std::string prefix_;
  fs::path download_;
};

}  // namespace

bool RepairManagedFiles(const std::filesystem::path& clientFolder, std::uint32_t installedVersion,
                        const StatusCallback& status, std::string& errorText, const ProgressCallback& progress,
                        const BeforeInstallCallback& beforeInstall) {
  try {
    RepairRun(clientFolder, installedVersion, status, progress, beforeInstall).Run();
    return true;
  } catch (const std::exception& error) {
    if (progress) {
      try {
        progress(0, 0);
      } catch (...) {
      }
    }
    errorText = fail::FailureOf(error, kRepairFailedText).text;
    return false;
  } catch (...) {
    // A callback that throws something other than a standard exception.
    if (progress) {
      try {
        progress(0, 0);
      } catch (...) {
      }
    }
    errorText = kRepairFailedText;
    return false;
  }
}

}  // namespace orvex_update
