// The minimal Win32 programs that the launcher's figures are divided by
// (bench/bench.py): what the same work costs under Wine with nothing but the
// platform calls it needs, no checks, no journal, and no flushes unless
// --flush asks for the durable variant.
//
//   orvex_wine_baseline extract [--flush] <out folder> <archive>...
//       per archive: one extraction pass (ZIP central directory, stored or
//       deflated entries, zlib) into the folder, overwriting what is there,
//       then one SHA-256 pass (BCrypt) over the files it wrote; --flush calls
//       FlushFileBuffers on each written file before closing it
//   orvex_wine_baseline copyhash [--flush] <source> <target>
//       CopyFileW, then one SHA-256 pass over the copy; --flush opens the copy
//       again and calls FlushFileBuffers on it before the hash pass
//   orvex_wine_baseline hash <list file>
//       SHA-256 of every file named in the list, one after the other on one thread
//   orvex_wine_baseline attrs <list file> [<repeats>]
//       GetFileAttributesExW of every file named in the list
//   orvex_wine_baseline download <https url> <target>
//       one WinHTTP GET (system trust), 64 KiB reads written straight to the file
//   orvex_wine_baseline window [--stay [--timers]]
//       an 800 x 600 window that paints one line of text; it closes itself after
//       its first paint unless --stay, and then idles in GetMessage until ended;
//       --timers adds the launcher's two window timers (250 ms and 100 ms),
//       whose ticks do nothing, so the cost of the wakes alone can be measured
//
// A list file holds one Windows path a line, UTF-8. Each command prints
// "ELAPSED <seconds>" (the work only, not the process start) and then waits
// for the end of its standard input before it exits 0, so that the caller can
// read the peak memory of the finished process from /proc/<pid>/status (Wine
// runs a Windows process as one Linux process); or it prints "ERROR: <text>"
// and exits 1.
#include <windows.h>
#include <bcrypt.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/Utf8.h"
#include "common/WinHandles.h"
#include "common/WinHttpHandles.h"

namespace {

// The block size the launcher reads, writes and hashes with: on these
// machines a block that stays in the core's cache between a read and a write
// costs the kernel a third of the time of a megabyte block, and a baseline
// that paid for the larger block would flatter the launcher.
constexpr DWORD kBlock = 256 << 10;

[[noreturn]] void Fail(const std::string& text) { throw std::runtime_error(text); }

double Now() {
  LARGE_INTEGER counter{};
  LARGE_INTEGER frequency{};
  ::QueryPerformanceCounter(&counter);
  ::QueryPerformanceFrequency(&frequency);
  return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Reports the time and stays until the caller closes our input (see above).
int Finish(double seconds) {
  std::printf("ELAPSED %.6f\n", seconds);
  std::fflush(stdout);
  std::string line;
  while (std::getline(std::cin, line)) {
  }
  return 0;
}

std::vector<std::wstring> ReadList(const std::wstring& file) {
  std::ifstream in(std::filesystem::path(file), std::ios::binary);
  if (!in) Fail("cannot read list file");
  std::vector<std::wstring> paths;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) paths.push_back(win::WideFromUtf8(line));
  }
  return paths;
}

win::UniqueFile OpenRead(const std::wstring& path) {
  win::UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) Fail("cannot open " + win::Utf8FromWide(path));
  return file;
}

class Hasher {
 public:
  Hasher() {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
      Fail("SHA-256 unavailable");
    }
    algorithm_.Reset(algorithm);
  }

  void HashFile(const std::wstring& path, std::vector<std::uint8_t>& buffer) {
    const win::UniqueFile file = OpenRead(path);
    BCRYPT_HASH_HANDLE raw = nullptr;
    if (!BCRYPT_SUCCESS(::BCryptCreateHash(algorithm_.Get(), &raw, nullptr, 0, nullptr, 0, 0))) Fail("hash");
    const win::UniqueBcryptHash hash(raw);
    for (;;) {
      DWORD read = 0;
      if (!::ReadFile(file.Get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr)) Fail("read");
      if (read == 0) break;
      if (!BCRYPT_SUCCESS(::BCryptHashData(hash.Get(), buffer.data(), read, 0))) Fail("hash");
    }
    std::uint8_t digest[32];
    if (!BCRYPT_SUCCESS(::BCryptFinishHash(hash.Get(), digest, sizeof digest, 0))) Fail("hash");
    checksum_ ^= digest[0];
  }

 private:
  win::UniqueBcryptAlgorithm algorithm_;
  std::uint8_t checksum_ = 0;  // keeps the digests observable
};

// ---------------------------------------------------------------- extract

std::uint32_t Le32(const std::uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (std::uint32_t(p[3]) << 24); }
std::uint16_t Le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

void ReadAt(HANDLE file, std::uint64_t offset, void* data, DWORD length) {
  LARGE_INTEGER position{};
  position.QuadPart = static_cast<LONGLONG>(offset);
  DWORD read = 0;
  if (!::SetFilePointerEx(file, position, nullptr, FILE_BEGIN) ||
      !::ReadFile(file, data, length, &read, nullptr) || read != length) {
    Fail("short read from archive");
  }
}

struct Entry {
  std::string name;
  std::uint16_t method = 0;
  std::uint32_t packed = 0;
  std::uint32_t size = 0;
  std::uint32_t localOffset = 0;
};

std::vector<Entry> CentralDirectory(HANDLE archive) {
  LARGE_INTEGER size{};
  ::GetFileSizeEx(archive, &size);
  const std::uint64_t tailLength = std::min<std::uint64_t>(static_cast<std::uint64_t>(size.QuadPart), 65557);
  std::vector<std::uint8_t> tail(tailLength);
  ReadAt(archive, size.QuadPart - tailLength, tail.data(), static_cast<DWORD>(tailLength));
  std::size_t end = tailLength >= 22 ? tailLength - 22 + 1 : 0;
  while (end-- > 0) {
    if (Le32(&tail[end]) == 0x06054B50) break;
  }
  if (end == static_cast<std::size_t>(-1)) Fail("no end of central directory");
  const std::uint16_t count = Le16(&tail[end + 10]);
  const std::uint32_t directorySize = Le32(&tail[end + 12]);
  const std::uint32_t directoryOffset = Le32(&tail[end + 16]);
  std::vector<std::uint8_t> directory(directorySize);
  ReadAt(archive, directoryOffset, directory.data(), directorySize);
  std::vector<Entry> entries;
  std::size_t at = 0;
  for (std::uint16_t i = 0; i < count; ++i) {
    const std::uint8_t* record = &directory[at];
    if (Le32(record) != 0x02014B50) Fail("bad central directory");
    Entry entry;
    entry.method = Le16(record + 10);
    entry.packed = Le32(record + 20);
    entry.size = Le32(record + 24);
    const std::uint16_t nameLength = Le16(record + 28);
    const std::uint16_t extraLength = Le16(record + 30);
    const std::uint16_t commentLength = Le16(record + 32);
    entry.localOffset = Le32(record + 42);
    if (entry.packed == 0xFFFFFFFF || entry.size == 0xFFFFFFFF || entry.localOffset == 0xFFFFFFFF) {
      Fail("ZIP64 entries are not read here");
    }
    entry.name.assign(reinterpret_cast<const char*>(record + 46), nameLength);
    at += 46 + nameLength + extraLength + commentLength;
    entries.push_back(std::move(entry));
  }
  return entries;
}

void CreateParents(const std::wstring& path, std::set<std::wstring>& made) {
  for (std::size_t slash = path.find(L'\\', 3); slash != std::wstring::npos; slash = path.find(L'\\', slash + 1)) {
    const std::wstring folder = path.substr(0, slash);
    if (made.insert(folder).second) ::CreateDirectoryW(folder.c_str(), nullptr);
  }
}

void WriteAll(HANDLE file, const void* data, DWORD length) {
  DWORD written = 0;
  if (!::WriteFile(file, data, length, &written, nullptr) || written != length) Fail("write failed");
}

void Flush(HANDLE file) {
  if (!::FlushFileBuffers(file)) Fail("FlushFileBuffers failed");
}

void ExtractEntry(HANDLE archive, const Entry& entry, const std::wstring& target, std::vector<std::uint8_t>& in,
                  std::vector<std::uint8_t>& out, bool flush) {
  std::uint8_t local[30];
  ReadAt(archive, entry.localOffset, local, sizeof local);
  if (Le32(local) != 0x04034B50) Fail("bad local header");
  std::uint64_t offset = entry.localOffset + 30ull + Le16(local + 26) + Le16(local + 28);
  const win::UniqueFile file(::CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) Fail("cannot create " + win::Utf8FromWide(target));
  std::uint32_t left = entry.packed;
  if (entry.method == 0) {
    while (left > 0) {
      const DWORD part = std::min<std::uint32_t>(left, kBlock);
      ReadAt(archive, offset, in.data(), part);
      WriteAll(file.Get(), in.data(), part);
      offset += part;
      left -= part;
    }
    if (flush) Flush(file.Get());
    return;
  }
  if (entry.method != 8) Fail("unsupported method");
  z_stream stream{};
  if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) Fail("inflate");
  int result = Z_OK;
  while (result != Z_STREAM_END) {
    if (stream.avail_in == 0) {
      if (left == 0) break;
      const DWORD part = std::min<std::uint32_t>(left, kBlock);
      ReadAt(archive, offset, in.data(), part);
      offset += part;
      left -= part;
      stream.next_in = in.data();
      stream.avail_in = part;
    }
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    result = inflate(&stream, Z_NO_FLUSH);
    if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR) {
      inflateEnd(&stream);
      Fail("inflate failed");
    }
    WriteAll(file.Get(), out.data(), static_cast<DWORD>(out.size() - stream.avail_out));
  }
  inflateEnd(&stream);
  if (flush) Flush(file.Get());
}

void Extract(const std::wstring& folder, const std::vector<std::wstring>& archives, bool flush) {
  std::vector<std::uint8_t> in(kBlock);
  std::vector<std::uint8_t> out(kBlock);
  std::set<std::wstring> made;
  Hasher hasher;
  for (const std::wstring& name : archives) {
    const win::UniqueFile archive = OpenRead(name);
    std::vector<std::wstring> written;
    for (const Entry& entry : CentralDirectory(archive.Get())) {
      if (entry.name.empty() || entry.name.back() == '/') continue;
      std::wstring target = folder + L"\\" + win::WideFromUtf8(entry.name);
      for (wchar_t& c : target) {
        if (c == L'/') c = L'\\';
      }
      CreateParents(target, made);
      ExtractEntry(archive.Get(), entry, target, in, out, flush);
      written.push_back(std::move(target));
    }
    for (const std::wstring& file : written) hasher.HashFile(file, in);
  }
}

// ---------------------------------------------------------------- the rest

void CopyHash(const std::wstring& source, const std::wstring& target, bool flush) {
  if (!::CopyFileW(source.c_str(), target.c_str(), FALSE)) Fail("CopyFileW failed");
  if (flush) {
    // CopyFileW closes the copy; FlushFileBuffers (fsync under Wine) on a new
    // handle writes out the pages it left dirty all the same.
    const win::UniqueFile copy(::CreateFileW(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                             FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!copy) Fail("cannot open the copy");
    Flush(copy.Get());
  }
  std::vector<std::uint8_t> buffer(kBlock);
  Hasher().HashFile(target, buffer);
}

void HashList(const std::vector<std::wstring>& files) {
  std::vector<std::uint8_t> buffer(kBlock);
  Hasher hasher;
  for (const std::wstring& file : files) hasher.HashFile(file, buffer);
}

void QueryAttributes(const std::vector<std::wstring>& files) {
  std::uint64_t sum = 0;
  for (const std::wstring& file : files) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (::GetFileAttributesExW(file.c_str(), GetFileExInfoStandard, &data)) sum += data.nFileSizeLow;
  }
  if (sum == 0 && !files.empty()) Fail("no file found");
}

void Download(const std::wstring& url, const std::wstring& target) {
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  if (!::WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) Fail("bad url");
  const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
  const std::wstring path(parts.lpszUrlPath, parts.dwUrlPathLength);
  const win::UniqueInternet session(::WinHttpOpen(L"baseline", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                                  WINHTTP_NO_PROXY_BYPASS, 0));
  const win::UniqueInternet connection(::WinHttpConnect(session.Get(), host.c_str(), parts.nPort, 0));
  const win::UniqueInternet request(::WinHttpOpenRequest(connection.Get(), L"GET", path.c_str(), nullptr,
                                                         WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                         WINHTTP_FLAG_SECURE));
  if (!request || !::WinHttpSendRequest(request.Get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0,
                                        0, 0) ||
      !::WinHttpReceiveResponse(request.Get(), nullptr)) {
    Fail("request failed");
  }
  const win::UniqueFile file(::CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) Fail("cannot create target");
  std::vector<char> buffer(65536);
  for (;;) {
    DWORD count = 0;
    if (!::WinHttpReadData(request.Get(), buffer.data(), static_cast<DWORD>(buffer.size()), &count)) Fail("read");
    if (count == 0) break;
    WriteAll(file.Get(), buffer.data(), count);
  }
}

bool g_stay = false;

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_PAINT: {
      const win::PaintScope paint(window);
      RECT area{};
      ::GetClientRect(window, &area);
      ::FillRect(paint.Dc(), &area, static_cast<HBRUSH>(::GetStockObject(BLACK_BRUSH)));
      ::SetTextColor(paint.Dc(), RGB(255, 255, 255));
      ::SetBkMode(paint.Dc(), TRANSPARENT);
      ::DrawTextW(paint.Dc(), L"baseline", -1, &area, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
      if (!g_stay) ::PostMessageW(window, WM_CLOSE, 0, 0);
      return 0;
    }
    case WM_DESTROY:
      ::PostQuitMessage(0);
      return 0;
    default:
      return ::DefWindowProcW(window, message, wParam, lParam);
  }
}

void Window(bool timers) {
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = WindowProc;
  windowClass.hInstance = ::GetModuleHandleW(nullptr);
  windowClass.lpszClassName = L"OrvexBaselineWindow";
  windowClass.hCursor = ::LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW, which is narrow without UNICODE
  if (!::RegisterClassW(&windowClass)) Fail("RegisterClassW failed");
  HWND window = ::CreateWindowExW(0, windowClass.lpszClassName, L"Baseline", WS_POPUP | WS_VISIBLE, 100, 100, 800,
                                  600, nullptr, nullptr, windowClass.hInstance, nullptr);
  if (!window) Fail("CreateWindowExW failed");
  if (timers && (!::SetTimer(window, 27, 250, nullptr) || !::SetTimer(window, 103, 100, nullptr))) {
    Fail("SetTimer failed");
  }
  MSG message;
  while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
    ::TranslateMessage(&message);
    ::DispatchMessageW(&message);
  }
}

int Usage() {
  std::printf("ERROR: usage: extract [--flush]|copyhash [--flush]|hash|attrs|download|window ...\n");
  return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::vector<std::wstring> args(argv + 1, argv + argc);
  if (args.empty()) return Usage();
  const std::wstring command = args[0];
  // --flush right after extract or copyhash: the durable variant of either.
  const bool flush = (command == L"extract" || command == L"copyhash") && args.size() >= 2 && args[1] == L"--flush";
  if (flush) args.erase(args.begin() + 1);
  try {
    const double started = Now();
    if (command == L"extract" && args.size() >= 3) {
      Extract(args[1], std::vector<std::wstring>(args.begin() + 2, args.end()), flush);
    } else if (command == L"copyhash" && args.size() == 3) {
      CopyHash(args[1], args[2], flush);
    } else if (command == L"hash" && args.size() == 2) {
      const auto files = ReadList(args[1]);
      const double listed = Now();
      HashList(files);
      return Finish(Now() - listed);
    } else if (command == L"attrs" && args.size() == 2) {
      const auto files = ReadList(args[1]);
      const double listed = Now();
      QueryAttributes(files);
      return Finish(Now() - listed);
    } else if (command == L"download" && args.size() == 3) {
      Download(args[1], args[2]);
    } else if (command == L"window" && args.size() <= 3) {
      g_stay = args.size() >= 2 && args[1] == L"--stay";
      const bool timers = args.size() == 3 && args[2] == L"--timers";
      if (args.size() == 3 && !(g_stay && timers)) return Usage();
      Window(timers);
    } else {
      return Usage();
    }
    return Finish(Now() - started);
  } catch (const std::exception& error) {
    std::printf("ERROR: %s\n", error.what());
    return 1;
  }
}
