// Conversions of 8-bit texts for display.
#pragma once

#include <string>

namespace ui {

// Status texts: strict UTF-8, else Windows code page 1254 (Turkish), else empty.
std::wstring DecodeStatusText(const std::string& text);

// Strict UTF-8 to UTF-16; empty for an invalid sequence.
std::wstring WidenStrictUtf8(const std::string& text);

}  // namespace ui
