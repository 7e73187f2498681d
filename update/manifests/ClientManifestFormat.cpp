#include "update/manifests/ClientManifestFormat.h"

#include <algorithm>
#include <set>
#include <utility>

#include "update/disk/PathRules.h"

namespace orvex_update {
namespace {

constexpr std::size_t kMagicSize = 8;
constexpr std::size_t kDigestSize = 32;

// Little-endian fields read off the front of a byte range; every read checks
// what remains first, so no count or length from the file can reach past it.
class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  std::size_t Offset() const { return offset_; }
  std::size_t Remaining() const { return bytes_.size() - offset_; }

  bool Unsigned(std::size_t width, std::uint64_t& value) {
    if (Remaining() < width) return false;
    value = 0;
    for (std::size_t i = 0; i < width; ++i) {
      value |= static_cast<std::uint64_t>(bytes_[offset_ + i]) << (8 * i);
    }
    offset_ += width;
    return true;
  }

  bool Bytes(std::size_t length, std::span<const std::uint8_t>& out) {
    if (Remaining() < length) return false;
    out = bytes_.subspan(offset_, length);
    offset_ += length;
    return true;
  }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t offset_ = 0;
};

[[nodiscard]] bool HasMagic(std::span<const std::uint8_t> bytes, std::string_view magic) {
  return bytes.size() >= magic.size() && std::equal(magic.begin(), magic.end(), bytes.begin(),
                                                    [](char a, auto b) { return static_cast<std::uint8_t>(a) == b; });
}

// Name, size and digest of one entry; the name's length must lie in
// [minName, maxName] and the size must not pass maxSize.
[[nodiscard]] bool ReadEntry(Reader& reader, std::size_t minName, std::size_t maxName, std::uint64_t maxSize, StartupEntry& entry) {
  std::uint64_t length = 0;
  if (!reader.Unsigned(2, length) || length < minName || length > maxName) return false;
  std::span<const std::uint8_t> name;
  if (!reader.Bytes(static_cast<std::size_t>(length), name)) return false;
  std::uint64_t size = 0;
  if (!reader.Unsigned(8, size) || size > maxSize) return false;
  std::span<const std::uint8_t> digest;
  if (!reader.Bytes(kDigestSize, digest)) return false;
  entry.name.assign(name.begin(), name.end());
  entry.size = size;
  std::copy(digest.begin(), digest.end(), entry.digest.begin());
  return true;
}

// Size bounds, magic, then the signature over the body; true when the body
// may be interpreted.
[[nodiscard]] bool VerifiedBody(std::span<const std::uint8_t> file, std::size_t minBytes, std::size_t maxBytes,
                  std::string_view magic, const ClientManifestSignatureCheck& verify,
                  std::span<const std::uint8_t>& body) {
  if (file.size() < minBytes || file.size() > maxBytes || !HasMagic(file, magic) || !verify) return false;
  const std::size_t bodyLength = file.size() - kClientManifestSignatureSize;
  try {
    if (!verify(file.first(bodyLength), file.subspan(bodyLength))) return false;
  } catch (...) {
    return false;
  }
  body = file.first(bodyLength);
  return true;
}

[[nodiscard]] bool IsIntegrityTableNameImpl(std::string_view name) {
  if (name.size() < kMinIntegrityNameLength || name.size() > kMaxIntegrityNameLength) return false;
  // Printable ASCII only: the quick check and the snapshot convert names in
  // different ways (code page, UTF-8), which agree only on ASCII.
  if (!std::all_of(name.begin(), name.end(), [](char c) { return c >= 0x20 && c <= 0x7E; })) return false;
  const std::string lower = AsciiLower(name);
  if (!lower.starts_with("data/") || !lower.ends_with(".tbl")) return false;
  if (lower.find("..") != std::string::npos || lower.find('\\') != std::string::npos ||
      lower.find(':') != std::string::npos || lower.find('\0') != std::string::npos) {
    return false;
  }
  if (lower.find('/', 5) != std::string::npos) return false;
  // Repair writes these files: "data/con.tbl" or "data/a?b.tbl" must not reach
  // a device or an invalid name.
  return IsSafeRelativePath(name);
}

[[nodiscard]] bool StartupBody(std::span<const std::uint8_t> body, StartupManifest& entries) {
  if (!HasMagic(body, kStartupManifestMagic)) return false;
  Reader reader(body.subspan(kMagicSize));
  std::uint64_t count = 0;
  if (!reader.Unsigned(4, count) || count < kMinStartupEntries || count > kMaxStartupEntries) return false;
  StartupManifest parsed;
  // Each entry takes at least 43 bytes, so the count cannot make this reserve
  // more than the body could hold.
  parsed.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(count, reader.Remaining() / 43 + 1)));
  for (std::uint64_t i = 0; i < count; ++i) {
    StartupEntry entry;
    if (!ReadEntry(reader, 1, kMaxStartupNameLength, kMaxStartupFileSize, entry)) return false;
    parsed.push_back(std::move(entry));
  }
  if (reader.Remaining() != 0) return false;
  entries = std::move(parsed);
  return true;
}

[[nodiscard]] bool IntegrityBody(std::span<const std::uint8_t> body, IntegrityManifest& manifest) {
  if (!HasMagic(body, kIntegrityManifestMagic)) return false;
  Reader reader(body.subspan(kMagicSize));
  std::uint64_t stamp = 0;
  std::uint64_t count = 0;
  if (!reader.Unsigned(4, stamp) || stamp < kMinIntegrityBuildStamp) return false;
  if (!reader.Unsigned(4, count) || count < 1 || count > kMaxIntegrityEntries) return false;
  IntegrityManifest parsed;
  parsed.build_stamp = static_cast<std::uint32_t>(stamp);
  parsed.entries.reserve(static_cast<std::size_t>(count));
  std::set<std::string> seen;
  std::uint64_t total = 0;
  for (std::uint64_t i = 0; i < count; ++i) {
    StartupEntry entry;
    if (!ReadEntry(reader, kMinIntegrityNameLength, kMaxIntegrityNameLength, kMaxIntegrityFileSize, entry)) {
      return false;
    }
    if (!IsIntegrityTableNameImpl(entry.name) || !seen.insert(AsciiLower(entry.name)).second) return false;
    // Each size is at most 256 MiB and there are at most 4096, so the sum
    // cannot wrap.
    total += entry.size;
    if (total > kMaxIntegrityTotalSize) return false;
    parsed.entries.push_back(std::move(entry));
  }
  if (reader.Remaining() != 0) return false;
  manifest = std::move(parsed);
  return true;
}

}  // namespace

bool IsIntegrityTableName(std::string_view name) {
  try {
    return IsIntegrityTableNameImpl(name);
  } catch (...) {
    return false;
  }
}

// Out of memory is the only exception the parsers can meet; it reads as false.
bool ParseStartupManifestBody(std::span<const std::uint8_t> body, StartupManifest& entries) {
  try {
    return StartupBody(body, entries);
  } catch (...) {
    return false;
  }
}

bool ParseIntegrityManifestBody(std::span<const std::uint8_t> body, IntegrityManifest& manifest) {
  try {
    return IntegrityBody(body, manifest);
  } catch (...) {
    return false;
  }
}

bool ParseStartupManifestFile(std::span<const std::uint8_t> file, const ClientManifestSignatureCheck& verify,
                              StartupManifest& entries) {
  std::span<const std::uint8_t> body;
  return VerifiedBody(file, kMinStartupManifestBytes, kMaxStartupManifestBytes, kStartupManifestMagic, verify, body) &&
         ParseStartupManifestBody(body, entries);
}

bool ParseIntegrityManifestFile(std::span<const std::uint8_t> file, const ClientManifestSignatureCheck& verify,
                                IntegrityManifest& manifest) {
  std::span<const std::uint8_t> body;
  return VerifiedBody(file, kMinIntegrityManifestBytes, kMaxIntegrityManifestBytes, kIntegrityManifestMagic, verify,
                      body) &&
         ParseIntegrityManifestBody(body, manifest);
}

const StartupEntry* FindLauncherEntry(const StartupManifest& entries) {
  for (const StartupEntry& entry : entries) {
    if (AsciiLower(entry.name) == "launcher.exe") return &entry;
  }
  return nullptr;
}

}  // namespace orvex_update
