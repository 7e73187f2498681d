// SHA-256 digests and the two signature checks, on the platform's BCrypt.
#pragma once

#include "common/WinHandles.h"
#include "update/disk/DigestText.h"

#include <bcrypt.h>
#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace orvex_update {

// Digest, HexDigest and IsHexDigest come from update/disk/DigestText.h.

// Incremental SHA-256 over a caller-allocated hash object. Throws
// std::runtime_error("SHA-256 unavailable.") when the provider cannot be set up.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  // Hashes more bytes; false when the provider call fails.
  [[nodiscard]] bool Update(const void* data, std::size_t length);
  // Finishes into out; false when the provider call fails. Once per object.
  [[nodiscard]] bool Finish(Digest& out);

 private:
  // Declared in acquisition order, so destruction runs hash, object buffer,
  // provider: the hash object must outlive the hash handle that uses it.
  win::UniqueBcryptAlgorithm algorithm_;
  std::vector<std::uint8_t> object_;
  win::UniqueBcryptHash hash_;
};

// One-shot digest of a memory block; false on any provider failure. Never throws.
[[nodiscard]] bool Sha256Buffer(const void* data, std::size_t length, Digest& out);

// Digest of an open file whose size must equal expectedSize exactly (checked
// before any byte is read). The handle stays open. Never throws.
[[nodiscard]] bool Sha256OpenFile(HANDLE file, std::uint64_t expectedSize, Digest& out);

// Digest text of the file at path. Throws "Cannot hash update file.",
// "SHA-256 unavailable.", "SHA-256 failed." or "Cannot completely read update file.",
// and kCancelledText (update/disk/Cancel.h) when the launcher is closing.
std::string HashFileHex(const std::filesystem::path& path);

// Digest text of an open file from its current position to its end; throws
// as HashFileHex does except "Cannot hash update file.".
std::string HashOpenFileHex(HANDLE file);

// SHA-256 of file after file on one thread: one provider handle and one read
// buffer of blockSize bytes serve every file, where HashFileHex sets both up
// per file. The constructor throws "SHA-256 unavailable.".
class Sha256FileHasher {
 public:
  explicit Sha256FileHasher(std::size_t blockSize = 256 << 10);
  Sha256FileHasher(const Sha256FileHasher&) = delete;
  Sha256FileHasher& operator=(const Sha256FileHasher&) = delete;

  // Digest of an open file from its position to its end, read in whole
  // blocks. Throws as HashFileHex does ("SHA-256 unavailable.", "SHA-256
  // failed.", "Cannot completely read update file.", kCancelledText once
  // cancellation is requested); also kCancelledText when stop (if set)
  // answers true before a block.
  Digest HashToEnd(HANDLE file, const std::function<bool()>& stop = {});

 private:
  win::UniqueBcryptAlgorithm algorithm_;
  std::vector<std::uint8_t> buffer_;
};

// RSA-3072 PKCS#1 v1.5 SHA-256 signature (384 bytes) of message under the
// pinned update key. Never throws.
[[nodiscard]] bool VerifyUpdateSignature(const std::vector<std::uint8_t>& message,
                                         const std::vector<std::uint8_t>& signature);

// Raw 64-byte ECDSA P-256 signature (r then s) of the SHA-256 of data under
// the pinned manifest key. Never throws.
[[nodiscard]] bool VerifyManifestSignature(const void* data, std::size_t length, const std::uint8_t* signature,
                                           std::size_t signatureLength);

}  // namespace orvex_update
