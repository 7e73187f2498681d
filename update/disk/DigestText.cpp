#include "update/disk/DigestText.h"

namespace orvex_update {

std::string HexDigest(const Digest& digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(digest.size() * 2);
  for (const std::uint8_t byte : digest) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 0x0F]);
  }
  return text;
}

bool IsHexDigest(const char* text, std::size_t length) {
  if (text == nullptr || length == 0) return false;
  for (std::size_t i = 0; i < length; ++i) {
    const char c = text[i];
    // Upper-case digits are refused on purpose: digest texts are compared byte
    // for byte, so "ABCD" could never match a computed digest anyway.
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

}  // namespace orvex_update
