// The archive layer of the installer: PatchArchive lists a downloaded patch
// archive entry by entry, ExtractArchive writes every regular file of it below
// a staging directory after checking all of them. Both read the file through
// Win32 positioned reads and parse it with ZipReader.
#pragma once

#include "common/WinHandles.h"
#include "update/disk/FileWork.h"
#include "update/unpack/ZipReader.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace orvex_update {

// Most entries ExtractArchive accepts; the installer's listing allows more.
inline constexpr std::size_t kMaxExtractEntries = 10000;
// Longest path, in bytes with the terminator, that ExtractArchive writes.
inline constexpr std::size_t kMaxExtractPath = 260;

// The entry a PatchArchive has open, copied from its central-directory record.
struct PatchArchiveEntry {
  std::int32_t index = -1;
  // The stored name with every "\\" made "/", cut at its first zero byte.
  std::string name;
  std::uint64_t uncompressedSize = 0;
  std::uint64_t compressedSize = 0;
  std::uint32_t crc32 = 0;
  std::uint16_t method = 0;
  std::uint64_t localHeaderOffset = 0;
  std::uint16_t dosTime = 0;
  std::uint16_t dosDate = 0;
  bool isDirectory = false;    // name ends in "/" or DOS directory attribute
  bool isUnixSymlink = false;  // Unix mode S_IFLNK in the external attributes
};

// A read-only patch archive, visited by index in central-directory order.
// Owns the open file; one thread at a time.
class PatchArchive {
 public:
  // Opens the archive named by an 8-bit (process code page) file name and
  // reads its central directory. Nullptr for a null, empty or missing name and
  // for any file that is not a readable archive.
  static std::unique_ptr<PatchArchive> Open(const char* fileName);
  ~PatchArchive();
  PatchArchive(const PatchArchive&) = delete;
  PatchArchive& operator=(const PatchArchive&) = delete;

  // Entries in the central directory; 0 once closed.
  std::uint32_t EntryCount() const;
  // Makes entry index the current one: 0 on success, -1 when index is negative
  // or not below EntryCount(), or the archive is closed.
  [[nodiscard]] int OpenEntry(std::int32_t index);
  // The current entry, or nullptr when none is open.
  const PatchArchiveEntry* Current() const { return current_.index >= 0 ? &current_ : nullptr; }
  // The current entry's name ("/" separators), or nullptr when none is open.
  const char* CurrentName() const { return current_.index >= 0 ? current_.name.c_str() : nullptr; }
  // False when no entry is open.
  [[nodiscard]] bool CurrentIsDirectory() const { return current_.index >= 0 && current_.isDirectory; }
  // 0 when no entry is open.
  std::uint64_t CurrentUncompressedSize() const { return current_.index >= 0 ? current_.uncompressedSize : 0; }
  // Forgets the current entry; never fails.
  void CloseEntry();
  // Closes the file; the destructor does the same. Safe to call twice.
  void Close();

 private:
  explicit PatchArchive(std::unique_ptr<ZipReader> reader) : reader_(std::move(reader)) {}
  std::unique_ptr<ZipReader> reader_;
  PatchArchiveEntry current_;
};

// Extracts every regular file of the archive archiveFile below
// targetDirectory (both 8-bit, process code page). Returns 0 on success, -1 on
// any failure. Every entry is checked before the first byte is written: a
// safe relative name whose joined path stays under 260 bytes, no Unix
// symbolic link, no two names for one file (letter case and separators
// folded), no file where another entry needs a folder, a supported method and
// a sound local header. Then each entry in central-directory order gets a
// junction test on every prefix of its output path, its folder chain, and its
// data (CRC-checked) with the entry's time as access and modification time.
// More than kMaxExtractEntries entries are refused; an empty archive succeeds.
// A failure during the second pass can leave files in targetDirectory, which
// belongs to the caller's transaction directory.
// When extracted is given, it receives every file written, in order, with
// the digest of the bytes written and the file as it was once its time was
// set (identity zero when no time could be set).
struct ExtractedFile {
  std::wstring path;
  HashedFile file;
  // Large files only (from HeldFileBytes on, at most kMaxHeldFiles of them):
  // the handle that created and wrote the file, kept open. It shares reading
  // alone, so from the file's creation on no other open can write the file,
  // map it for writing, delete it or rename it; it has DELETE access, so the
  // file can be moved through it. While it is open, the bytes hashed as they
  // were written are the file's bytes.
  win::UniqueFile held;
};
// The handles an install keeps open come out of one budget: under Wine a
// process gets as many as its wineserver has file descriptors, measured at
// 19,817 under a limit of 20,000 and at 804 under a limit of 1,024 (the
// server raises its soft limit to the hard one). Held staged files (this
// many from the extraction, and the rebuilds' few game archives), held
// folders (256 at most, see ContainmentGuard) and files waiting for their
// flush (32 at most per FlushQueue) stay near 550 together, however large
// the patch; files past the cap are read back by the check after the swap.
constexpr std::size_t kMaxHeldFiles = 256;
// The size from which an extracted file is held (see ExtractedFile).
std::uint64_t HeldFileBytes();
// written, when given, is called with each file as soon as it is complete.
// systemCode, when given, receives the system code behind a -1 (a write, a
// file or a folder that failed; ERROR_DISK_FULL for a full disk), 0 for none.
[[nodiscard]] int ExtractArchive(const char* archiveFile, const char* targetDirectory,
                                 std::vector<ExtractedFile>* extracted = nullptr,
                                 const std::function<void(const ExtractedFile&)>& written = {},
                                 unsigned long* systemCode = nullptr);

// Test switch: HeldFileBytes answers bytes for the object's life, and the
// size before afterwards.
class ScopedHeldFileBytesForTesting {
 public:
  explicit ScopedHeldFileBytesForTesting(std::uint64_t bytes);
  ~ScopedHeldFileBytesForTesting();
  ScopedHeldFileBytesForTesting(const ScopedHeldFileBytesForTesting&) = delete;
  ScopedHeldFileBytesForTesting& operator=(const ScopedHeldFileBytesForTesting&) = delete;

 private:
  std::uint64_t previous_;
};

// Called each time an archive file is opened for parsing (its end record,
// central directory and entries), before the first byte is read.
using ArchiveParseHook = void (*)();

// Test switch: sets hook (nullptr: none) for the object's life and restores
// the one before (none in the product).
class ScopedArchiveParseHookForTesting {
 public:
  explicit ScopedArchiveParseHookForTesting(ArchiveParseHook hook);
  ~ScopedArchiveParseHookForTesting();
  ScopedArchiveParseHookForTesting(const ScopedArchiveParseHookForTesting&) = delete;
  ScopedArchiveParseHookForTesting& operator=(const ScopedArchiveParseHookForTesting&) = delete;

 private:
  ArchiveParseHook previous_;
};

}  // namespace orvex_update
