// The two signed binary client manifests, ORVEX/Startup.manifest ("ORBOOT03")
// and ORVEX/Integrity.manifest ("ORVEXTB1"): their records and their parsers.
// Portable: bytes in, a record out; the signature check is the caller's
// function, so the order "signature before any entry" is kept here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "update/disk/DigestText.h"

namespace orvex_update {

// Raw ECDSA P-256 signature (r then s) that ends both manifest files.
inline constexpr std::size_t kClientManifestSignatureSize = 64;

inline constexpr std::string_view kStartupManifestMagic = "ORBOOT03";
inline constexpr std::size_t kMinStartupManifestBytes = 76;
inline constexpr std::size_t kMaxStartupManifestBytes = 8388608;
inline constexpr std::uint32_t kMinStartupEntries = 7;
inline constexpr std::uint32_t kMaxStartupEntries = 30000;
inline constexpr std::size_t kMaxStartupNameLength = 1024;
inline constexpr std::uint64_t kMaxStartupFileSize = 17179869184ULL;  // 16 GiB

inline constexpr std::string_view kIntegrityManifestMagic = "ORVEXTB1";
inline constexpr std::size_t kMinIntegrityManifestBytes = 80;
inline constexpr std::size_t kMaxIntegrityManifestBytes = 2097152;
inline constexpr std::uint32_t kMinIntegrityBuildStamp = 2026111501;
inline constexpr std::uint32_t kMaxIntegrityEntries = 4096;
inline constexpr std::size_t kMinIntegrityNameLength = 10;
inline constexpr std::size_t kMaxIntegrityNameLength = 250;
inline constexpr std::uint64_t kMaxIntegrityFileSize = 268435456;   // 256 MiB
inline constexpr std::uint64_t kMaxIntegrityTotalSize = 536870912;  // 512 MiB

// One file of either client manifest: its name as stored ("/" separators,
// case kept), its size and its raw SHA-256.
struct StartupEntry {
  std::string name;
  std::uint64_t size = 0;
  Digest digest{};

  bool operator==(const StartupEntry&) const = default;
};

// The startup manifest: its entries in file order.
using StartupManifest = std::vector<StartupEntry>;

// The integrity manifest: build stamp and entries in file order.
struct IntegrityManifest {
  std::uint32_t build_stamp = 0;
  std::vector<StartupEntry> entries;

  bool operator==(const IntegrityManifest&) const = default;
};

// Checks the signature of a manifest body: true only when signature (always
// kClientManifestSignatureSize bytes) signs body. Must not throw.
using ClientManifestSignatureCheck =
    std::function<bool(std::span<const std::uint8_t> body, std::span<const std::uint8_t> signature)>;

// A whole startup manifest file: size 76 to 8 MiB, magic, then verify over
// the body (the file without its last 64 bytes), and only after that the
// entries. True with entries filled; false with entries untouched. verify is
// not called when the size or the magic is wrong. Never throws.
[[nodiscard]] bool ParseStartupManifestFile(std::span<const std::uint8_t> file,
                                            const ClientManifestSignatureCheck& verify, StartupManifest& entries);

// The same for a whole integrity manifest file (80 bytes to 2 MiB).
[[nodiscard]] bool ParseIntegrityManifestFile(std::span<const std::uint8_t> file,
                                              const ClientManifestSignatureCheck& verify, IntegrityManifest& manifest);

// The entries of an already verified startup manifest body (magic included).
// Names are not judged: whoever writes with one validates it first. True with
// entries filled; false with entries untouched. Never throws.
[[nodiscard]] bool ParseStartupManifestBody(std::span<const std::uint8_t> body, StartupManifest& entries);

// The entries of an already verified integrity manifest body (magic
// included): build stamp, count, table names (IsIntegrityTableName, no
// repeat ignoring ASCII case), sizes and their total. Never throws.
[[nodiscard]] bool ParseIntegrityManifestBody(std::span<const std::uint8_t> body, IntegrityManifest& manifest);

// True when name, lower-cased in ASCII, is a table directly under "data/"
// ending in ".tbl", 10 to 250 printable-ASCII bytes without "..", "\\" or ":",
// and a safe Windows relative path (so no reserved character and no device
// name such as "data/con.tbl").
[[nodiscard]] bool IsIntegrityTableName(std::string_view name);

// The first entry whose whole name is "Launcher.exe" ignoring ASCII case (so a
// root-level entry only), or nullptr. The pointer lives as long as entries.
const StartupEntry* FindLauncherEntry(const StartupManifest& entries);

}  // namespace orvex_update
