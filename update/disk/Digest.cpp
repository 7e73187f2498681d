#include "update/disk/FileCalls.h"
#include "common/Errors.h"
#include "update/disk/Digest.h"

#include <algorithm>
#include <exception>
#include <limits>
#include <stdexcept>

#include "Deployment.h"
#include "update/disk/Cancel.h"
#include "update/disk/Paths.h"

namespace orvex_update {
namespace {

// Reads of 256 KiB: a gigabyte is four thousand calls, and each block is
// still in the core's cache when it is hashed (a megabyte was not).
constexpr DWORD kChunkSize = 256 * 1024;
constexpr std::size_t kUpdateSignatureSize = 384;
constexpr std::size_t kManifestSignatureSize = 64;

[[nodiscard]] bool Ok(NTSTATUS status) { return BCRYPT_SUCCESS(status); }

// BCryptHashData takes a ULONG length; larger blocks go in several calls
// rather than being cut short by the conversion.
[[nodiscard]] bool HashData(BCRYPT_HASH_HANDLE hash, const void* data, std::size_t length) {
  if (length == 0) return true;
  if (data == nullptr) return false;
  auto* bytes = static_cast<PUCHAR>(const_cast<void*>(data));  // BCrypt does not write the input
  while (length > 0) {
    const ULONG part = static_cast<ULONG>(std::min<std::size_t>(length, std::numeric_limits<ULONG>::max()));
    if (!Ok(::BCryptHashData(hash, bytes, part, 0))) return false;
    bytes += part;
    length -= part;
  }
  return true;
}

}  // namespace

Sha256::Sha256() {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (!Ok(::BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
    fail::Throw(fail::Kind::kInternal, "SHA-256 unavailable.");
  }
  algorithm_.Reset(algorithm);
  DWORD objectLength = 0;
  ULONG written = 0;
  if (!Ok(::BCryptGetProperty(algorithm_.Get(), BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&objectLength),
                              sizeof(objectLength), &written, 0))) {
    fail::Throw(fail::Kind::kInternal, "SHA-256 unavailable.");
  }
  object_.assign(objectLength, 0);
  BCRYPT_HASH_HANDLE hash = nullptr;
  if (!Ok(::BCryptCreateHash(algorithm_.Get(), &hash, object_.data(), static_cast<ULONG>(object_.size()), nullptr, 0,
                             0))) {
    fail::Throw(fail::Kind::kInternal, "SHA-256 unavailable.");
  }
  hash_.Reset(hash);
}

Sha256::~Sha256() = default;

bool Sha256::Update(const void* data, std::size_t length) { return HashData(hash_.Get(), data, length); }

bool Sha256::Finish(Digest& out) {
  return Ok(::BCryptFinishHash(hash_.Get(), out.data(), static_cast<ULONG>(out.size()), 0));
}

bool Sha256Buffer(const void* data, std::size_t length, Digest& out) {
  BCRYPT_ALG_HANDLE rawAlgorithm = nullptr;
  if (!Ok(::BCryptOpenAlgorithmProvider(&rawAlgorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) return false;
  const win::UniqueBcryptAlgorithm algorithm(rawAlgorithm);
  // No object buffer: the provider allocates the hash object itself.
  BCRYPT_HASH_HANDLE rawHash = nullptr;
  if (!Ok(::BCryptCreateHash(algorithm.Get(), &rawHash, nullptr, 0, nullptr, 0, 0))) return false;
  const win::UniqueBcryptHash hash(rawHash);
  if (!HashData(hash.Get(), data, length)) return false;
  return Ok(::BCryptFinishHash(hash.Get(), out.data(), static_cast<ULONG>(out.size()), 0));
}

bool Sha256OpenFile(HANDLE file, std::uint64_t expectedSize, Digest& out) {
  try {
    if (file == nullptr || file == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER size{};
    if (!calls::GetFileSizeEx(file, &size) || size.QuadPart < 0 ||
        static_cast<std::uint64_t>(size.QuadPart) != expectedSize) {
      return false;
    }
    Sha256 hasher;
    std::vector<std::uint8_t> buffer(kChunkSize);
    std::uint64_t total = 0;
    for (;;) {
      DWORD read = 0;
      if (!calls::ReadFile(file, buffer.data(), kChunkSize, &read)) return false;
      if (read == 0) break;
      // The file may grow between the size query and the reads; bytes past
      // the signed size are never hashed into a "matching" digest.
      if (read > expectedSize - total) return false;
      total += read;
      if (!hasher.Update(buffer.data(), read)) return false;
    }
    return total == expectedSize && hasher.Finish(out);
  } catch (const std::exception&) {
    return false;  // "SHA-256 unavailable." or an allocation failure
  }
}

std::string HashFileHex(const std::filesystem::path& path) {
  // The C runtime's fopen shares read and write too; a file that another
  // process still writes is hashed as it stands and compared afterwards.
  const win::UniqueFile file = OpenFileRetrying(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN);
  if (!file) fail::Throw(fail::Kind::kDisk, "Cannot hash update file.");
  return HashOpenFileHex(file.Get());
}

std::string HashOpenFileHex(HANDLE file) {
  Sha256 hasher;
  std::vector<std::uint8_t> buffer(kChunkSize);
  for (;;) {
    // Up to 8 GiB go through here; a closing launcher must not wait for them.
    ThrowIfCancelled();
    DWORD read = 0;
    if (!calls::ReadFile(file, buffer.data(), kChunkSize, &read)) {
      fail::Throw(fail::Kind::kDisk, "Cannot completely read update file.");
    }
    if (read == 0) break;
    if (!hasher.Update(buffer.data(), read)) fail::Throw(fail::Kind::kInternal, "SHA-256 failed.");
  }
  Digest digest{};
  if (!hasher.Finish(digest)) fail::Throw(fail::Kind::kInternal, "SHA-256 failed.");
  return HexDigest(digest);
}

Sha256FileHasher::Sha256FileHasher(std::size_t blockSize)
    : buffer_(std::clamp<std::size_t>(blockSize, 4096, std::numeric_limits<DWORD>::max())) {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (!Ok(::BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
    fail::Throw(fail::Kind::kInternal, "SHA-256 unavailable.");
  }
  algorithm_.Reset(algorithm);
}

Digest Sha256FileHasher::HashToEnd(HANDLE file, const std::function<bool()>& stop) {
  // No object buffer: the provider allocates the hash object itself.
  BCRYPT_HASH_HANDLE rawHash = nullptr;
  if (!Ok(::BCryptCreateHash(algorithm_.Get(), &rawHash, nullptr, 0, nullptr, 0, 0))) {
    fail::Throw(fail::Kind::kInternal, "SHA-256 unavailable.");
  }
  const win::UniqueBcryptHash hash(rawHash);
  for (;;) {
    ThrowIfCancelled();
    if (stop && stop()) fail::Throw(fail::Kind::kCancelled, kCancelledText);
    DWORD read = 0;
    if (!calls::ReadFile(file, buffer_.data(), static_cast<DWORD>(buffer_.size()), &read)) {
      fail::Throw(fail::Kind::kDisk, "Cannot completely read update file.");
    }
    if (read == 0) break;
    if (!HashData(hash.Get(), buffer_.data(), read)) fail::Throw(fail::Kind::kInternal, "SHA-256 failed.");
  }
  Digest digest{};
  if (!Ok(::BCryptFinishHash(hash.Get(), digest.data(), static_cast<ULONG>(digest.size()), 0))) {
    fail::Throw(fail::Kind::kInternal, "SHA-256 failed.");
  }
  return digest;
}

bool VerifyUpdateSignature(const std::vector<std::uint8_t>& message, const std::vector<std::uint8_t>& signature) {
  try {
    if (signature.size() != kUpdateSignatureSize) fail::Throw(fail::Kind::kIntegrity, "Invalid signature length.");
    Sha256 hasher;
    Digest digest{};
    if (!hasher.Update(message.data(), message.size()) || !hasher.Finish(digest)) {
      fail::Throw(fail::Kind::kInternal, "SHA-256 failed.");
    }
    BCRYPT_ALG_HANDLE rawAlgorithm = nullptr;
    if (!Ok(::BCryptOpenAlgorithmProvider(&rawAlgorithm, BCRYPT_RSA_ALGORITHM, nullptr, 0))) {
      fail::Throw(fail::Kind::kInternal, "RSA unavailable.");
    }
    const win::UniqueBcryptAlgorithm algorithm(rawAlgorithm);
    // BCrypt takes non-const buffers; the pinned key is copied rather than cast.
    auto keyBlob = orvex_deploy::kUpdateKeyBlob;
    BCRYPT_KEY_HANDLE rawKey = nullptr;
    if (!Ok(::BCryptImportKeyPair(algorithm.Get(), nullptr, BCRYPT_RSAPUBLIC_BLOB, &rawKey, keyBlob.data(),
                                  static_cast<ULONG>(keyBlob.size()), 0))) {
      fail::Throw(fail::Kind::kInternal, "Invalid pinned update key.");
    }
    const win::UniqueBcryptKey key(rawKey);
    std::vector<std::uint8_t> signatureCopy = signature;
    BCRYPT_PKCS1_PADDING_INFO padding{BCRYPT_SHA256_ALGORITHM};
    return Ok(::BCryptVerifySignature(key.Get(), &padding, digest.data(), static_cast<ULONG>(digest.size()),
                                      signatureCopy.data(), static_cast<ULONG>(signatureCopy.size()),
                                      BCRYPT_PAD_PKCS1));
  } catch (...) {
    return false;
  }
}

bool VerifyManifestSignature(const void* data, std::size_t length, const std::uint8_t* signature,
                             std::size_t signatureLength) {
  try {
    // Only the raw r||s form; a DER signature (70 to 72 bytes) is refused here
    // instead of being handed to the provider.
    if (signature == nullptr || signatureLength != kManifestSignatureSize) return false;
    Digest digest{};
    if (!Sha256Buffer(data, length, digest)) return false;
    BCRYPT_ALG_HANDLE rawAlgorithm = nullptr;
    if (!Ok(::BCryptOpenAlgorithmProvider(&rawAlgorithm, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0))) return false;
    const win::UniqueBcryptAlgorithm algorithm(rawAlgorithm);
    auto keyBlob = orvex_deploy::kManifestKeyBlob;
    BCRYPT_KEY_HANDLE rawKey = nullptr;
    if (!Ok(::BCryptImportKeyPair(algorithm.Get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, &rawKey, keyBlob.data(),
                                  static_cast<ULONG>(keyBlob.size()), 0))) {
      return false;
    }
    const win::UniqueBcryptKey key(rawKey);
    std::array<std::uint8_t, kManifestSignatureSize> signatureCopy{};
    std::copy(signature, signature + kManifestSignatureSize, signatureCopy.begin());
    return Ok(::BCryptVerifySignature(key.Get(), nullptr, digest.data(), static_cast<ULONG>(digest.size()),
                                      signatureCopy.data(), static_cast<ULONG>(signatureCopy.size()), 0));
  } catch (...) {
    return false;
  }
}

}  // namespace orvex_update
