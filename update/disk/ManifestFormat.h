// The signed update manifest "ORVEX-UPDATE-1": its record and its parser.
// Portable: bytes in, a record or an error text out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orvex_update {

// Largest manifest file, in bytes (16 MiB).
inline constexpr std::size_t kMaxManifestBytes = 16777216;
// Largest update signature file read, in bytes.
inline constexpr std::size_t kMaxSignatureBytes = 1024;

// One client file that an update installs.
struct ManifestFile {
  std::string path;    // managed path exactly as written ("/" separators, case kept)
  std::string sha256;  // digest text, 64 lower-case hexadecimal characters
  std::uint64_t size = 0;

  bool operator==(const ManifestFile&) const = default;
};

// A parsed update manifest; a plain value that callers copy freely.
struct UpdateManifest {
  std::int32_t version = 0;  // 1 to 32767
  std::string archive;       // archive file name, no directory
  std::string archive_sha256;
  std::uint64_t archive_size = 0;
  std::vector<ManifestFile> files;  // in manifest order

  bool operator==(const UpdateManifest&) const = default;
};

// Parses manifest bytes. True with out filled; false with errorText set to the
// message of the first rule that failed and out left untouched. Never throws.
// The bytes must already have passed the signature check.
[[nodiscard]] bool ParseUpdateManifest(std::string_view bytes, UpdateManifest& out, std::string& errorText);
[[nodiscard]] bool ParseUpdateManifest(const std::vector<std::uint8_t>& bytes, UpdateManifest& out,
                                       std::string& errorText);

}  // namespace orvex_update
