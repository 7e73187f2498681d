// The one door of the update engine to the file system. Every file-system
// call of the install, the recovery, the version record, the launcher swap,
// the offline installer and batch repair goes through a function here, and
// each function makes exactly one platform call of the same name, so that a
// count of these calls can be held against a trace of the process. Tests can
// make any one of them fail, in turn, as the platform would.
#pragma once

#include "common/WinHandles.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace orvex_update::calls {

// Same arguments, same results and the same last error as the Win32 call of
// the same name (the arguments the engine never varies are left out). Safe
// on any thread.
HANDLE CreateFileW(const wchar_t* path, DWORD access, DWORD share, DWORD disposition, DWORD flags);
HANDLE CreateFileA(const char* path, DWORD access, DWORD share, DWORD disposition, DWORD flags);
[[nodiscard]] BOOL ReadFile(HANDLE file, void* buffer, DWORD length, DWORD* read, OVERLAPPED* overlapped = nullptr);
[[nodiscard]] BOOL WriteFile(HANDLE file, const void* buffer, DWORD length, DWORD* written,
                             OVERLAPPED* overlapped = nullptr);
[[nodiscard]] BOOL FlushFileBuffers(HANDLE file);
[[nodiscard]] BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, LARGE_INTEGER* position, DWORD method);
[[nodiscard]] BOOL GetFileSizeEx(HANDLE file, LARGE_INTEGER* size);
[[nodiscard]] BOOL SetFileTime(HANDLE file, const FILETIME* created, const FILETIME* accessed, const FILETIME* written);
[[nodiscard]] DWORD GetFileType(HANDLE file);
[[nodiscard]] BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION* info);
[[nodiscard]] BOOL GetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, void* info, DWORD size);
[[nodiscard]] BOOL SetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, void* info, DWORD size);
// ntdll's NtQueryInformationFile; an NTSTATUS, negative on failure.
LONG NtQueryInformationFile(HANDLE file, void* ioStatus, void* info, ULONG size, int kind);
// For closes whose result matters (a written file): the handle is closed
// even when the result is a failure, as a real failed close does.
[[nodiscard]] BOOL CloseHandle(HANDLE file);
[[nodiscard]] DWORD GetFileAttributesW(const wchar_t* path);
[[nodiscard]] BOOL GetFileAttributesExW(const wchar_t* path, WIN32_FILE_ATTRIBUTE_DATA* data);
[[nodiscard]] BOOL CreateDirectoryW(const wchar_t* path);
[[nodiscard]] BOOL RemoveDirectoryW(const wchar_t* path);
[[nodiscard]] BOOL DeleteFileW(const wchar_t* path);
[[nodiscard]] BOOL MoveFileExW(const wchar_t* from, const wchar_t* to, DWORD flags);
[[nodiscard]] BOOL CopyFileW(const wchar_t* from, const wchar_t* to, BOOL failIfExists);
HANDLE FindFirstFileExW(const wchar_t* pattern, WIN32_FIND_DATAW* data, DWORD flags);
[[nodiscard]] BOOL FindNextFileW(HANDLE find, WIN32_FIND_DATAW* data);
[[nodiscard]] BOOL FindClose(HANDLE find);
[[nodiscard]] BOOL GetDiskFreeSpaceExW(const wchar_t* path, ULARGE_INTEGER* available, ULARGE_INTEGER* total,
                                       ULARGE_INTEGER* free);
UINT GetPrivateProfileIntW(const wchar_t* section, const wchar_t* key, INT fallback, const wchar_t* path);
[[nodiscard]] BOOL WritePrivateProfileStringW(const wchar_t* section, const wchar_t* key, const wchar_t* value,
                                              const wchar_t* path);

// A search handle closed through FindClose above.
struct FindTraits {
  using Type = HANDLE;
  static Type Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Type h) { static_cast<void>(calls::FindClose(h)); }
};
using UniqueFind = win::Unique<FindTraits>;

// The calls made through this module since the process started, all of them
// and by name (names in the order above, every one listed).
std::uint64_t CallCount();
std::vector<std::pair<const char*, std::uint64_t>> CallCountsByName();

// A failure made on purpose: the number-th call (counted from 1) after the
// fault is set fails with error. A lasting fault then fails every later call
// on the same target too: the same path (any path of a two-path call, compared
// without regard to ASCII case or the kind of slash), or the same handle until
// that handle value is handed out again by a new open.
struct FileCallFault {
  std::uint64_t number = 0;
  DWORD error = 0;
  bool lasting = false;
};

// Test switch: sets fault for the object's life and restores the one before
// (none in the product). A failed call returns the call's failure value and
// leaves error as the thread's last error; nothing reaches the platform.
class ScopedFileCallFaultForTesting {
 public:
  explicit ScopedFileCallFaultForTesting(FileCallFault fault);
  ~ScopedFileCallFaultForTesting();
  ScopedFileCallFaultForTesting(const ScopedFileCallFaultForTesting&) = delete;
  ScopedFileCallFaultForTesting& operator=(const ScopedFileCallFaultForTesting&) = delete;

  // Whether the fault has struck yet.
  [[nodiscard]] bool Struck() const;

  struct State;  // defined and used in FileCalls.cpp only

 private:
  State* previous_;
  State* own_;
};

}  // namespace orvex_update::calls
