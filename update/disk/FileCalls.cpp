#include "update/disk/FileCalls.h"

#include <algorithm>
#include <atomic>
#include <mutex>

namespace orvex_update::calls {

struct ScopedFileCallFaultForTesting::State {
  FileCallFault fault;
  std::atomic<std::uint64_t> seen{0};
  std::atomic<bool> struck{false};
  std::mutex mutex;  // guards the lasting targets
  std::vector<std::wstring> paths;
  std::vector<HANDLE> handles;
};

namespace {

using State = ScopedFileCallFaultForTesting::State;

enum Call : int {
  kCreateFileW,
  kCreateFileA,
  kReadFile,
  kWriteFile,
  kFlushFileBuffers,
  kSetFilePointerEx,
  kGetFileSizeEx,
  kSetFileTime,
  kGetFileType,
  kGetFileInformationByHandle,
  kGetFileInformationByHandleEx,
  kSetFileInformationByHandle,
  kNtQueryInformationFile,
  kCloseHandle,
  kGetFileAttributesW,
  kGetFileAttributesExW,
  kCreateDirectoryW,
  kRemoveDirectoryW,
  kDeleteFileW,
  kMoveFileExW,
  kCopyFileW,
  kFindFirstFileExW,
  kFindNextFileW,
  kFindClose,
  kGetDiskFreeSpaceExW,
  kGetPrivateProfileIntW,
  kWritePrivateProfileStringW,
  kCallKinds
};

constexpr const char* kNames[kCallKinds] = {
    "CreateFileW",       "CreateFileA",        "ReadFile",
    "WriteFile",         "FlushFileBuffers",   "SetFilePointerEx",
    "GetFileSizeEx",     "SetFileTime",        "GetFileType",
    "GetFileInformationByHandle", "GetFileInformationByHandleEx", "SetFileInformationByHandle",
    "NtQueryInformationFile", "CloseHandle",   "GetFileAttributesW",
    "GetFileAttributesExW", "CreateDirectoryW", "RemoveDirectoryW",
    "DeleteFileW",       "MoveFileExW",        "CopyFileW",
    "FindFirstFileExW",  "FindNextFileW",      "FindClose",
    "GetDiskFreeSpaceExW", "GetPrivateProfileIntW", "WritePrivateProfileStringW",
};

std::atomic<std::uint64_t> g_total{0};
std::atomic<std::uint64_t> g_byName[kCallKinds];
std::atomic<State*> g_fault{nullptr};

std::wstring PathKey(const wchar_t* path) {
  std::wstring key = path != nullptr ? path : L"";
  for (wchar_t& c : key) {
    if (c == L'/') c = L'\\';
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
  }
  return key;
}

std::wstring PathKey(const char* path) {
  std::wstring wide;
  for (const char* c = path; c != nullptr && *c != '\0'; ++c) wide.push_back(static_cast<unsigned char>(*c));
  return PathKey(wide.c_str());
}

// What one call names: up to two paths, or a handle.
struct Target {
  std::wstring paths[2];
  int pathCount = 0;
  HANDLE handle = INVALID_HANDLE_VALUE;
};

template <class... Paths>
Target OnPaths(const Paths*... paths) {
  Target target;
  ((target.paths[target.pathCount++] = PathKey(paths)), ...);
  return target;
}

Target OnHandle(HANDLE handle) {
  Target target;
  target.handle = handle;
  return target;
}

// Counts the call and tells whether the fault takes it; when it does, the
// thread's last error is already the fault's error.
[[nodiscard]] bool Fails(Call call, const Target& target) {
  g_total.fetch_add(1, std::memory_order_relaxed);
  g_byName[call].fetch_add(1, std::memory_order_relaxed);
  State* state = g_fault.load(std::memory_order_acquire);
  if (state == nullptr) return false;
  const std::uint64_t number = state->seen.fetch_add(1) + 1;
  bool fails = number == state->fault.number;
  const std::lock_guard lock(state->mutex);
  if (!fails && state->fault.lasting && state->struck.load()) {
    for (int i = 0; i < target.pathCount && !fails; ++i) {
      fails = std::find(state->paths.begin(), state->paths.end(), target.paths[i]) != state->paths.end();
    }
    if (target.pathCount == 0) {
      fails = std::find(state->handles.begin(), state->handles.end(), target.handle) != state->handles.end();
    }
  }
  if (!fails) return false;
  if (number == state->fault.number) {
    state->struck.store(true);
    if (state->fault.lasting) {
      for (int i = 0; i < target.pathCount; ++i) state->paths.push_back(target.paths[i]);
      if (target.pathCount == 0) state->handles.push_back(target.handle);
    }
  }
  ::SetLastError(state->fault.error);
  return true;
}

// A new open handed out this handle value: whatever failed under it before
// was another object, closed since.
HANDLE Opened(HANDLE handle) {
  State* state = g_fault.load(std::memory_order_acquire);
  if (state != nullptr && handle != INVALID_HANDLE_VALUE && handle != nullptr) {
    const std::lock_guard lock(state->mutex);
    state->handles.erase(std::remove(state->handles.begin(), state->handles.end(), handle), state->handles.end());
  }
  return handle;
}

}  // namespace

HANDLE CreateFileW(const wchar_t* path, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
  if (Fails(kCreateFileW, OnPaths(path))) return INVALID_HANDLE_VALUE;
  return Opened(::CreateFileW(path, access, share, nullptr, disposition, flags, nullptr));
}

HANDLE CreateFileA(const char* path, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
  if (Fails(kCreateFileA, OnPaths(path))) return INVALID_HANDLE_VALUE;
  return Opened(::CreateFileA(path, access, share, nullptr, disposition, flags, nullptr));
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD length, DWORD* read, OVERLAPPED* overlapped) {
  if (Fails(kReadFile, OnHandle(file))) return FALSE;
  return ::ReadFile(file, buffer, length, read, overlapped);
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD length, DWORD* written, OVERLAPPED* overlapped) {
  if (Fails(kWriteFile, OnHandle(file))) return FALSE;
  return ::WriteFile(file, buffer, length, written, overlapped);
}

BOOL FlushFileBuffers(HANDLE file) {
  if (Fails(kFlushFileBuffers, OnHandle(file))) return FALSE;
  return ::FlushFileBuffers(file);
}

BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, LARGE_INTEGER* position, DWORD method) {
  if (Fails(kSetFilePointerEx, OnHandle(file))) return FALSE;
  return ::SetFilePointerEx(file, distance, position, method);
}

BOOL GetFileSizeEx(HANDLE file, LARGE_INTEGER* size) {
  if (Fails(kGetFileSizeEx, OnHandle(file))) return FALSE;
  return ::GetFileSizeEx(file, size);
}

BOOL SetFileTime(HANDLE file, const FILETIME* created, const FILETIME* accessed, const FILETIME* written) {
  if (Fails(kSetFileTime, OnHandle(file))) return FALSE;
  return ::SetFileTime(file, created, accessed, written);
}

DWORD GetFileType(HANDLE file) {
  if (Fails(kGetFileType, OnHandle(file))) return FILE_TYPE_UNKNOWN;
  return ::GetFileType(file);
}

BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION* info) {
  if (Fails(kGetFileInformationByHandle, OnHandle(file))) return FALSE;
  return ::GetFileInformationByHandle(file, info);
}

BOOL GetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, void* info, DWORD size) {
  if (Fails(kGetFileInformationByHandleEx, OnHandle(file))) return FALSE;
  return ::GetFileInformationByHandleEx(file, kind, info, size);
}

BOOL SetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, void* info, DWORD size) {
  if (Fails(kSetFileInformationByHandle, OnHandle(file))) return FALSE;
  return ::SetFileInformationByHandle(file, kind, info, size);
}

LONG NtQueryInformationFile(HANDLE file, void* ioStatus, void* info, ULONG size, int kind) {
  using Query = LONG(WINAPI*)(HANDLE, void*, void*, ULONG, int);
  static const auto query = [] {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll ? reinterpret_cast<Query>(reinterpret_cast<void*>(::GetProcAddress(ntdll, "NtQueryInformationFile")))
                 : nullptr;
  }();
  constexpr LONG kUnsuccessful = static_cast<LONG>(0xC0000001);  // STATUS_UNSUCCESSFUL
  if (Fails(kNtQueryInformationFile, OnHandle(file))) return kUnsuccessful;
  if (query == nullptr) {
    ::SetLastError(ERROR_PROC_NOT_FOUND);
    return kUnsuccessful;
  }
  return query(file, ioStatus, info, size, kind);
}

BOOL CloseHandle(HANDLE file) {
  if (Fails(kCloseHandle, OnHandle(file))) {
    // Still the one platform call: the handle goes whatever the close says.
    const DWORD error = ::GetLastError();
    ::CloseHandle(file);
    ::SetLastError(error);
    return FALSE;
  }
  return ::CloseHandle(file);
}

DWORD GetFileAttributesW(const wchar_t* path) {
  if (Fails(kGetFileAttributesW, OnPaths(path))) return INVALID_FILE_ATTRIBUTES;
  return ::GetFileAttributesW(path);
}

BOOL GetFileAttributesExW(const wchar_t* path, WIN32_FILE_ATTRIBUTE_DATA* data) {
  if (Fails(kGetFileAttributesExW, OnPaths(path))) return FALSE;
  return ::GetFileAttributesExW(path, GetFileExInfoStandard, data);
}

BOOL CreateDirectoryW(const wchar_t* path) {
  if (Fails(kCreateDirectoryW, OnPaths(path))) return FALSE;
  return ::CreateDirectoryW(path, nullptr);
}

BOOL RemoveDirectoryW(const wchar_t* path) {
  if (Fails(kRemoveDirectoryW, OnPaths(path))) return FALSE;
  return ::RemoveDirectoryW(path);
}

BOOL DeleteFileW(const wchar_t* path) {
  if (Fails(kDeleteFileW, OnPaths(path))) return FALSE;
  return ::DeleteFileW(path);
}

BOOL MoveFileExW(const wchar_t* from, const wchar_t* to, DWORD flags) {
  if (Fails(kMoveFileExW, OnPaths(from, to))) return FALSE;
  return ::MoveFileExW(from, to, flags);
}

BOOL CopyFileW(const wchar_t* from, const wchar_t* to, BOOL failIfExists) {
  if (Fails(kCopyFileW, OnPaths(from, to))) return FALSE;
  return ::CopyFileW(from, to, failIfExists);
}

HANDLE FindFirstFileExW(const wchar_t* pattern, WIN32_FIND_DATAW* data, DWORD flags) {
  if (Fails(kFindFirstFileExW, OnPaths(pattern))) return INVALID_HANDLE_VALUE;
  return Opened(::FindFirstFileExW(pattern, FindExInfoStandard, data, FindExSearchNameMatch, nullptr, flags));
}

BOOL FindNextFileW(HANDLE find, WIN32_FIND_DATAW* data) {
  if (Fails(kFindNextFileW, OnHandle(find))) return FALSE;
  return ::FindNextFileW(find, data);
}

BOOL FindClose(HANDLE find) {
  if (Fails(kFindClose, OnHandle(find))) {
    const DWORD error = ::GetLastError();
    ::FindClose(find);  // as CloseHandle above: the search ends regardless
    ::SetLastError(error);
    return FALSE;
  }
  return ::FindClose(find);
}

BOOL GetDiskFreeSpaceExW(const wchar_t* path, ULARGE_INTEGER* available, ULARGE_INTEGER* total,
                         ULARGE_INTEGER* free) {
  if (Fails(kGetDiskFreeSpaceExW, OnPaths(path))) return FALSE;
  return ::GetDiskFreeSpaceExW(path, available, total, free);
}

UINT GetPrivateProfileIntW(const wchar_t* section, const wchar_t* key, INT fallback, const wchar_t* path) {
  // A file that cannot be read gives the fallback, as the platform does.
  if (Fails(kGetPrivateProfileIntW, OnPaths(path))) return static_cast<UINT>(fallback);
  return ::GetPrivateProfileIntW(section, key, fallback, path);
}

BOOL WritePrivateProfileStringW(const wchar_t* section, const wchar_t* key, const wchar_t* value,
                                const wchar_t* path) {
  if (Fails(kWritePrivateProfileStringW, OnPaths(path))) return FALSE;
  return ::WritePrivateProfileStringW(section, key, value, path);
}

std::uint64_t CallCount() { return g_total.load(); }

std::vector<std::pair<const char*, std::uint64_t>> CallCountsByName() {
  std::vector<std::pair<const char*, std::uint64_t>> counts;
  for (int i = 0; i < kCallKinds; ++i) counts.emplace_back(kNames[i], g_byName[i].load());
  return counts;
}

ScopedFileCallFaultForTesting::ScopedFileCallFaultForTesting(FileCallFault fault)
    : previous_(g_fault.load()), own_(new State) {
  own_->fault = fault;
  g_fault.store(own_, std::memory_order_release);
}

ScopedFileCallFaultForTesting::~ScopedFileCallFaultForTesting() {
  g_fault.store(previous_, std::memory_order_release);
  delete own_;  // the engine's threads have ended with the operation under test
}

bool ScopedFileCallFaultForTesting::Struck() const { return own_->struck.load(); }

}  // namespace orvex_update::calls
