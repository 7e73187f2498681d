#include "common/Processes.h"

#include "common/WinHandles.h"

#include <tlhelp32.h>

namespace win {

std::optional<unsigned> CountProcessesNamed(const wchar_t* executableName) {
  const HANDLE raw = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (raw == INVALID_HANDLE_VALUE) return std::nullopt;
  const UniqueHandle snapshot(raw);
  unsigned count = 0;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL ok = ::Process32FirstW(snapshot.Get(), &entry); ok; ok = ::Process32NextW(snapshot.Get(), &entry)) {
    if (::lstrcmpiW(entry.szExeFile, executableName) == 0) ++count;
  }
  return count;
}

}  // namespace win
