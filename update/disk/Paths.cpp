#include "update/disk/Paths.h"

#include <algorithm>
#include <atomic>
#include <limits>
#include <optional>
#include <vector>

#include "common/Errors.h"
#include "common/Utf8.h"
#include "update/disk/Digest.h"
#include "update/disk/FileCalls.h"
#include "update/disk/FileWork.h"

namespace fs = std::filesystem;

namespace orvex_update {
namespace {

std::string FileSystemMessage(const char* operation, const std::error_code& code) {
  std::string message = operation;
  message += ": ";
  message += code.message();
  return message;
}

[[nodiscard]] bool DefaultIsReparsePoint(const fs::path& path) {
  const DWORD attributes = calls::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

std::atomic<ReparsePointQuery> g_reparseQuery{&DefaultIsReparsePoint};

// Absolute and lexically normal; GetFullPathNameW (behind absolute) already
// resolves "." and ".." and drops trailing dots and spaces the way every
// later Win32 call will.
fs::path Normalised(const fs::path& path) {
  std::error_code error;
  fs::path absolute = fs::absolute(path, error);
  if (error || absolute.empty()) fail::Throw(fail::Kind::kIntegrity, "Update path leaves client directory.");
  return absolute.lexically_normal();
}

// The non-empty elements: a trailing separator leaves an empty last element
// that must not count as a component of its own.
std::vector<std::wstring> Components(const fs::path& normalised) {
  std::vector<std::wstring> parts;
  for (const fs::path& part : normalised) {
    if (!part.empty()) parts.push_back(part.native());
  }
  return parts;
}

wchar_t FoldAscii(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

[[nodiscard]] bool SameComponent(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

// True when the first components of target are those of root.
[[nodiscard]] bool StartsWith(const std::vector<std::wstring>& target, const std::vector<std::wstring>& root) {
  if (target.size() < root.size()) return false;
  for (std::size_t i = 0; i < root.size(); ++i) {
    if (!SameComponent(target[i], root[i])) return false;
  }
  return true;
}

// The process's file-system code page, as the narrow Win32 file calls would
// use it; managed paths are printable ASCII, so in practice this is a copy.
std::wstring WidenFileName(const std::string& narrow) {
  std::optional<std::wstring> wide = win::WideFromCodePage(win::FileApisCodePage(), narrow, false);
  if (!wide || wide->empty()) fail::Throw(fail::Kind::kIntegrity, "Update path leaves client directory.");
  return std::move(*wide);
}

// Waits between attempts on a file that someone holds for a moment: growing
// steps, about 2 s in all, so a file that stays locked still fails soon.
constexpr DWORD kLockRetryWaitsMs[] = {10, 20, 40, 80, 160, 320, 480, 480, 480};

// Tests that hold a file for good shorten every wait to this (milliseconds).
std::atomic<int> g_lockRetryWaitMs{-1};

void WaitBeforeRetry(DWORD wait) {
  const int shortened = g_lockRetryWaitMs.load();
  ::Sleep(shortened >= 0 ? static_cast<DWORD>(shortened) : wait);
}

[[nodiscard]] bool IsTransientLock(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION || error == ERROR_ACCESS_DENIED;
}

[[noreturn]] void ThrowFileSystemError(const char* operation, DWORD error) {
  throw FileSystemError(operation, std::error_code(static_cast<int>(error), std::system_category()));
}

[[nodiscard]] bool IsMissing(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME ||
         error == ERROR_BAD_NETPATH;
}

// One entry of a folder tree as its listing gives it.
struct TreeEntry {
  fs::path path;
  bool folder = false;  // a folder to walk into and remove after its contents
};

// Every entry under directory, each folder after everything in it. Links to
// folders (reparse points) are entries of their own and never walked into,
// as the standard library's directory walk does not follow them.
void ListTree(const fs::path& directory, std::vector<TreeEntry>& entries, const char* operation) {
  WIN32_FIND_DATAW data{};
  const calls::UniqueFind find(calls::FindFirstFileExW((directory / L"*").c_str(), &data, FIND_FIRST_EX_LARGE_FETCH));
  if (!find) ThrowFileSystemError(operation, ::GetLastError());
  do {
    const std::wstring_view name(data.cFileName);
    if (name == L"." || name == L"..") continue;
    TreeEntry entry;
    entry.path = directory / data.cFileName;
    entry.folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (entry.folder && (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
      ListTree(entry.path, entries, operation);
    }
    entries.push_back(std::move(entry));
  } while (calls::FindNextFileW(find.Get(), &data));
  const DWORD error = ::GetLastError();
  if (error != ERROR_NO_MORE_FILES) ThrowFileSystemError(operation, error);
}

// Deletes the listed entries and then directory itself, in listing order;
// each deletion waits out a file held for a moment. Returns the count.
std::uintmax_t RemoveListed(const std::vector<TreeEntry>& entries, const fs::path& directory) {
  std::uintmax_t removed = 0;
  const auto remove = [&](const fs::path& path, bool folder) {
    const DWORD result = RetryWhileLocked([&]() -> DWORD {
      const BOOL done = folder ? calls::RemoveDirectoryW(path.c_str()) : calls::DeleteFileW(path.c_str());
      return done ? ERROR_SUCCESS : ::GetLastError();
    });
    if (result != ERROR_SUCCESS) ThrowFileSystemError("remove_all", result);
    ++removed;
  };
  for (const TreeEntry& entry : entries) remove(entry.path, entry.folder);
  remove(directory, true);
  return removed;
}

// Removes a directory tree of the update area. The whole tree is checked
// before the first deletion: a link found halfway through a removal would
// leave half a transaction behind.
void RemoveTreeInsideClient(const fs::path& clientFolder, const fs::path& directory) {
  std::vector<TreeEntry> entries;
  ListTree(directory, entries, "remove_all");
  for (const TreeEntry& entry : entries) EnsureInsideClient(clientFolder, entry.path);
  RemoveListed(entries, directory);
}

}  // namespace

DWORD RetryWhileLocked(const std::function<DWORD()>& attempt) {
  DWORD result = attempt();
  for (const DWORD wait : kLockRetryWaitsMs) {
    if (result == ERROR_SUCCESS || !IsTransientLock(result)) break;
    WaitBeforeRetry(wait);
    result = attempt();
  }
  ::SetLastError(result);
  return result;
}

DWORD MoveFileRetrying(const fs::path& from, const fs::path& to, DWORD flags) {
  return RetryWhileLocked(
      [&]() -> DWORD { return calls::MoveFileExW(from.c_str(), to.c_str(), flags) ? ERROR_SUCCESS : ::GetLastError(); });
}

win::UniqueFile OpenFileRetrying(const fs::path& path, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
  win::UniqueFile file;
  // The handle tells the result; the last error stays set for the caller.
  static_cast<void>(RetryWhileLocked([&]() -> DWORD {
    file.Reset(calls::CreateFileW(path.c_str(), access, share, disposition, flags));
    return file ? ERROR_SUCCESS : ::GetLastError();
  }));
  return file;
}

namespace {

// A Win32 code travels as the system code; an errno-style code (a folder
// where a file should be) has none.
unsigned long Win32Code(const std::error_code& code) {
  return code.category() == std::system_category() ? static_cast<unsigned long>(code.value()) : 0;
}

}  // namespace

FileSystemError::FileSystemError(const char* operation, const std::error_code& code)
    : fail::Error(fail::FileKind(Win32Code(code)), FileSystemMessage(operation, code), Win32Code(code), false),
      code_(code) {}

bool FsExists(const fs::path& path) {
  if (calls::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) return true;
  const DWORD error = ::GetLastError();
  if (IsMissing(error)) return false;
  ThrowFileSystemError("exists", error);
}

fs::file_status FsStatus(const fs::path& path) {
  // Following links, as the standard status() does: a link to a folder is
  // reported with the folder's attributes, a link to a file with the file's.
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!calls::GetFileAttributesExW(path.c_str(), &data)) {
    const DWORD error = ::GetLastError();
    if (IsMissing(error)) return fs::file_status(fs::file_type::not_found);
    ThrowFileSystemError("status", error);
  }
  const bool folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  return fs::file_status(folder ? fs::file_type::directory : fs::file_type::regular);
}

std::uint64_t FsFileSize(const fs::path& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!calls::GetFileAttributesExW(path.c_str(), &data)) ThrowFileSystemError("file_size", ::GetLastError());
  if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    throw FileSystemError("file_size", std::make_error_code(std::errc::is_a_directory));
  }
  return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

fs::space_info FsSpace(const fs::path& path) {
  // Asked of the platform itself: the standard library of this toolchain
  // takes a count of 0 for "unknown" and reports all bits set, so a volume
  // full to its last byte would look endless to every space check.
  ULARGE_INTEGER available{};
  ULARGE_INTEGER total{};
  ULARGE_INTEGER free{};
  if (!calls::GetDiskFreeSpaceExW(path.c_str(), &available, &total, &free)) {
    ThrowFileSystemError("space", ::GetLastError());
  }
  return fs::space_info{total.QuadPart, free.QuadPart, available.QuadPart};
}

bool FsCreateDirectories(const fs::path& path) {
  // From the path upward to the first folder that exists, then each missing
  // one created on the way down.
  std::vector<fs::path> missing;
  fs::path folder = path.lexically_normal();
  if (folder.filename().empty() && folder.has_relative_path()) folder = folder.parent_path();  // "a/b/" is "a/b"
  while (!folder.empty()) {
    const DWORD attributes = calls::GetFileAttributesW(folder.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
      if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        throw FileSystemError("create_directories", std::make_error_code(std::errc::not_a_directory));
      }
      break;
    }
    const DWORD error = ::GetLastError();
    if (!IsMissing(error)) ThrowFileSystemError("create_directories", error);
    missing.push_back(folder);
    fs::path parent = folder.parent_path();
    if (parent == folder) break;
    folder = std::move(parent);
  }
  for (auto folder = missing.rbegin(); folder != missing.rend(); ++folder) {
    if (calls::CreateDirectoryW(folder->c_str())) continue;
    const DWORD error = ::GetLastError();
    // Someone else made it meanwhile: fine if it is a folder.
    if (error == ERROR_ALREADY_EXISTS) {
      const DWORD attributes = calls::GetFileAttributesW(folder->c_str());
      if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
    }
    ThrowFileSystemError("create_directories", error);
  }
  return !missing.empty();
}

bool FsCopyFile(const fs::path& from, const fs::path& to, fs::copy_options options) {
  // CopyFileW copies in large blocks; the standard library's copy_file of
  // this toolchain moves 4095 bytes per call.
  const BOOL failIfExists = (options & fs::copy_options::overwrite_existing) == fs::copy_options::none;
  const DWORD result = RetryWhileLocked([&]() -> DWORD {
    return calls::CopyFileW(from.c_str(), to.c_str(), failIfExists) ? ERROR_SUCCESS : ::GetLastError();
  });
  if (result != ERROR_SUCCESS) {
    throw FileSystemError("copy_file", std::error_code(static_cast<int>(result), std::system_category()));
  }
  return true;
}

bool FsRemove(const fs::path& path) {
  const DWORD attributes = calls::GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = ::GetLastError();
    if (IsMissing(error)) return false;
    ThrowFileSystemError("remove", error);
  }
  const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  const DWORD result = RetryWhileLocked([&]() -> DWORD {
    const BOOL done = folder ? calls::RemoveDirectoryW(path.c_str()) : calls::DeleteFileW(path.c_str());
    return done ? ERROR_SUCCESS : ::GetLastError();
  });
  if (result == ERROR_SUCCESS) return true;
  if (IsMissing(result)) return false;
  ThrowFileSystemError("remove", result);
}

std::uintmax_t FsRemoveAll(const fs::path& path) {
  const DWORD attributes = calls::GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = ::GetLastError();
    if (IsMissing(error)) return 0;
    ThrowFileSystemError("remove_all", error);
  }
  std::vector<TreeEntry> entries;
  const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (!folder) {
    const DWORD result = RetryWhileLocked(
        [&]() -> DWORD { return calls::DeleteFileW(path.c_str()) ? ERROR_SUCCESS : ::GetLastError(); });
    if (result != ERROR_SUCCESS) ThrowFileSystemError("remove_all", result);
    return 1;
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) ListTree(path, entries, "remove_all");
  return RemoveListed(entries, path);
}

ScopedLockRetryWaitForTesting::ScopedLockRetryWaitForTesting(DWORD milliseconds)
    : previous_(g_lockRetryWaitMs.exchange(static_cast<int>(milliseconds))) {}

ScopedLockRetryWaitForTesting::~ScopedLockRetryWaitForTesting() { g_lockRetryWaitMs.store(previous_); }

fs::path UpdateAreaPath(const fs::path& clientFolder) { return clientFolder / L".orvex-update"; }
fs::path TransactionDirectoryPath(const fs::path& clientFolder) { return UpdateAreaPath(clientFolder) / L"current"; }
fs::path DownloadDirectoryPath(const fs::path& clientFolder) { return UpdateAreaPath(clientFolder) / L"download"; }

UpdateLock::UpdateLock(const fs::path& clientFolder) {
  const DWORD folder = calls::GetFileAttributesW(clientFolder.c_str());
  if (folder == INVALID_FILE_ATTRIBUTES || (folder & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    fail::Throw(fail::Kind::kUsage, "Client directory is missing.");
  }
  const fs::path area = UpdateAreaPath(clientFolder);
  EnsureInsideClient(clientFolder, area);
  FsCreateDirectories(area);
  const fs::path lockPath = area / L"update.lock";
  EnsureInsideClient(clientFolder, lockPath);
  // A folder where the lock file belongs holds nothing of an update; left
  // there, it would fail every open below with a message about another update.
  const DWORD there = calls::GetFileAttributesW(lockPath.c_str());
  if (there != INVALID_FILE_ATTRIBUTES && (there & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
      (there & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    RemoveTreeInsideClient(clientFolder, lockPath);
  }
  // No sharing at all: a second opener, in this process or another, gets a
  // sharing violation at once. Waiting is left to the user.
  file_.Reset(
      calls::CreateFileW(lockPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL));
  if (!file_) fail::Throw(fail::Kind::kLocked, "Another update is running or the client directory is not writable.");
}

fs::path ClientPathFor(const fs::path& clientFolder, const ManifestFile& entry) {
  if (const char16_t* decoded = DecodedClientName(entry.path)) {
    return clientFolder / std::wstring(decoded, decoded + std::char_traits<char16_t>::length(decoded));
  }
  return clientFolder / WidenFileName(entry.path);
}

void EnsureInsideClient(const fs::path& clientFolder, const fs::path& path) {
  const std::vector<std::wstring> root = Components(Normalised(clientFolder));
  const fs::path target = Normalised(path);
  if (root.empty() || !StartsWith(Components(target), root)) {
    fail::Throw(fail::Kind::kIntegrity, "Update path leaves client directory.");
  }
  // Textual containment is not enough: a junction inside the client folder
  // would take a write anywhere on the disk. Every existing prefix is asked,
  // from the drive down, so a client folder reached through a junction is
  // refused as well.
  const ReparsePointQuery isReparsePoint = g_reparseQuery.load();
  fs::path prefix;
  for (const fs::path& part : target) {
    if (part.empty()) continue;
    prefix /= part;
    // A volume's root directory is where the volume is mounted, not a link
    // inside it. Wine reports its drive roots (dosdevices symlinks) as
    // reparse points, which would refuse every path on the drive.
    if (!prefix.has_relative_path()) continue;
    if (isReparsePoint(prefix))
      fail::Throw(fail::Kind::kIntegrity, "Update path contains a junction or symbolic link.");
  }
}

namespace {

// Folders one guard holds open at most; past that it asks for every path,
// as EnsureInsideClient does, rather than keep more descriptors open (the
// budget of open handles is described beside kMaxHeldFiles).
constexpr std::size_t kMaxHeldFolders = 256;

std::wstring FoldedKey(const fs::path& path) {
  std::wstring key = path.native();
  for (wchar_t& c : key) {
    if (c == L'/') c = L'\\';
    c = static_cast<wchar_t>(c >= L'a' && c <= L'z' ? c - L'a' + L'A' : c);
  }
  return key;
}

}  // namespace

ContainmentGuard::ContainmentGuard(const fs::path& clientFolder)
    : clientFolder_(clientFolder), root_(Components(Normalised(clientFolder))) {}

void ContainmentGuard::Check(const fs::path& path) { CheckPrefixes(path, true); }

void ContainmentGuard::CheckFolders(const fs::path& path) { CheckPrefixes(path, false); }

bool ContainmentGuard::Holds(const fs::path& folder) const {
  return !held_.empty() && held_.count(FoldedKey(Normalised(folder))) != 0;
}

void ContainmentGuard::Release() {
  handles_.clear();
  held_.clear();
}

void ContainmentGuard::CheckPrefixes(const fs::path& path, bool lastToo) {
  const fs::path target = Normalised(path);
  if (root_.empty() || !StartsWith(Components(target), root_)) {
    fail::Throw(fail::Kind::kIntegrity, "Update path leaves client directory.");
  }
  const ReparsePointQuery isReparsePoint = g_reparseQuery.load();
  std::vector<fs::path> parts;
  for (const fs::path& part : target) {
    if (!part.empty()) parts.push_back(part);
  }
  fs::path prefix;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    prefix /= parts[i];
    if (!prefix.has_relative_path()) continue;  // the volume root, as in EnsureInsideClient
    const bool last = i + 1 == parts.size();
    if (last && !lastToo) break;
    std::wstring key;
    if (!last) {
      key = FoldedKey(prefix);
      if (held_.count(key) != 0) continue;
    }
    if (isReparsePoint(prefix))
      fail::Throw(fail::Kind::kIntegrity, "Update path contains a junction or symbolic link.");
    if (last || handles_.size() >= kMaxHeldFolders) continue;
    // Listing access takes part in sharing, so the missing delete sharing
    // keeps the folder's name in place; read and write sharing leave it open
    // to everyone else, this process's own file work included.
    win::UniqueFile folder(calls::CreateFileW(prefix.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                                              FILE_FLAG_BACKUP_SEMANTICS));
    FILE_BASIC_INFO info{};  // not GetFileInformationByHandle: no volume query
    if (!folder || !calls::GetFileInformationByHandleEx(folder.Get(), FileBasicInfo, &info, sizeof info) ||
        (info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      continue;  // not there yet: asked again next time
    }
    // Asked once more now that it is held: a link put in its place between
    // the query and the open is caught here, and none can follow.
    if (isReparsePoint(prefix))
      fail::Throw(fail::Kind::kIntegrity, "Update path contains a junction or symbolic link.");
    held_.insert(std::move(key));
    handles_.push_back(std::move(folder));
  }
}

void RemoveUpdateDirectory(const fs::path& clientFolder, const fs::path& directory) {
  EnsureInsideClient(clientFolder, directory);
  const fs::path name = directory.filename();
  if (name.native() != L"current" && name.native() != L"download") {
    fail::Throw(fail::Kind::kIntegrity, "Unexpected cleanup target.");
  }
  // The name alone would also let a game folder called "current" or
  // "download" be wiped; only the update area's own directories qualify.
  const std::vector<std::wstring> parent = Components(Normalised(directory.parent_path()));
  const std::vector<std::wstring> area = Components(Normalised(UpdateAreaPath(clientFolder)));
  if (parent.size() != area.size() || !StartsWith(parent, area)) {
    fail::Throw(fail::Kind::kIntegrity, "Unexpected cleanup target.");
  }
  const fs::file_status status = FsStatus(directory);
  if (status.type() == fs::file_type::not_found) return;
  // A file in the directory's place (a crash or a tool left it) holds nothing
  // of a transaction; it goes like the directory would.
  if (!fs::is_directory(status)) {
    FsRemove(directory);
    return;
  }
  RemoveTreeInsideClient(clientFolder, directory);
}

namespace {

// A move that fails for want of room (a new folder on its way, a volume out
// of file entries) is not helped by closing the game.
[[noreturn]] void ThrowReplaceFailed(DWORD code) {
  if (fail::IsDiskFull(code)) fail::Throw(fail::Kind::kDisk, "Cannot replace client file; check disk space.", code);
  fail::Throw(fail::FileKind(code), "Cannot replace client file; close the game and retry.", code);
}

// The destination's folders, made where missing; a full disk fails as the
// move would.
void CreateFoldersForMove(const fs::path& folder) {
  try {
    FsCreateDirectories(folder);
  } catch (const FileSystemError& error) {
    const std::error_code& code = error.code();
    if (code == std::errc::no_space_on_device ||
        (code.category() == std::system_category() && fail::IsDiskFull(static_cast<unsigned long>(code.value())))) {
      ThrowReplaceFailed(ERROR_DISK_FULL);
    }
    throw;
  }
}

}  // namespace

void ReplaceClientFile(const fs::path& clientFolder, const fs::path& source, const fs::path& destination) {
  EnsureInsideClient(clientFolder, source);
  EnsureInsideClient(clientFolder, destination);
  CreateFoldersForMove(destination.parent_path());
  // Write-through: the call returns only once the rename is on disk, which the
  // journal's crash recovery relies on. A copy fallback would not be atomic.
  const DWORD result = MoveFileRetrying(source, destination, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  if (result != ERROR_SUCCESS) ThrowReplaceFailed(result);
}

namespace {

void CheckMove(ContainmentGuard& guard, const fs::path& source, const fs::path& destination) {
  guard.Check(source);
  // The destination's folders only: the move replaces whatever name is at
  // the destination itself and never writes through it, and asking for a
  // name that is not there yet makes Wine read the whole folder.
  guard.CheckFolders(destination);
  const fs::path folder = destination.parent_path();
  if (!guard.Holds(folder)) {
    CreateFoldersForMove(folder);
    guard.CheckFolders(destination);
  }
}

// One rename of the open file: it replaces the name at the destination as a
// whole, as a move does. Throws the replace failure.
void RenameOpenFile(HANDLE file, const fs::path& destination) {
  const std::wstring name = fs::absolute(destination).wstring();
  std::vector<std::uint8_t> buffer(sizeof(FILE_RENAME_INFO) + name.size() * sizeof(wchar_t));
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  rename->ReplaceIfExists = TRUE;
  rename->RootDirectory = nullptr;
  rename->FileNameLength = static_cast<DWORD>(name.size() * sizeof(wchar_t));
  std::copy(name.begin(), name.end(), rename->FileName);
  rename->FileName[name.size()] = L'\0';
  const DWORD result = RetryWhileLocked([&]() -> DWORD {
    return calls::SetFileInformationByHandle(file, FileRenameInfo, rename, static_cast<DWORD>(buffer.size()))
               ? ERROR_SUCCESS
               : ::GetLastError();
  });
  if (result != ERROR_SUCCESS) ThrowReplaceFailed(result);
}

}  // namespace

void ReplaceClientFile(ContainmentGuard& guard, const fs::path& source, const fs::path& destination) {
  CheckMove(guard, source, destination);
  const DWORD result = MoveFileRetrying(source, destination, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  if (result != ERROR_SUCCESS) ThrowReplaceFailed(result);
}

win::UniqueFile ReplaceClientFileHeld(ContainmentGuard& guard, const fs::path& source, const fs::path& destination) {
  CheckMove(guard, source, destination);
  // What MoveFileExW does inside, with the handle kept: one open of the
  // source, one rename of the open file. The rename replaces the name at the
  // destination as a whole, as the move does.
  win::UniqueFile file = OpenFileRetrying(source, DELETE | GENERIC_WRITE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
  if (!file) ThrowReplaceFailed(::GetLastError());
  RenameOpenFile(file.Get(), destination);
  return file;
}

void ReplaceClientFileThrough(ContainmentGuard& guard, HANDLE open, const fs::path& source,
                              const fs::path& destination) {
  CheckMove(guard, source, destination);
  RenameOpenFile(open, destination);
}

bool FileMatches(const fs::path& path, std::uint64_t size, std::string_view sha256) {
  if (!fs::is_regular_file(FsStatus(path))) return false;
  if (FsFileSize(path) != size) return false;
  return HashFileHex(path) == sha256;
}

bool FileMatches(const fs::path& path, const ManifestFile& record) {
  return FileMatches(path, record.size, record.sha256);
}

void WriteDurableFile(const fs::path& path, const void* data, std::size_t length, FlushSite site) {
  win::UniqueFile file = OpenFileRetrying(path, GENERIC_WRITE, 0, CREATE_ALWAYS);
  if (!file) {
    const DWORD error = ::GetLastError();
    fail::ThrowNamingDisk(fail::FileKind(error), "Cannot create update journal.", error);
  }
  const bool fits = length <= std::numeric_limits<DWORD>::max() && (data != nullptr || length == 0);
  ::SetLastError(ERROR_SUCCESS);
  // A short write is continued, so that a full disk fails with its code.
  if (!fits || !WriteAll(file.Get(), data, length) || !FlushAt(site, file.Get())) {
    const DWORD error = ::GetLastError();
    file.Reset();
    fail::ThrowNamingDisk(fail::Kind::kDisk, "Cannot persist update journal.", error);
  }
}

void WriteDurableFile(const fs::path& path, std::string_view bytes, FlushSite site) {
  WriteDurableFile(path, bytes.data(), bytes.size(), site);
}

void WriteDurableFile(const fs::path& path, const std::vector<std::uint8_t>& bytes, FlushSite site) {
  WriteDurableFile(path, bytes.data(), bytes.size(), site);
}

void FlushStagedFile(const fs::path& path, FlushSite site) {
  win::UniqueFile file = OpenFileRetrying(path, GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING);
  if (!file) fail::Throw(fail::Kind::kDisk, "Cannot flush staged update file.");
  if (!FlushAt(site, file.Get())) {
    file.Reset();
    fail::Throw(fail::Kind::kDisk, "Cannot persist staged update file.");
  }
}

std::vector<std::uint8_t> ReadBoundedFile(const fs::path& path, std::uint64_t limit) {
  const std::uint64_t size = FsFileSize(path);
  if (size > std::numeric_limits<std::uint32_t>::max() || size > limit) {
    fail::Throw(fail::Kind::kIntegrity, "Update metadata is too large.");
  }
  const win::UniqueFile file = OpenFileRetrying(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
  if (!file) fail::Throw(fail::Kind::kDisk, "Cannot open update metadata.");
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
  std::size_t done = 0;
  while (done < bytes.size()) {
    DWORD read = 0;
    if (!calls::ReadFile(file.Get(), bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &read) ||
        read == 0) {
      fail::Throw(fail::Kind::kIntegrity, "Update metadata is truncated.");
    }
    done += read;
  }
  return bytes;
}

fs::path PathFromNarrow(std::string_view narrow) {
  std::optional<std::wstring> wide = win::WideFromCodePage(win::FileApisCodePage(), narrow, true);
  return wide ? fs::path(std::move(*wide)) : fs::path();
}

std::string NarrowFromPath(const fs::path& path) {
  return win::NarrowStrict(win::FileApisCodePage(), path.native()).value_or(std::string());
}

bool IsReparsePoint(const fs::path& path) { return g_reparseQuery.load()(path); }

ScopedReparsePointQueryForTesting::ScopedReparsePointQueryForTesting(ReparsePointQuery query)
    : previous_(g_reparseQuery.exchange(query != nullptr ? query : &DefaultIsReparsePoint)) {}

ScopedReparsePointQueryForTesting::~ScopedReparsePointQueryForTesting() { g_reparseQuery.store(previous_); }

}  // namespace orvex_update
