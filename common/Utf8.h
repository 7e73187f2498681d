// Text conversion between 8-bit and wide text, in one place. The lenient pair
// (Utf8FromWide, WideFromUtf8) is for the command-line programs around the
// launcher (drivers, stand-ins, baselines): text that does not convert is
// replaced the way Windows does, never refused. The strict forms refuse an
// invalid sequence; DecodeStatusText is how the windows read the status text;
// file names go through the code page of the narrow file calls.
#pragma once

#include "common/Windows.h"


#include <climits>
#include <optional>
#include <string>
#include <string_view>

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

// 8-bit text of a code page widened; with strict set an invalid sequence is
// refused, without it replaced. No value when the conversion fails (or the
// text is too long for it). Empty text gives the empty text.
[[nodiscard]] inline std::optional<std::wstring> WideFromCodePage(UINT codePage, std::string_view text, bool strict) {
  if (text.empty()) return std::wstring();
  if (text.size() > static_cast<std::size_t>(INT_MAX)) return std::nullopt;
  const DWORD flags = strict ? MB_ERR_INVALID_CHARS : 0;
  const int size = static_cast<int>(text.size());
  const int length = ::MultiByteToWideChar(codePage, flags, text.data(), size, nullptr, 0);
  if (length <= 0) return std::nullopt;
  std::wstring out(static_cast<std::size_t>(length), L'\0');
  if (::MultiByteToWideChar(codePage, flags, text.data(), size, out.data(), length) != length) return std::nullopt;
  return out;
}

// Wide text in a code page, refusing any character the code page cannot hold:
// no best-fit mapping, so "\u015f" never quietly becomes "s". A UTF-8 code
// page holds every character but refuses an unpaired surrogate. No value when
// the text does not convert; empty text gives the empty text.
[[nodiscard]] inline std::optional<std::string> NarrowStrict(UINT codePage, std::wstring_view text) {
  if (text.empty()) return std::string();
  if (text.size() > static_cast<std::size_t>(INT_MAX)) return std::nullopt;
  // UTF-8 takes no default-character query, only the invalid-character flag.
  const bool utf8 = codePage == CP_UTF8;
  const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  BOOL lossy = FALSE;
  BOOL* lossyOut = utf8 ? nullptr : &lossy;
  const int size = static_cast<int>(text.size());
  const int length = ::WideCharToMultiByte(codePage, flags, text.data(), size, nullptr, 0, nullptr, lossyOut);
  if (length <= 0 || lossy) return std::nullopt;
  std::string out(static_cast<std::size_t>(length), '\0');
  if (::WideCharToMultiByte(codePage, flags, text.data(), size, out.data(), length, nullptr, lossyOut) != length ||
      lossy) {
    return std::nullopt;
  }
  return out;
}

// The code page the narrow Win32 file calls read names in (ANSI or OEM).
inline UINT FileApisCodePage() { return ::AreFileApisANSI() ? ::GetACP() : ::GetOEMCP(); }

inline std::wstring WideFromUtf8(const std::string& text) {
  return WideFromCodePage(CP_UTF8, text, false).value_or(std::wstring());
}

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
