#include "TextDecode.h"

#include "common/WinHandles.h"

namespace ui {
namespace {

bool Convert(UINT codePage, const std::string& text, std::wstring& out) {
  const int length = static_cast<int>(text.size());
  const int needed = ::MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), length, nullptr, 0);
  if (needed <= 0) return false;
  out.assign(static_cast<std::size_t>(needed), L'\0');
  return ::MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), length, out.data(), needed) == needed;
}

}  // namespace

std::wstring WidenStrictUtf8(const std::string& text) {
  std::wstring out;
  if (text.empty() || !Convert(CP_UTF8, text, out)) return {};
  return out;
}

std::wstring DecodeStatusText(const std::string& text) {
  if (text.empty()) return {};
  std::wstring out;
  if (Convert(CP_UTF8, text, out)) return out;
  if (Convert(1254, text, out)) return out;
  return {};
}

}  // namespace ui
