// The update area in the client folder, the update lock, and the guarded file
// operations through which every update write into the client folder goes.
#pragma once

#include "common/Errors.h"
#include "common/WinHandles.h"
#include "update/disk/FlushSites.h"
#include "update/disk/ManifestFormat.h"
#include "update/disk/PathRules.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace orvex_update {

// A failed standard file-system call; what() is the operation's name and the
// reason ("file_size: ...", "create_directories: ..."), never a player's text
// (ForPlayer() is false): its kind is kLocked or kDisk by the system code,
// and the edge that reports it gives the operation's own text.
class FileSystemError : public fail::Error {
 public:
  FileSystemError(const char* operation, const std::error_code& code);
  const std::error_code& code() const noexcept { return code_; }

 private:
  std::error_code code_;
};

// Virus scanners, indexers and backup agents open fresh files for a moment,
// some without sharing. RetryWhileLocked calls attempt, which returns
// ERROR_SUCCESS or the Win32 error of its failure, again while it fails with
// a sharing violation, a lock violation or access denied, for about 2 s in
// all with growing waits; it returns the last result and leaves it as the
// thread's last error. Any other error ends it at once.
[[nodiscard]] DWORD RetryWhileLocked(const std::function<DWORD()>& attempt);

// Test switch: every wait of RetryWhileLocked (and of the retrying calls
// built on it) lasts milliseconds instead, for the object's life; a file
// that stays locked then fails at once instead of after about 2 s.
class ScopedLockRetryWaitForTesting {
 public:
  explicit ScopedLockRetryWaitForTesting(DWORD milliseconds);
  ~ScopedLockRetryWaitForTesting();
  ScopedLockRetryWaitForTesting(const ScopedLockRetryWaitForTesting&) = delete;
  ScopedLockRetryWaitForTesting& operator=(const ScopedLockRetryWaitForTesting&) = delete;

 private:
  int previous_;
};

// MoveFileExW with flags through RetryWhileLocked; ERROR_SUCCESS or the error.
[[nodiscard]] DWORD MoveFileRetrying(const std::filesystem::path& from, const std::filesystem::path& to, DWORD flags);

// CreateFileW through RetryWhileLocked; an invalid handle (with the last
// error set) when the file stays locked or cannot be opened at all.
win::UniqueFile OpenFileRetrying(const std::filesystem::path& path, DWORD access, DWORD share, DWORD disposition,
                                 DWORD flags = FILE_ATTRIBUTE_NORMAL);

// The standard file-system operations of the update engine, made of the
// calls in FileCalls.h and throwing FileSystemError named after the
// operation. FsStatus treats a missing path as no error and follows links.
// FsCopyFile, FsRemove and FsRemoveAll retry a file held for a moment, as
// RetryWhileLocked does; FsCopyFile copies with CopyFileW (large blocks).
// FsRemoveAll does not follow links to folders.
[[nodiscard]] bool FsExists(const std::filesystem::path& path);
std::filesystem::file_status FsStatus(const std::filesystem::path& path);
std::uint64_t FsFileSize(const std::filesystem::path& path);
std::filesystem::space_info FsSpace(const std::filesystem::path& path);
bool FsCreateDirectories(const std::filesystem::path& path);
bool FsCopyFile(const std::filesystem::path& from, const std::filesystem::path& to,
                std::filesystem::copy_options options);
bool FsRemove(const std::filesystem::path& path);
std::uintmax_t FsRemoveAll(const std::filesystem::path& path);

// Paths of the update area under the client folder.
std::filesystem::path UpdateAreaPath(const std::filesystem::path& clientFolder);            // .orvex-update
std::filesystem::path TransactionDirectoryPath(const std::filesystem::path& clientFolder);  // .orvex-update/current
std::filesystem::path DownloadDirectoryPath(const std::filesystem::path& clientFolder);     // .orvex-update/download

// The exclusive lock on .orvex-update/update.lock, held for the object's life.
// Construction creates the update area and fails at once, without waiting,
// when anyone (this process included) holds the lock. Throws "Client directory
// is missing.", "Another update is running or the client directory is not
// writable.", a containment message or a file-system error. The lock file is
// never deleted.
class UpdateLock {
 public:
  explicit UpdateLock(const std::filesystem::path& clientFolder);
  UpdateLock(UpdateLock&&) noexcept = default;
  UpdateLock& operator=(UpdateLock&&) noexcept = default;

 private:
  win::UniqueFile file_;
};

// The client file for a manifest entry: the client folder joined with the
// entry's managed path (the percent-encoded non-ASCII name decoded).
std::filesystem::path ClientPathFor(const std::filesystem::path& clientFolder, const ManifestFile& entry);

// Throws "Update path leaves client directory." unless path lies in the client
// folder (textually, after normalisation, ASCII case folded), and "Update path
// contains a junction or symbolic link." when any existing prefix of it, the
// client folder's ancestors included, is a reparse point.
void EnsureInsideClient(const std::filesystem::path& clientFolder, const std::filesystem::path& path);

// EnsureInsideClient for the many paths of one operation. Each folder is
// asked once and then held open without delete sharing for the guard's life,
// so that it cannot be renamed away or removed, and a link put in its place,
// while the operation runs: the one query per folder guards as well as asking
// again for every file. Release before removing any of the folders.
class ContainmentGuard {
 public:
  explicit ContainmentGuard(const std::filesystem::path& clientFolder);
  ContainmentGuard(const ContainmentGuard&) = delete;
  ContainmentGuard& operator=(const ContainmentGuard&) = delete;

  // As EnsureInsideClient(clientFolder, path), same messages.
  void Check(const std::filesystem::path& path);
  // The same, except that the last element of path is not asked about; the
  // caller creates it exclusively or asks itself.
  void CheckFolders(const std::filesystem::path& path);
  // True when path's folder is one this guard has verified and holds.
  [[nodiscard]] bool Holds(const std::filesystem::path& folder) const;
  // Lets go of every folder held.
  void Release();

 private:
  void CheckPrefixes(const std::filesystem::path& path, bool lastToo);

  std::filesystem::path clientFolder_;
  std::vector<std::wstring> root_;
  std::set<std::wstring> held_;  // normalised, ASCII upper-cased
  std::vector<win::UniqueFile> handles_;
};

// Removes .orvex-update/current or .orvex-update/download with everything in it;
// any other target throws "Unexpected cleanup target.". A junction or link
// anywhere inside stops the removal before anything is deleted.
void RemoveUpdateDirectory(const std::filesystem::path& clientFolder, const std::filesystem::path& directory);

// Moves source over destination (replace-existing, write-through), creating the
// destination's folders. Throws "Cannot replace client file; close the game and
// retry." when the move fails, "Cannot replace client file; check disk space."
// when it or a new folder fails for want of room; no copy fallback.
void ReplaceClientFile(const std::filesystem::path& clientFolder, const std::filesystem::path& source,
                       const std::filesystem::path& destination);

// ReplaceClientFile with the paths checked through guard.
void ReplaceClientFile(ContainmentGuard& guard, const std::filesystem::path& source,
                       const std::filesystem::path& destination);

// The same move, made through a handle of the source, which is returned open
// (write access, read sharing): the caller flushes the moved file through it,
// which puts the bytes and the new name on disk without looking up either
// name again. Same checks and the same failure message.
win::UniqueFile ReplaceClientFileHeld(ContainmentGuard& guard, const std::filesystem::path& source,
                                      const std::filesystem::path& destination);

// The same move, of a file the caller already has open with DELETE access
// (the extraction's held handle, see ExtractedFile): the rename goes through
// that handle, and the file stays open. Same checks and failure message.
void ReplaceClientFileThrough(ContainmentGuard& guard, HANDLE open, const std::filesystem::path& source,
                              const std::filesystem::path& destination);

// True when path is a regular file of exactly size bytes whose digest text is
// sha256 byte for byte. False for a missing file; file-system errors of the
// size query and hashing errors pass through.
[[nodiscard]] bool FileMatches(const std::filesystem::path& path, std::uint64_t size, std::string_view sha256);
[[nodiscard]] bool FileMatches(const std::filesystem::path& path, const ManifestFile& record);

// Creates or truncates path, writes the bytes in one call (a short write is
// continued) and flushes them to disk at site. Throws "Cannot create update journal." or "Cannot persist
// update journal.", each ending in "; check disk space." instead when the disk
// is full.
void WriteDurableFile(const std::filesystem::path& path, const void* data, std::size_t length, FlushSite site);
void WriteDurableFile(const std::filesystem::path& path, std::string_view bytes, FlushSite site);
void WriteDurableFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes, FlushSite site);

// Flushes an existing file to disk at site. Throws "Cannot flush staged
// update file." or "Cannot persist staged update file.".
void FlushStagedFile(const std::filesystem::path& path, FlushSite site);

// The whole file, refusing one larger than limit bytes (or 4 GiB). Throws
// "Update metadata is too large.", "Cannot open update metadata.", "Update
// metadata is truncated." or the "file_size" file-system error.
std::vector<std::uint8_t> ReadBoundedFile(const std::filesystem::path& path, std::uint64_t limit);

// Conversions between paths and the narrow (8-bit) names of the narrow Win32
// file calls, in the code page those calls use (ANSI, or OEM after
// SetFileApisToOEM). The standard library's own narrow forms do not use it:
// path::string() gives UTF-8 and path(std::string) reads bytes as Latin-1, so
// a client folder with letters such as "ş" or "ı" turned into another folder.
// PathFromNarrow returns an empty path for bytes the code page does not map;
// NarrowFromPath returns an empty string for a path the code page cannot hold.
std::filesystem::path PathFromNarrow(std::string_view narrow);
std::string NarrowFromPath(const std::filesystem::path& path);

// Answers whether an existing path carries the reparse-point attribute, for
// the containment check. Wine never reports one, so tests swap in their own.
using ReparsePointQuery = bool (*)(const std::filesystem::path& path);

// Test switch: query answers for the object's life (nullptr: the default,
// GetFileAttributesW) and the query before answers again afterwards.
class ScopedReparsePointQueryForTesting {
 public:
  explicit ScopedReparsePointQueryForTesting(ReparsePointQuery query);
  ~ScopedReparsePointQueryForTesting();
  ScopedReparsePointQueryForTesting(const ScopedReparsePointQueryForTesting&) = delete;
  ScopedReparsePointQueryForTesting& operator=(const ScopedReparsePointQueryForTesting&) = delete;

 private:
  ReparsePointQuery previous_;
};

// Answers the current reparse-point query (the default or a test's) for path.
[[nodiscard]] bool IsReparsePoint(const std::filesystem::path& path);

}  // namespace orvex_update
