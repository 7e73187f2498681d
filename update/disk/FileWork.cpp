#include "update/disk/FileWork.h"

#include <atomic>
#include <algorithm>
#include <exception>
#include <limits>
#include <optional>
#include <stdexcept>
#include <system_error>

#include "common/Errors.h"
#include "update/disk/Cancel.h"
#include "update/disk/Digest.h"
#include "update/disk/FileCalls.h"
#include "update/disk/OrderedWork.h"
#include "update/disk/Paths.h"

namespace orvex_update {
namespace {

namespace fs = std::filesystem;

// A hasher's blocks: large enough that a gigabyte is a thousand hand-overs to
// its thread (each one a wait and a wake), small enough that the blocks in
// flight stay a few MiB.
constexpr std::size_t kBlockSize = 1024 * 1024;
// A copy reads into and writes from a buffer that stays in the core's cache;
// with a megabyte the kernel's two copies of each block missed it and a GiB
// took up to three times the processor time.
constexpr std::size_t kCopyBlockSize = 256 * 1024;
constexpr std::size_t kBlocksInFlight = 3;
// Flushes mostly wait for the disk; a few at once let the file system commit
// them together.
constexpr std::size_t kFlushThreads = 8;

std::uint64_t Join(DWORD high, DWORD low) { return (static_cast<std::uint64_t>(high) << 32) | low; }

[[noreturn]] void ThrowCopyError(DWORD error) {
  throw FileSystemError("copy_file", std::error_code(static_cast<int>(error), std::system_category()));
}

}  // namespace

bool WriteAll(HANDLE file, const void* data, std::size_t length) {
  const auto* in = static_cast<const std::uint8_t*>(data);
  while (length > 0) {
    const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(length, 1u << 30));
    DWORD written = 0;
    if (!calls::WriteFile(file, in, piece, &written) || written == 0) return false;
    in += written;
    length -= written;
  }
  return true;
}

namespace {

// The file's index on its volume. GetFileInformationByHandle also reads the
// volume's serial number, which Wine asks its mount manager for, in another
// process: a quarter of a millisecond per call, several times per installed
// file. The native query of the index alone answers from the open file.
[[nodiscard]] bool QueryFileIndex(HANDLE file, std::uint64_t& index) {
  constexpr int kFileInternalInformation = 6;
  struct {
    void* pointer;  // the I/O status block: a status (or pointer) and a count
    ULONG_PTR count;
  } status{};
  LARGE_INTEGER value{};
  if (calls::NtQueryInformationFile(file, &status, &value, sizeof value, kFileInternalInformation) >= 0) {
    index = static_cast<std::uint64_t>(value.QuadPart);
    return true;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!calls::GetFileInformationByHandle(file, &info)) return false;
  index = Join(info.nFileIndexHigh, info.nFileIndexLow);
  return true;
}

}  // namespace

bool QueryFileIdentity(HANDLE file, FileIdentity& out) {
  if (file == nullptr || file == INVALID_HANDLE_VALUE) return false;
  FILE_BASIC_INFO basic{};
  FILE_STANDARD_INFO standard{};
  std::uint64_t index = 0;
  if (!calls::GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic) ||
      !calls::GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard) || standard.Directory ||
      !QueryFileIndex(file, index)) {
    return false;
  }
  out.index = index;
  out.size = static_cast<std::uint64_t>(standard.EndOfFile.QuadPart);
  out.lastWrite = static_cast<std::uint64_t>(basic.LastWriteTime.QuadPart);
  return true;
}

win::UniqueFile DuplicateOpenFile(HANDLE file) {
  HANDLE copy = nullptr;
  if (!::DuplicateHandle(::GetCurrentProcess(), file, ::GetCurrentProcess(), &copy, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
    return win::UniqueFile();
  }
  return win::UniqueFile(copy);
}

bool NamesHeldFile(const fs::path& path, HANDLE held) {
  // Attributes only: no sharing conflict with the held handle.
  const win::UniqueFile named(calls::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING,
                                                 FILE_FLAG_OPEN_REPARSE_POINT));
  BY_HANDLE_FILE_INFORMATION a{};
  BY_HANDLE_FILE_INFORMATION b{};
  return named && calls::GetFileInformationByHandle(named.Get(), &a) && calls::GetFileInformationByHandle(held, &b) &&
         a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

bool QueryFileIdentity(const fs::path& path, FileIdentity& out) {
  // Attributes only: no sharing conflict with anyone, no data read.
  const win::UniqueFile file(calls::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING,
                                                FILE_ATTRIBUTE_NORMAL));
  return file && QueryFileIdentity(file.Get(), out);
}

// ---------------------------------------------------------------- hashing

struct StreamHasher::Worker {
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::vector<std::uint8_t>> full;
  std::vector<std::vector<std::uint8_t>> spare;
  bool end = false;
  bool failed = false;
  const char* failure = "SHA-256 failed.";
  Digest digest{};
  std::thread thread;

  void Run() {
    std::unique_ptr<Sha256> hasher;
    try {
      hasher = std::make_unique<Sha256>();
    } catch (const std::exception&) {
      failure = "SHA-256 unavailable.";
    }
    std::unique_lock lock(mutex);
    bool ok = hasher != nullptr;
    for (;;) {
      changed.wait(lock, [&] { return end || !full.empty(); });
      if (full.empty()) break;
      std::vector<std::uint8_t> block = std::move(full.front());
      full.pop_front();
      lock.unlock();
      if (ok) ok = hasher->Update(block.data(), block.size());
      block.clear();
      lock.lock();
      spare.push_back(std::move(block));
      changed.notify_all();
    }
    if (ok) ok = hasher->Finish(digest);
    failed = !ok;
  }
};

StreamHasher::StreamHasher() { block_.reserve(kBlockSize); }

StreamHasher::~StreamHasher() {
  if (worker_ && worker_->thread.joinable()) {
    {
      const std::lock_guard lock(worker_->mutex);
      worker_->end = true;
    }
    worker_->changed.notify_all();
    worker_->thread.join();
  }
}

void StreamHasher::Hand(std::vector<std::uint8_t> block) {
  if (!worker_ && !inline_) {
    auto worker = std::make_unique<Worker>();
    try {
      worker->thread = StartWorkerThread([worker = worker.get()] { worker->Run(); });
      worker_ = std::move(worker);
    } catch (const std::system_error&) {
      // No thread to be had: the blocks are hashed here, as they come.
      inline_ = std::make_unique<Sha256>();
    }
  }
  if (inline_) {
    if (!inline_->Update(block.data(), block.size())) fail::Throw(fail::Kind::kInternal, "SHA-256 failed.");
    block.clear();
    block_ = std::move(block);
    return;
  }
  std::unique_lock lock(worker_->mutex);
  worker_->changed.wait(lock, [&] { return worker_->full.size() < kBlocksInFlight; });
  worker_->full.push_back(std::move(block));
  if (!worker_->spare.empty()) {
    block_ = std::move(worker_->spare.back());
    worker_->spare.pop_back();
  } else {
    block_ = std::vector<std::uint8_t>();
    block_.reserve(kBlockSize);
  }
  lock.unlock();
  worker_->changed.notify_all();
}

void StreamHasher::Add(const void* data, std::size_t length) {
  if (finished_) fail::Throw(fail::Kind::kInternal, "SHA-256 failed.");
  const auto* in = static_cast<const std::uint8_t*>(data);
  while (length > 0) {
    const std::size_t room = kBlockSize - block_.size();
    const std::size_t piece = std::min(room, length);
    block_.insert(block_.end(), in, in + piece);
    in += piece;
    length -= piece;
    if (block_.size() == kBlockSize) Hand(std::move(block_));
  }
}

std::string StreamHasher::FinishHex() {
  if (finished_) fail::Throw(fail::Kind::kInternal, "SHA-256 failed.");
  finished_ = true;
  Digest digest{};
  if (!worker_) {
    std::unique_ptr<Sha256> own = std::move(inline_);
    Sha256& hasher = own ? *own : *(own = std::make_unique<Sha256>());
    if (!hasher.Update(block_.data(), block_.size()) || !hasher.Finish(digest)) {
      fail::Throw(fail::Kind::kInternal, "SHA-256 failed.");
    }
    return HexDigest(digest);
  }
  if (!block_.empty()) Hand(std::move(block_));
  {
    const std::lock_guard lock(worker_->mutex);
    worker_->end = true;
  }
  worker_->changed.notify_all();
  worker_->thread.join();
  if (worker_->failed) fail::Throw(fail::Kind::kInternal, worker_->failure);
  return HexDigest(worker_->digest);
}

HashedFile HashFileIdentified(const fs::path& path) {
  const win::UniqueFile file = OpenFileRetrying(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN);
  if (!file) fail::Throw(fail::Kind::kDisk, "Cannot hash update file.");
  HashedFile hashed;
  FileIdentity before;
  const bool known = QueryFileIdentity(file.Get(), before);
  hashed.sha256 = HashOpenFileHex(file.Get());
  FileIdentity after;
  if (known && QueryFileIdentity(file.Get(), after) && after == before) hashed.identity = before;
  return hashed;
}

HashedFile CopyFileHashing(const fs::path& from, const fs::path& to, const HashedFile* known) {
  // Shared like CopyFileW's own source: a file that another process still
  // writes is copied as it stands, and what was copied is what is hashed.
  const win::UniqueFile source = OpenFileRetrying(from, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN);
  if (!source) ThrowCopyError(::GetLastError());
  FILE_BASIC_INFO info{};
  if (!calls::GetFileInformationByHandleEx(source.Get(), FileBasicInfo, &info, sizeof info)) {
    ThrowCopyError(::GetLastError());
  }
  FileIdentity sourceBefore;
  const bool reuse = known != nullptr && known->identity.index != 0 && QueryFileIdentity(source.Get(), sourceBefore) &&
                     sourceBefore == known->identity;
  win::UniqueFile target = OpenFileRetrying(to, GENERIC_WRITE, FILE_SHARE_READ, CREATE_NEW,
                                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN);
  if (!target) ThrowCopyError(::GetLastError());

  std::optional<StreamHasher> hasher;
  if (!reuse) hasher.emplace();
  std::vector<std::uint8_t> buffer(kCopyBlockSize);
  for (;;) {
    ThrowIfCancelled();
    DWORD read = 0;
    if (!calls::ReadFile(source.Get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read)) {
      ThrowCopyError(::GetLastError());
    }
    if (read == 0) break;
    if (!WriteAll(target.Get(), buffer.data(), read)) ThrowCopyError(::GetLastError());
    if (hasher) hasher->Add(buffer.data(), read);
  }
  // As CopyFileW does: the copy carries the source's modification time.
  const FILETIME written = AsFileTime(static_cast<std::uint64_t>(info.LastWriteTime.QuadPart));
  if (!calls::SetFileTime(target.Get(), nullptr, nullptr, &written)) ThrowCopyError(::GetLastError());
  HashedFile copied;
  if (!QueryFileIdentity(target.Get(), copied.identity)) ThrowCopyError(::GetLastError());
  if (!target.Close(calls::CloseHandle)) ThrowCopyError(::GetLastError());
  if (hasher) {
    copied.sha256 = hasher->FinishHex();
    return copied;
  }
  // The known digest holds only if the source stayed that file throughout;
  // otherwise the copy itself is hashed.
  FileIdentity sourceAfter;
  if (QueryFileIdentity(source.Get(), sourceAfter) && sourceAfter == known->identity) {
    copied.sha256 = known->sha256;
  } else {
    copied.sha256 = HashFileHex(to);
  }
  return copied;
}

// ---------------------------------------------------------------- flushing

namespace {
std::atomic<int> g_skippedFlushSite{-1};  // none
}  // namespace

bool FlushAt(FlushSite site, HANDLE file) {
  return g_skippedFlushSite.load() == static_cast<int>(site) || calls::FlushFileBuffers(file);
}

ScopedSkipFlushSiteForTesting::ScopedSkipFlushSiteForTesting(FlushSite site)
    : previous_(g_skippedFlushSite.exchange(static_cast<int>(site))) {}

ScopedSkipFlushSiteForTesting::~ScopedSkipFlushSiteForTesting() { g_skippedFlushSite.store(previous_); }

FlushBehind::~FlushBehind() {
  if (!thread_.joinable()) return;
  {
    const std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

void FlushBehind::Written(std::uint64_t count) {
  unflushed_ += count;
  if (unflushed_ < kBytes) return;
  unflushed_ = 0;
  {
    const std::lock_guard lock(mutex_);
    ++requested_;
  }
  if (!thread_.joinable()) {
    try {
      thread_ = StartWorkerThread([this] { Run(); });
    } catch (const std::system_error&) {
      return;  // no helper: the final flush does all the work
    }
  }
  wake_.notify_one();
}

void FlushBehind::Run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stop_ || flushed_ != requested_; });
    if (stop_) return;
    flushed_ = requested_;
    lock.unlock();
    static_cast<void>(calls::FlushFileBuffers(file_));  // a failure shows in the final flush
    lock.lock();
  }
}

namespace {
std::atomic<unsigned> g_aheadFlushDelayMs{0};
}  // namespace

ScopedAheadFlushDelayForTesting::ScopedAheadFlushDelayForTesting(unsigned milliseconds)
    : previous_(g_aheadFlushDelayMs.exchange(milliseconds)) {}

ScopedAheadFlushDelayForTesting::~ScopedAheadFlushDelayForTesting() { g_aheadFlushDelayMs.store(previous_); }

FlushQueue::FlushQueue() = default;

FlushQueue::~FlushQueue() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  work_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

void FlushQueue::Add(const fs::path& path, FlushSite site) { Push(Item{0, path, {}, site}); }

void FlushQueue::Add(win::UniqueFile file, FlushSite site) { Push(Item{0, {}, std::move(file), site}); }

void FlushQueue::AddAhead(const fs::path& path) { Push(Item{0, path, {}, std::nullopt}); }

void FlushQueue::AddAhead(win::UniqueFile file) { Push(Item{0, {}, std::move(file), std::nullopt}); }

void FlushQueue::Push(Item item) {
  bool flushHere = false;
  {
    std::unique_lock lock(mutex_);
    if (item.file) {
      // However many files an install moves, the queue keeps only a few of
      // them open: the process's handles (a Wine prefix's file descriptors)
      // are a budget shared with the held staged files and folders.
      room_.wait(lock, [&] { return openFiles_ < kMaxOpenFiles; });
      ++openFiles_;
      item.counted = true;
    }
    item.number = added_++;
    queue_.push_back(std::move(item));
    if (threads_.size() < kFlushThreads && threads_.size() < queue_.size() + busy_) {
      try {
        threads_.push_back(StartWorkerThread([this] { Run(); }));
      } catch (const std::system_error&) {
        // Fewer threads only cost speed; with none the caller flushes.
        flushHere = threads_.empty();
      }
    }
  }
  if (flushHere) {
    Run(true);
    return;
  }
  work_.notify_one();
}

void FlushQueue::Run(bool untilEmpty) {
  std::unique_lock lock(mutex_);
  for (;;) {
    work_.wait(lock, [&] { return stopping_ || untilEmpty || !queue_.empty(); });
    if (queue_.empty()) return;
    Item item = std::move(queue_.front());
    queue_.pop_front();
    ++busy_;
    lock.unlock();
    // As FlushStagedFile.
    std::string failure;
    win::UniqueFile file =
        item.file ? std::move(item.file) : OpenFileRetrying(item.path, GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING);
    if (file && !item.site && g_aheadFlushDelayMs.load() != 0) ::Sleep(g_aheadFlushDelayMs.load());
    if (!file) {
      failure = "Cannot flush staged update file.";
    } else if (!(item.site ? FlushAt(*item.site, file.Get()) : calls::FlushFileBuffers(file.Get()) != FALSE)) {
      failure = "Cannot persist staged update file.";
    }
    file.Reset();
    const std::size_t number = item.number;
    lock.lock();
    if (item.counted) {
      --openFiles_;
      room_.notify_one();
    }
    if (!failure.empty() && (failure_.empty() || number < failedAt_)) {
      failure_ = std::move(failure);
      failedAt_ = number;
    }
    --busy_;
    if (queue_.empty() && busy_ == 0) done_.notify_all();
  }
}

void FlushQueue::Wait() {
  std::unique_lock lock(mutex_);
  done_.wait(lock, [&] { return queue_.empty() && busy_ == 0; });
  // The threads end here and come back with the next Add: under Wine each
  // one holds about a megabyte, and a queue that was waited for may stay
  // idle for the rest of an install while other queues work.
  std::vector<std::thread> threads = std::move(threads_);
  threads_.clear();
  stopping_ = true;
  lock.unlock();
  work_.notify_all();
  for (std::thread& thread : threads) thread.join();
  lock.lock();
  stopping_ = false;
  if (!failure_.empty()) {
    const std::string failure = std::move(failure_);
    failure_.clear();
    fail::Throw(fail::Kind::kDisk, failure);
  }
}

}  // namespace orvex_update
