// Text conversion between 8-bit and wide text, in one place. The strict UTF-8
// reader at the top is portable (the feed and the HTTPS rules build natively
// too); the rest calls Win32. The lenient pair (Utf8FromWide, WideFromUtf8) is
// for the command-line programs around the launcher (drivers, stand-ins,
// baselines): text that does not convert is replaced the way Windows does,
// never refused. The strict forms refuse an invalid sequence;
// DecodeStatusText is how the windows read the status text; file names go
// through the code page of the narrow file calls.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace utf8 {

// The scalar value whose encoding starts at text[i], with i moved past it. No
// value for a stray continuation byte, a C0/C1 or F5..FF lead, a truncated or
// overlong sequence, a surrogate or anything above U+10FFFF; i is then left
// where it was. NUL is a scalar like any other.
[[nodiscard]] inline std::optional<char32_t> NextScalar(std::string_view text, std::size_t& i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  if (lead < 0x80) {
    ++i;
    return lead;
  }
  std::size_t length = 0;
  char32_t code = 0;
  char32_t smallest = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, code = lead & 0x1F, smallest = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, code = lead & 0x0F, smallest = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, code = lead & 0x07, smallest = 0x10000;
  } else {
    return std::nullopt;
  }
  if (text.size() - i < length) return std::nullopt;
  for (std::size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[i + k]);
    if ((next & 0xC0) != 0x80) return std::nullopt;
    code = (code << 6) | (next & 0x3F);
  }
  if (code < smallest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return std::nullopt;
  i += length;
  return code;
}

// Strict UTF-8 to UTF-16 code units; no value when any sequence is invalid.
[[nodiscard]] inline std::optional<std::u16string> DecodeStrict(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const std::optional<char32_t> scalar = NextScalar(text, i);
    if (!scalar) return std::nullopt;
    char32_t code = *scalar;
    if (code >= 0x10000) {
      code -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(code));
    }
  }
  return out;
}

}  // namespace utf8

#ifdef _WIN32

#include "common/Windows.h"

#include <climits>

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

#endif  // _WIN32
