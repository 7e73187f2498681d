#include "update/unpack/Zip.h"

#include "common/Errors.h"
#include "common/WinHandles.h"
#include "update/disk/FileCalls.h"
#include "update/disk/Digest.h"
#include "update/disk/OrderedWork.h"
#include "update/disk/PathRules.h"
#include "update/disk/Paths.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <filesystem>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string_view>
#include <system_error>
#include <thread>

namespace orvex_update {
namespace {

// Positioned reads on a Win32 file handle: each read names its offset, so no
// file pointer is shared between calls.
class Win32ZipSource final : public ZipByteSource {
 public:
  static std::unique_ptr<Win32ZipSource> Open(const char* fileName) {
    // Writers are shut out while the archive is read, so the bytes listed and
    // the bytes extracted are the same.
    // A scanner may hold the fresh download for a moment.
    win::UniqueFile file;
    static_cast<void>(RetryWhileLocked([&]() -> DWORD {  // the handle tells the result
      file.Reset(calls::CreateFileA(fileName, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL));
      return file ? ERROR_SUCCESS : ::GetLastError();
    }));
    if (!file) return nullptr;
    LARGE_INTEGER size{};
    if (!calls::GetFileSizeEx(file.Get(), &size) || size.QuadPart < 0) return nullptr;
    return std::unique_ptr<Win32ZipSource>(
        new Win32ZipSource(std::move(file), static_cast<std::uint64_t>(size.QuadPart)));
  }

  std::uint64_t Size() const override { return size_; }

  bool ReadAt(std::uint64_t offset, void* buffer, std::size_t length) override {
    if (offset > size_ || length > size_ - offset) return false;
    // Headers, names and small entries come from one window read ahead:
    // each read is a server round trip under Wine, and an archive of small
    // files asks for several small pieces per entry. The file is open
    // without write sharing, so the window cannot go stale.
    if (length <= kSmallRead) {
      if (offset < windowStart_ || offset + length > windowStart_ + window_.size()) {
        const std::size_t fill = static_cast<std::size_t>(std::min<std::uint64_t>(kWindow, size_ - offset));
        window_.resize(fill);
        windowStart_ = offset;
        if (!ReadDirect(offset, window_.data(), fill)) {
          window_.clear();
          return false;
        }
      }
      std::memcpy(buffer, window_.data() + (offset - windowStart_), length);
      return true;
    }
    return ReadDirect(offset, buffer, length);
  }

 private:
  static constexpr std::size_t kSmallRead = 16 * 1024;
  static constexpr std::size_t kWindow = 256 * 1024;

  bool ReadDirect(std::uint64_t offset, void* buffer, std::size_t length) {
    auto* out = static_cast<std::uint8_t*>(buffer);
    while (length > 0) {
      const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(length, 1u << 30));
      OVERLAPPED position{};
      position.Offset = static_cast<DWORD>(offset);
      position.OffsetHigh = static_cast<DWORD>(offset >> 32);
      DWORD got = 0;
      if (!calls::ReadFile(file_.Get(), out, piece, &got, &position) || got == 0) return false;
      out += got;
      offset += got;
      length -= got;
    }
    return true;
  }

  Win32ZipSource(win::UniqueFile file, std::uint64_t size) : file_(std::move(file)), size_(size) {}
  win::UniqueFile file_;
  std::uint64_t size_;
  std::vector<std::uint8_t> window_;
  std::uint64_t windowStart_ = 0;
};

// Writes an entry to its file, hashing it on the way when asked, and has a
// large one flushed behind the writing.
class Win32FileSink final : public ZipByteSink {
 public:
  Win32FileSink(HANDLE file, StreamHasher* hasher) : file_(file), hasher_(hasher), flushBehind_(file) {}
  bool Write(const void* data, std::size_t length) override {
    const auto* in = static_cast<const std::uint8_t*>(data);
    if (hasher_ != nullptr) {
      try {
        hasher_->Add(in, length);
      } catch (const std::exception&) {
        return false;
      }
    }
    if (!WriteAll(file_, in, length)) return false;
    flushBehind_.Written(length);
    return true;
  }

 private:
  HANDLE file_;
  StreamHasher* hasher_;
  FlushBehind flushBehind_;
};

std::atomic<ArchiveParseHook> g_parseHook{nullptr};

std::unique_ptr<ZipReader> OpenReader(const char* fileName) {
  if (fileName == nullptr || *fileName == '\0') return nullptr;
  if (const ArchiveParseHook hook = g_parseHook.load()) hook();
  std::unique_ptr<Win32ZipSource> source = Win32ZipSource::Open(fileName);
  if (!source) return nullptr;
  return ZipReader::Open(std::move(source));
}

// The narrow name as the narrow Win32 file calls would read it (ANSI or OEM
// code page). Empty when the bytes are not valid in that code page.
std::wstring Widen(std::string_view narrow) { return PathFromNarrow(narrow).native(); }

[[nodiscard]] bool IsSeparator(wchar_t c) { return c == L'/' || c == L'\\'; }

// How the file system will tell two names apart: separators made one, letter
// case folded the way the Win32 layer folds it, a trailing separator dropped.
std::wstring CollisionKey(std::wstring name) {
  for (wchar_t& c : name) {
    if (c == L'\\') c = L'/';
  }
  while (!name.empty() && name.back() == L'/') name.pop_back();
  if (!name.empty()) ::CharUpperBuffW(name.data(), static_cast<DWORD>(name.size()));
  return name;
}

// Every entry writes either a file or folders; a name that is a file for one
// entry and a folder (or another file) for another would make the second
// entry overwrite the first or fail half-way through the extraction.
class NameLedger {
 public:
  enum class Writes { kFile, kFolder, kNothing };
  // False when the name collides with what an earlier entry writes.
  bool Add(const std::wstring& wideName, Writes writes) {
    const std::wstring key = CollisionKey(wideName);
    for (std::size_t i = 0; i < key.size(); ++i) {
      if (key[i] == L'/' && !AddFolder(key.substr(0, i))) return false;
    }
    if (writes == Writes::kNothing) return true;
    if (writes == Writes::kFolder) return AddFolder(key);
    if (folders_.count(key) != 0) return false;
    return files_.insert(key).second;
  }

 private:
  bool AddFolder(const std::wstring& key) {
    if (files_.count(key) != 0) return false;
    folders_.insert(key);
    return true;
  }
  std::set<std::wstring> files_;
  std::set<std::wstring> folders_;
};

// The prefixes of the output path ending at a separator are created in turn;
// the root ("X:\" or a leading separator) is never one of them.
[[nodiscard]] bool CreateFolderChain(const std::wstring& path, const ContainmentGuard& guard) {
  std::size_t start = 1;
  if (path.size() >= 2 && path[1] == L':' &&
      ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z'))) {
    start = (path.size() >= 3 && IsSeparator(path[2])) ? 3 : 2;
  }
  for (std::size_t i = start; i < path.size(); ++i) {
    if (!IsSeparator(path[i]) || IsSeparator(path[i - 1])) continue;
    const std::wstring prefix = path.substr(0, i);
    if (guard.Holds(std::filesystem::path(prefix))) continue;
    const DWORD attributes = calls::GetFileAttributesW(prefix.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
    const DWORD created = RetryWhileLocked([&]() -> DWORD {
      if (calls::CreateDirectoryW(prefix.c_str())) return ERROR_SUCCESS;
      const DWORD error = ::GetLastError();
      // Made by someone else between the question and the call: there now.
      return error == ERROR_ALREADY_EXISTS ? ERROR_SUCCESS : error;
    });
    if (created != ERROR_SUCCESS) return false;
  }
  return true;
}

// The entry's DOS time is local time. An impossible date (month 0, hour 25)
// restores nothing rather than failing the whole patch over a timestamp.
[[nodiscard]] bool ConvertEntryFileTime(const ZipEntry& entry, FILETIME& utc);

// The entries of one archive share a few times, and each conversion reads
// the zone's data again, so one extraction keeps its answers.
class EntryTimes {
 public:
  bool Get(const ZipEntry& entry, FILETIME& utc) {
    const std::uint32_t key = (static_cast<std::uint32_t>(entry.dosDate) << 16) | entry.dosTime;
    const auto found = converted_.find(key);
    if (found != converted_.end()) {
      utc = found->second.second;
      return found->second.first;
    }
    FILETIME result{};
    const bool ok = ConvertEntryFileTime(entry, result);
    converted_[key] = {ok, result};
    utc = result;
    return ok;
  }

 private:
  std::map<std::uint32_t, std::pair<bool, FILETIME>> converted_;
};

[[nodiscard]] bool ConvertEntryFileTime(const ZipEntry& entry, FILETIME& utc) {
  FILETIME local{};
  if (!::DosDateTimeToFileTime(entry.dosDate, entry.dosTime, &local)) return false;
  SYSTEMTIME localTime{};
  SYSTEMTIME utcTime{};
  // The zone rule of that date, not of today, decides the offset.
  if (::FileTimeToSystemTime(&local, &localTime) && ::TzSpecificLocalTimeToSystemTime(nullptr, &localTime, &utcTime) &&
      ::SystemTimeToFileTime(&utcTime, &utc)) {
    return true;
  }
  return ::LocalFileTimeToFileTime(&local, &utc) != FALSE;
}

// The entry's time, set on the handle that wrote the data once the last
// byte is written: no write comes after it, so nothing can move the time
// again, and the identity read on the same handle is the file as extracted.
// Setting it through a second open, as a close-then-set would, costs Wine a
// server round trip and a path walk for every file.
[[nodiscard]] bool RestoreFileTime(HANDLE file, const ZipEntry& entry, EntryTimes& times, FileIdentity* identity) {
  FILETIME utc{};
  if (!times.Get(entry, utc)) return true;
  if (!calls::SetFileTime(file, nullptr, &utc, &utc)) return false;
  if (identity != nullptr && !QueryFileIdentity(file, *identity)) *identity = FileIdentity{};
  return true;
}

// Creates the output file. The name is new in a fresh staging folder, so it
// is created exclusively first: that refuses, without a lookup of its own,
// anything planted at the name, which is then asked about and replaced as
// before. Wine reads the whole folder for every name it does not find, so one
// lookup per new name instead of two matters in a large folder.
// fresh tells whether the file was created new, so that no other open of it
// can exist.
win::UniqueFile CreateOutputFile(const std::wstring& path, DWORD extraAccess = 0, bool* fresh = nullptr) {
  const DWORD access = GENERIC_WRITE | FILE_READ_ATTRIBUTES | extraAccess;
  win::UniqueFile file = OpenFileRetrying(path, access, FILE_SHARE_READ, CREATE_NEW);
  if (fresh != nullptr) *fresh = static_cast<bool>(file);
  if (file || ::GetLastError() != ERROR_FILE_EXISTS) return file;
  if (IsReparsePoint(std::filesystem::path(path))) return win::UniqueFile();
  return OpenFileRetrying(path, access, FILE_SHARE_READ, CREATE_ALWAYS);
}

std::atomic<std::uint64_t> g_heldFileBytes{1024 * 1024};

// Writes the entry to path and sets its time; with hold, a file created new
// stays open in out->held, and any other is closed.
[[nodiscard]] bool ExtractEntryToFile(ZipReader& reader, std::size_t index, const std::wstring& path, EntryTimes& times,
                        ExtractedFile* out, bool hold) {
  HashedFile* hashed = out != nullptr ? &out->file : nullptr;
  std::optional<StreamHasher> hasher;
  if (hashed != nullptr) hasher.emplace();
  bool fresh = false;
  win::UniqueFile file = CreateOutputFile(path, hold ? DELETE : 0, &fresh);
  if (!file) return false;
  {
    // Ends before the handle is closed: its flushes use the handle.
    Win32FileSink sink(file.Get(), hasher ? &*hasher : nullptr);
    if (reader.Extract(index, sink) != ZipStatus::kOk) return false;
  }
  if (!RestoreFileTime(file.Get(), reader.Entry(index), times, hashed != nullptr ? &hashed->identity : nullptr)) {
    return false;
  }
  if (hold && fresh && out != nullptr) {
    out->held = std::move(file);
  } else if (!file.Close(calls::CloseHandle)) {
    return false;
  }
  if (hashed != nullptr) {
    try {
      hashed->sha256 = hasher->FinishHex();
    } catch (const std::exception&) {
      return false;
    }
  }
  return true;
}

// Small entries are read (and CRC-checked) by the extracting thread and
// written by a few others. Under Wine each create, time stamp and close is a
// server round trip with a walk of the whole path; an archive of many small
// files otherwise waits on those one after another.
constexpr std::uint64_t kPooledEntryBytes = 256 * 1024;
constexpr std::size_t kWriterThreads = 3;
constexpr std::size_t kQueuedJobs = 64;

class MemorySink final : public ZipByteSink {
 public:
  explicit MemorySink(std::vector<std::uint8_t>& out) : out_(out) {}
  bool Write(const void* data, std::size_t length) override {
    const auto* in = static_cast<const std::uint8_t*>(data);
    out_.insert(out_.end(), in, in + length);
    return true;
  }

 private:
  std::vector<std::uint8_t>& out_;
};

class SmallFileWriters {
 public:
  struct Job {
    std::wstring path;
    std::vector<std::uint8_t> bytes;
    bool hasTime = false;
    FILETIME time{};
    HashedFile* hashed = nullptr;  // filled in when given
  };

  ~SmallFileWriters() { Finish(); }

  // False once any job has failed.
  bool Add(Job job) {
    std::unique_lock lock(mutex_);
    if (threads_.size() < kWriterThreads) {
      try {
        threads_.push_back(StartWorkerThread([this] { Run(); }));
      } catch (const std::system_error&) {
        // Fewer writers only cost speed.
      }
    }
    if (threads_.empty()) {
      // None at all: the extracting thread writes the file itself.
      lock.unlock();
      if (Write(job)) return true;
      const DWORD code = ::GetLastError();
      lock.lock();
      Fail(code);
      return false;
    }
    changed_.wait(lock, [&] { return failed_ || jobs_.size() < kQueuedJobs; });
    if (failed_) return false;
    jobs_.push_back(std::move(job));
    changed_.notify_all();
    return true;
  }

  // Waits for every job; false when any failed.
  bool Finish() {
    {
      const std::lock_guard lock(mutex_);
      ending_ = true;
    }
    changed_.notify_all();
    for (std::thread& thread : threads_) thread.join();
    threads_.clear();
    return !failed_;
  }

  bool Failed() {
    const std::lock_guard lock(mutex_);
    return failed_;
  }

  // The system code of the first failed job's failing call.
  unsigned long FailureCode() {
    const std::lock_guard lock(mutex_);
    return failureCode_;
  }

 private:
  // False with the failing call's code as the thread's last error.
  static bool Write(const Job& job) {
    ::SetLastError(ERROR_SUCCESS);
    win::UniqueFile file = CreateOutputFile(job.path);
    if (!file) return false;
    if (!WriteAll(file.Get(), job.bytes.data(), job.bytes.size())) return false;
    if (job.hasTime) {
      if (!calls::SetFileTime(file.Get(), nullptr, &job.time, &job.time)) return false;
      if (job.hashed != nullptr && !QueryFileIdentity(file.Get(), job.hashed->identity)) {
        job.hashed->identity = FileIdentity{};
      }
    }
    if (!file.Close(calls::CloseHandle)) return false;
    if (job.hashed != nullptr) {
      Digest digest{};
      if (!Sha256Buffer(job.bytes.data(), job.bytes.size(), digest)) return false;
      job.hashed->sha256 = HexDigest(digest);
    }
    return true;
  }

  void Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      changed_.wait(lock, [&] { return ending_ || failed_ || !jobs_.empty(); });
      if (jobs_.empty() || failed_) return;
      Job job = std::move(jobs_.front());
      jobs_.pop_front();
      changed_.notify_all();
      lock.unlock();
      const bool ok = Write(job);
      const DWORD code = ok ? ERROR_SUCCESS : ::GetLastError();
      lock.lock();
      if (!ok) {
        Fail(code);
        changed_.notify_all();
      }
    }
  }

  // Under the lock.
  void Fail(DWORD code) {
    if (!failed_) failureCode_ = code;
    failed_ = true;
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Job> jobs_;
  std::vector<std::thread> threads_;
  bool ending_ = false;
  bool failed_ = false;
  unsigned long failureCode_ = 0;
};

struct PlannedEntry {
  std::wstring outputPath;
  bool skip = false;  // a folder entry or a Unix link entry: folders only
};

// An extraction refused: ExtractArchive returns -1 for it (and the system
// code of a failed write, folder or file), while whatever the caller's
// callback throws passes through unchanged.
class Refused : public fail::Error {
 public:
  using fail::Error::Error;
};
// A refusal with a system code is the disk's; one without, the archive's.
[[noreturn]] void Refuse(const char* why, unsigned long systemCode = 0) {
  throw Refused(systemCode != 0 ? fail::FileKind(systemCode) : fail::Kind::kIntegrity, why, systemCode);
}

// Everything is checked before the first byte is written: each entry's name,
// its output path below base, what it writes beside the others, and whether
// it can be extracted at all.
std::vector<PlannedEntry> PlanExtraction(ZipReader& reader, const std::string& base, const std::wstring& wideBase) {
  const std::size_t count = reader.EntryCount();
  std::vector<PlannedEntry> plan(count);
  NameLedger names;
  for (std::size_t i = 0; i < count; ++i) {
    const ZipEntry& entry = reader.Entry(i);
    // The whole stored name, zero bytes included: a name that only looks safe
    // up to an embedded zero is not safe.
    if (!IsSafeRelativePath(std::string_view(entry.name))) Refuse("unsafe entry name");
    if (entry.name.size() > kMaxExtractPath - 1 || base.size() + entry.name.size() >= kMaxExtractPath) {
      Refuse("entry path too long");
    }
    if (entry.IsUnixSymlink()) Refuse("symbolic link entry");
    const std::wstring wideName = Widen(entry.name);
    if (wideName.empty()) Refuse("entry name outside the code page");
    PlannedEntry& planned = plan[i];
    planned.outputPath = wideBase + wideName;
    planned.skip = entry.IsUnixLinkEntry() || entry.IsDirectory();
    const NameLedger::Writes writes = entry.IsUnixLinkEntry() ? NameLedger::Writes::kNothing
                                      : entry.IsDirectory()   ? NameLedger::Writes::kFolder
                                                              : NameLedger::Writes::kFile;
    if (!names.Add(wideName, writes)) Refuse("entry names collide");
    // Unsupported methods, encryption and broken local headers fail here
    // rather than after half of the files are on disk.
    if (!planned.skip && reader.CheckExtractable(i) != ZipStatus::kOk) Refuse("entry cannot be extracted");
  }
  return plan;
}

// The folders of an output path, made where missing. Every existing prefix,
// the target's own ancestors included, must not be a junction or a symbolic
// link, and the path must still lie under the target after the Win32
// normalisation; folders made just now are asked about, and held, before
// anything is written into them.
void PrepareFolders(ContainmentGuard& guard, const std::wstring& outputPath) {
  const std::filesystem::path output(outputPath);
  try {
    guard.CheckFolders(output);
    if (!CreateFolderChain(outputPath, guard)) Refuse("cannot create folder", ::GetLastError());
    guard.CheckFolders(output);
  } catch (const Refused&) {
    throw;
  } catch (const std::exception& error) {
    Refuse(error.what());
  }
}

// Writes the planned entries in central-directory order.
void WriteEntries(ZipReader& reader, const std::vector<PlannedEntry>& plan, const std::wstring& wideBase,
                  std::vector<ExtractedFile>* extracted, const std::function<void(const ExtractedFile&)>& written) {
  EntryTimes times;
  const std::uint64_t heldFrom = HeldFileBytes();
  std::size_t held = 0;
  // The pool keeps pointers into extracted; files it wrote are reported at the end.
  std::vector<ExtractedFile*> pooled;
  if (extracted != nullptr) extracted->reserve(extracted->size() + plan.size());
  // The guard asks about each folder once and holds it for the rest of the
  // extraction.
  std::optional<ContainmentGuard> guard;
  // Declared after the guard, so that however this ends the writers have
  // finished before the folders they write into are let go.
  SmallFileWriters writers;
  try {
    guard.emplace(std::filesystem::path(wideBase));
  } catch (const std::exception& error) {
    Refuse(error.what());
  }
  for (std::size_t i = 0; i < plan.size(); ++i) {
    const PlannedEntry& planned = plan[i];
    PrepareFolders(*guard, planned.outputPath);
    if (planned.skip) continue;
    ExtractedFile* file = nullptr;
    if (extracted != nullptr) {
      file = &extracted->emplace_back();
      file->path = planned.outputPath;
    }
    const ZipEntry& entry = reader.Entry(i);
    const bool hold = file != nullptr && held < kMaxHeldFiles && entry.uncompressedSize >= heldFrom;
    if (!hold && entry.uncompressedSize <= kPooledEntryBytes && entry.compressedSize <= kPooledEntryBytes) {
      SmallFileWriters::Job job;
      job.path = planned.outputPath;
      job.bytes.reserve(static_cast<std::size_t>(entry.uncompressedSize));
      MemorySink sink(job.bytes);
      if (reader.Extract(i, sink) != ZipStatus::kOk) Refuse("entry data refused");
      job.hasTime = times.Get(entry, job.time);
      if (file != nullptr) {
        job.hashed = &file->file;
        pooled.push_back(file);
      }
      if (!writers.Add(std::move(job))) Refuse("cannot write entry", writers.FailureCode());
      continue;
    }
    if (writers.Failed()) Refuse("cannot write entry", writers.FailureCode());
    ::SetLastError(ERROR_SUCCESS);
    if (!ExtractEntryToFile(reader, i, planned.outputPath, times, file, hold)) {
      Refuse("cannot write entry", ::GetLastError());
    }
    if (file != nullptr && file->held) ++held;
    if (file != nullptr && written) written(*file);
  }
  if (!writers.Finish()) Refuse("cannot write entry", writers.FailureCode());
  if (written) {
    for (const ExtractedFile* file : pooled) written(*file);
  }
}

}  // namespace

ScopedArchiveParseHookForTesting::ScopedArchiveParseHookForTesting(ArchiveParseHook hook)
    : previous_(g_parseHook.exchange(hook)) {}

ScopedArchiveParseHookForTesting::~ScopedArchiveParseHookForTesting() { g_parseHook.store(previous_); }

std::uint64_t HeldFileBytes() { return g_heldFileBytes.load(); }

ScopedHeldFileBytesForTesting::ScopedHeldFileBytesForTesting(std::uint64_t bytes)
    : previous_(g_heldFileBytes.exchange(bytes)) {}

ScopedHeldFileBytesForTesting::~ScopedHeldFileBytesForTesting() { g_heldFileBytes.store(previous_); }

std::unique_ptr<PatchArchive> PatchArchive::Open(const char* fileName) {
  std::unique_ptr<ZipReader> reader = OpenReader(fileName);
  if (!reader || reader->EntryCount() > std::numeric_limits<std::uint32_t>::max()) return nullptr;
  return std::unique_ptr<PatchArchive>(new PatchArchive(std::move(reader)));
}

PatchArchive::~PatchArchive() = default;

std::uint32_t PatchArchive::EntryCount() const {
  return reader_ ? static_cast<std::uint32_t>(reader_->EntryCount()) : 0;
}

int PatchArchive::OpenEntry(std::int32_t index) {
  if (!reader_ || index < 0 || static_cast<std::uint64_t>(index) >= reader_->EntryCount()) return -1;
  const ZipEntry& entry = reader_->Entry(static_cast<std::size_t>(index));
  PatchArchiveEntry current;
  current.index = index;
  current.name = entry.name.substr(0, entry.name.find('\0'));
  std::replace(current.name.begin(), current.name.end(), '\\', '/');
  current.uncompressedSize = entry.uncompressedSize;
  current.compressedSize = entry.compressedSize;
  current.crc32 = entry.crc32;
  current.method = entry.method;
  current.localHeaderOffset = entry.localHeaderOffset;
  current.dosTime = entry.dosTime;
  current.dosDate = entry.dosDate;
  current.isDirectory = entry.IsDirectory();
  current.isUnixSymlink = entry.IsUnixSymlink();
  current_ = std::move(current);
  return 0;
}

void PatchArchive::CloseEntry() { current_ = PatchArchiveEntry{}; }

void PatchArchive::Close() {
  CloseEntry();
  reader_.reset();
}

int ExtractArchive(const char* archiveFile, const char* targetDirectory, std::vector<ExtractedFile>* extracted,
                   const std::function<void(const ExtractedFile&)>& written, unsigned long* systemCode) {
  if (systemCode != nullptr) *systemCode = 0;
  if (archiveFile == nullptr || targetDirectory == nullptr) return -1;
  const std::size_t targetLength = std::strlen(targetDirectory);
  if (targetLength == 0 || targetLength + 1 > kMaxExtractPath) return -1;
  std::unique_ptr<ZipReader> reader = OpenReader(archiveFile);
  if (!reader) return -1;

  std::string base(targetDirectory, targetLength);
  if (base.back() != '/' && base.back() != '\\') base.push_back('\\');
  const std::wstring wideBase = Widen(base);
  if (wideBase.empty()) return -1;

  const std::size_t count = reader->EntryCount();
  if (count > kMaxExtractEntries) return -1;
  if (count == 0) return 0;
  try {
    WriteEntries(*reader, PlanExtraction(*reader, base, wideBase), wideBase, extracted, written);
  } catch (const Refused& refused) {
    if (systemCode != nullptr) *systemCode = refused.SystemCode();
    return -1;
  }
  return 0;
}

}  // namespace orvex_update
