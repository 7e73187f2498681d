// Bulk file work of the update engine: hashing bytes while they are written
// or copied, flushing many files at once, and telling whether a file that
// was hashed has been written since.
#pragma once

#include "common/WinHandles.h"
#include "update/disk/FlushSites.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace orvex_update {

class Sha256;

// One version of a file's bytes, told apart without reading them: the file
// object (its index, which a move on the volume keeps), its size and its last
// write time. Every write through the file system moves the time to now; the
// extraction and the copies here set it to an old time or keep the source's,
// so a write after them always shows. The files compared are always under
// the client folder, whose folders the update checks to be no links or
// junctions, so they share its volume and the index alone names the object.
struct FileIdentity {
  std::uint64_t index = 0;
  std::uint64_t size = 0;
  std::uint64_t lastWrite = 0;
  bool operator==(const FileIdentity&) const = default;
};

// A FileIdentity's lastWrite as the FILETIME that SetFileTime takes.
inline FILETIME AsFileTime(std::uint64_t time) {
  FILETIME out{};
  out.dwLowDateTime = static_cast<DWORD>(time);
  out.dwHighDateTime = static_cast<DWORD>(time >> 32);
  return out;
}

// False when the handle or the file cannot be queried.
[[nodiscard]] bool QueryFileIdentity(HANDLE file, FileIdentity& out);

// A second handle of the same open file (same access, same sharing), or an
// invalid one when the platform refuses.
win::UniqueFile DuplicateOpenFile(HANDLE file);

// Whether path names the very file object that held has open: same volume,
// same file index. The name itself is looked at, not what a link there points
// to. False when either cannot be asked.
[[nodiscard]] bool NamesHeldFile(const std::filesystem::path& path, HANDLE held);
[[nodiscard]] bool QueryFileIdentity(const std::filesystem::path& path, FileIdentity& out);

// A file whose bytes were hashed as they passed through, and which it was
// then; a later QueryFileIdentity that still gives identity means the digest
// still holds.
struct HashedFile {
  FileIdentity identity;
  std::string sha256;  // digest text
};

// SHA-256 of a stream of bytes given in pieces. Streams longer than one block
// are hashed on a second thread while the caller goes on reading and writing;
// short ones are hashed in place, where a thread would cost more than the hash.
class StreamHasher {
 public:
  StreamHasher();
  ~StreamHasher();
  StreamHasher(const StreamHasher&) = delete;
  StreamHasher& operator=(const StreamHasher&) = delete;

  // Throws "SHA-256 unavailable." or "SHA-256 failed.".
  void Add(const void* data, std::size_t length);
  // The digest text of everything added; once per object. Same throws.
  std::string FinishHex();

 private:
  struct Worker;
  void Hand(std::vector<std::uint8_t> block);

  std::vector<std::uint8_t> block_;
  std::unique_ptr<Worker> worker_;
  std::unique_ptr<Sha256> inline_;  // hashes here when no worker could start
  bool finished_ = false;
};

// The digest of the file at path (messages as HashFileHex), with the file's
// identity when it did not change while it was read (zero otherwise).
HashedFile HashFileIdentified(const std::filesystem::path& path);

// Copies from to a new file to (failing if to exists) in large blocks, hashing
// the bytes on the way; the copy keeps the source's last write time. When
// known is the source as hashed before and the source is still that file, its
// digest is taken instead of hashing again. Throws the copy_file file-system
// error or a hashing error; a partial copy is left for the caller's
// transaction directory.
HashedFile CopyFileHashing(const std::filesystem::path& from, const std::filesystem::path& to,
                           const HashedFile* known = nullptr);

// Writes all of length bytes, in as many calls as it takes; false on the
// first failed or empty write (GetLastError tells why).
[[nodiscard]] bool WriteAll(HANDLE file, const void* data, std::size_t length);

// The one flush of every named site: FlushFileBuffers on file, unless a test
// leaves that site out, when it reports success without flushing.
[[nodiscard]] bool FlushAt(FlushSite site, HANDLE file);

// Test switch: FlushAt leaves every flush of site out for the object's life,
// and the site skipped before (if any) is skipped again afterwards.
class ScopedSkipFlushSiteForTesting {
 public:
  explicit ScopedSkipFlushSiteForTesting(FlushSite site);
  ~ScopedSkipFlushSiteForTesting();
  ScopedSkipFlushSiteForTesting(const ScopedSkipFlushSiteForTesting&) = delete;
  ScopedSkipFlushSiteForTesting& operator=(const ScopedSkipFlushSiteForTesting&) = delete;

 private:
  int previous_;
};

// Linux (and so Wine, whose FlushFileBuffers is fsync) keeps a written file's
// pages dirty until a tenth of memory is dirty or 30 s have passed, so the
// flush after a large file used to write all of it while everything else
// stood still: a second or more per GiB. A FlushBehind flushes the file on a
// helper thread each time another 32 MiB were written to it, so the disk
// writes while the writer goes on and the final flush finds little left. Its
// flushes only move work earlier (their failures are not reported); the
// caller's final flush still decides. The thread starts with the first flush,
// so small files never get one. The handle must outlive the object.
class FlushBehind {
 public:
  explicit FlushBehind(HANDLE file) : file_(file) {}
  FlushBehind(const FlushBehind&) = delete;
  FlushBehind& operator=(const FlushBehind&) = delete;
  ~FlushBehind();

  void Written(std::uint64_t count);

 private:
  static constexpr std::uint64_t kBytes = 32u << 20;
  void Run();

  HANDLE file_;
  std::uint64_t unflushed_ = 0;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::uint64_t requested_ = 0;
  std::uint64_t flushed_ = 0;
  bool stop_ = false;
  std::thread thread_;
};

// Test switch: every flush that only moves disk writes earlier (AddAhead
// below) first waits milliseconds with its file open, as on a slow disk, for
// the object's life.
class ScopedAheadFlushDelayForTesting {
 public:
  explicit ScopedAheadFlushDelayForTesting(unsigned milliseconds);
  ~ScopedAheadFlushDelayForTesting();
  ScopedAheadFlushDelayForTesting(const ScopedAheadFlushDelayForTesting&) = delete;
  ScopedAheadFlushDelayForTesting& operator=(const ScopedAheadFlushDelayForTesting&) = delete;

 private:
  unsigned previous_;
};

// Flushes files to disk on a few threads, so that the file system can commit
// many of them together instead of one disk round trip after another.
class FlushQueue {
 public:
  FlushQueue();
  ~FlushQueue();
  FlushQueue(const FlushQueue&) = delete;
  FlushQueue& operator=(const FlushQueue&) = delete;

  // Flushes path at site.
  void Add(const std::filesystem::path& path, FlushSite site);
  // The same for a file already open with write access; the queue closes it.
  // Waits while the queue already holds kMaxOpenFiles open files.
  void Add(win::UniqueFile file, FlushSite site);
  // A flush that only moves disk writes earlier: a later flush of the file at
  // its site decides, so this one is at no site.
  void AddAhead(const std::filesystem::path& path);
  // The same for a file already open with write access; the queue closes it.
  void AddAhead(win::UniqueFile file);
  // Returns once every added file is flushed, or throws the failure (as
  // FlushStagedFile words it) of the earliest added file that failed. Files
  // may be added from several threads, but not while Wait runs.
  void Wait();

 private:
  // With untilEmpty, returns once the queue is empty instead of waiting.
  void Run(bool untilEmpty = false);

  std::mutex mutex_;
  std::condition_variable work_;
  std::condition_variable done_;
  std::condition_variable room_;  // an open file's handle was let go
  static constexpr std::size_t kMaxOpenFiles = 32;
  std::size_t openFiles_ = 0;  // handles of open files added and not yet flushed
  struct Item {
    std::size_t number;
    std::filesystem::path path;  // opened by the queue when file is not open
    win::UniqueFile file;
    std::optional<FlushSite> site;
    bool counted = false;  // one of openFiles_
  };
  void Push(Item item);
  std::deque<Item> queue_;
  std::size_t added_ = 0;
  std::size_t busy_ = 0;
  std::size_t failedAt_ = 0;
  std::string failure_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace orvex_update
