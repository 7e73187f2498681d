// Digest text: the portable half of the digest helpers (no Windows header), so
// that the parsers can check digest fields in the native build too.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace orvex_update {

using Digest = std::array<std::uint8_t, 32>;

// 64 lower-case hexadecimal characters, high nibble first.
std::string HexDigest(const Digest& digest);

// Non-empty and only "0123456789abcdef"; the length is the caller's to check.
// A null text gives false.
[[nodiscard]] bool IsHexDigest(const char* text, std::size_t length);

}  // namespace orvex_update
