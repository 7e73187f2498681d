// Text conversion between 8-bit and wide text, in one place. The lenient pair
// (Utf8FromWide, WideFromUtf8) is for the command-line programs around the
// launcher (drivers, stand-ins, baselines): text that does not convert is
// replaced the way Windows does, never refused. The strict forms refuse an
// invalid sequence; DecodeStatusText is how the windows read the status text.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <optional>
#include <string>

namespace win {

inline std::string Utf8FromWide(const std::wstring& text) {
  if (text.empty()) return {};
  const int length =
      ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
  if (length > 0) {
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), length, nullptr,
                          nullptr);
  }
  return out;
}

// 8-bit text of a code page widened; an invalid sequence is replaced, or,
// with strict set, refused (no value). Empty text gives the empty text.
inline std::optional<std::wstring> WideFromCodePage(UINT codePage, const std::string& text, bool strict) {
  if (text.empty()) return std::wstring();
  const DWORD flags = strict ? MB_ERR_INVALID_CHARS : 0;
  const int size = static_cast<int>(text.size());
  const int length = ::MultiByteToWideChar(codePage, flags, text.data(), size, nullptr, 0);
  if (length <= 0) return strict ? std::nullopt : std::optional<std::wstring>(std::wstring());
  std::wstring out(static_cast<std::size_t>(length), L'\0');
  if (::MultiByteToWideChar(codePage, flags, text.data(), size, out.data(), length) != length && strict) {
    return std::nullopt;
  }
  return out;
}

inline std::wstring WideFromUtf8(const std::string& text) { return *WideFromCodePage(CP_UTF8, text, false); }

// Strict UTF-8 to UTF-16; empty for an invalid sequence.
inline std::wstring WidenStrictUtf8(const std::string& text) {
  return WideFromCodePage(CP_UTF8, text, true).value_or(std::wstring());
}

// Status texts: strict UTF-8, else Windows code page 1254 (Turkish), else empty.
inline std::wstring DecodeStatusText(const std::string& text) {
  if (auto utf8 = WideFromCodePage(CP_UTF8, text, true)) return *utf8;
  return WideFromCodePage(1254, text, true).value_or(std::wstring());
}

}  // namespace win
