// A stand-in for a program that the launcher starts (Vantrell.exe,
// ORVEXGuard.exe, Option.exe): test and demo equipment, not product code.
//
// Behaviour comes from "<Name>.standin" next to the executable, lines key=value:
//   exit=<code>[,<code>...]  exit code of the 1st, 2nd, ... start (the last repeats); default 0
//   delay_ms=<n>             wait this long before exiting (no window); default 0
//   window=1                 show a window and pump messages, so the process becomes input-idle
//   lifetime_ms=<n>          with a window: exit after this long; default 30000
// Every start appends "<parent process id><TAB><command line (UTF-8)>" as one
// line to "<Name>.calls" next to the executable; the number of lines already there picks the exit code.
// The file "<Name>.stop" ends a windowed stand-in early.
#include <windows.h>
// tlhelp32.h needs the types of windows.h first.
#include <tlhelp32.h>

#include <cstdint>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "common/Utf8.h"

namespace {

std::wstring ExecutableWithoutExtension() {
  std::vector<wchar_t> buffer(32768);
  const DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  std::wstring path(buffer.data(), length);
  const std::size_t dot = path.rfind(L'.');
  return dot == std::wstring::npos ? path : path.substr(0, dot);
}

std::map<std::string, std::string> ReadBehaviour(const std::wstring& file) {
  std::map<std::string, std::string> values;
  std::ifstream in(file.c_str());
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t equals = line.find('=');
    if (equals != std::string::npos) values[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return values;
}

DWORD ParentProcessId() {
  HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  DWORD parent = 0;
  for (BOOL more = ::Process32FirstW(snapshot, &entry); more; more = ::Process32NextW(snapshot, &entry)) {
    if (entry.th32ProcessID == ::GetCurrentProcessId()) parent = entry.th32ParentProcessID;
  }
  ::CloseHandle(snapshot);
  return parent;
}

// Lines already in the calls file, then appends this start's command line.
unsigned RecordStart(const std::wstring& file) {
  unsigned previous = 0;
  {
    std::ifstream in(file.c_str());
    std::string line;
    while (std::getline(in, line)) ++previous;
  }
  std::ofstream out(file.c_str(), std::ios::app | std::ios::binary);
  out << ParentProcessId() << '\t' << win::Utf8FromWide(::GetCommandLineW()) << "\n";
  return previous;
}

int PickExitCode(const std::string& list, unsigned index) {
  std::vector<int> codes;
  std::stringstream stream(list);
  std::string item;
  while (std::getline(stream, item, ',')) codes.push_back(std::stoi(item));
  if (codes.empty()) return 0;
  return codes[index < codes.size() ? index : codes.size() - 1];
}

unsigned Number(const std::map<std::string, std::string>& values, const char* key, unsigned fallback) {
  const auto found = values.find(key);
  return found == values.end() ? fallback : static_cast<unsigned>(std::stoul(found->second));
}

void RunWindow(const std::wstring& base, unsigned lifetimeMs) {
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = ::DefWindowProcW;
  windowClass.hInstance = ::GetModuleHandleW(nullptr);
  windowClass.lpszClassName = L"OrvexStandIn";
  ::RegisterClassW(&windowClass);
  const std::wstring title = base.substr(base.find_last_of(L"\\/") + 1) + L" stand-in";
  HWND window = ::CreateWindowW(L"OrvexStandIn", title.c_str(), WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr, nullptr,
                                windowClass.hInstance, nullptr);
  ::ShowWindow(window, SW_SHOW);
  const std::wstring stopFile = base + L".stop";
  const ULONGLONG end = ::GetTickCount64() + lifetimeMs;
  ::SetTimer(window, 1, 100, nullptr);
  MSG message{};
  while (::GetTickCount64() < end && ::GetFileAttributesW(stopFile.c_str()) == INVALID_FILE_ATTRIBUTES &&
         ::GetMessageW(&message, nullptr, 0, 0) > 0) {
    ::TranslateMessage(&message);
    ::DispatchMessageW(&message);
  }
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  try {
    const std::wstring base = ExecutableWithoutExtension();
    const auto behaviour = ReadBehaviour(base + L".standin");
    const unsigned index = RecordStart(base + L".calls");
    const auto exitList = behaviour.find("exit");
    const int code = exitList == behaviour.end() ? 0 : PickExitCode(exitList->second, index);
    if (Number(behaviour, "window", 0) != 0) {
      RunWindow(base, Number(behaviour, "lifetime_ms", 30000));
    } else {
      ::Sleep(Number(behaviour, "delay_ms", 0));
    }
    return code;
  } catch (...) {
    return 99;  // a malformed behaviour file
  }
}
