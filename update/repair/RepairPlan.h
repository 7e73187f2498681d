// The portable half of batch repair: the repair catalogue and its digest input,
// the request bitmap and body, the names a repair accepts, the segment plan of
// the download and the place of each object in the batch. No Windows header;
// update/repair/Repair.cpp applies these rules to the client folder and the network.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace orvex_update {

inline constexpr char kRepairBatchName[] = "repair-batch-v4.php";
inline constexpr std::uint64_t kRepairSegmentSize = 134217728;   // 128 MiB
inline constexpr std::uint64_t kMaxRepairBytes = 8589934592ULL;  // 8 GiB
inline constexpr std::uint64_t kRepairSpaceMargin = 33554432;    // 32 MiB
inline constexpr std::uint32_t kMinRepairVersion = 1;
inline constexpr std::uint32_t kMaxRepairVersion = 32767;

// The repair catalogue: distinct digest texts, ascending by byte comparison
// (std::string's ordering, which compares as unsigned bytes).
using RepairCatalogue = std::set<std::string>;

// The bytes whose SHA-256 is the catalogue digest: every entry in catalogue
// order, each followed by one line feed. Empty for an empty catalogue.
std::string RepairCatalogueText(const RepairCatalogue& catalogue);

// ceil(n / 8) bytes for a catalogue of n entries; bit i (bit i mod 8 of byte
// i div 8, least significant first) is set when entry i is in wanted. Digests
// of wanted that are not in the catalogue set nothing.
std::vector<std::uint8_t> RepairBitmap(const RepairCatalogue& catalogue, const std::set<std::string>& wanted);

// Lower-case hexadecimal, two characters per byte, byte 0 first.
std::string LowerHex(const std::vector<std::uint8_t>& bytes);

// Body lines 1 to 4 of a repair request: version, "BITS", catalogue digest
// text, bitmap in hexadecimal, each ended by a line feed.
std::string RepairRequestPrefix(std::uint32_t version, std::string_view catalogueDigest,
                                const std::vector<std::uint8_t>& bitmap);

// The whole body of one segment request: prefix, offset and length in decimal,
// each ended by a line feed.
std::string RepairSegmentBody(std::string_view prefix, std::uint64_t offset, std::uint64_t length);

// One request of a batch download: the byte range [offset, offset + length).
struct RepairSegment {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  bool operator==(const RepairSegment&) const = default;
};

// The requests that fetch total bytes: none for 0, otherwise consecutive
// ranges of at most kRepairSegmentSize bytes that cover [0, total).
std::vector<RepairSegment> RepairSegments(std::uint64_t total);

// True when total bytes are fetched segment by segment through the "portion"
// file (total 0, or more than one segment); false when one request writes the
// batch directly.
[[nodiscard]] bool RepairUsesPortion(std::uint64_t total);

// One damaged object as the batch carries it.
struct RepairSlice {
  std::string digest;
  std::uint64_t offset = 0;  // where it starts in the batch
  std::uint64_t size = 0;
  bool operator==(const RepairSlice&) const = default;
};

// The place of each object in the batch: objects (digest, size) must come in
// catalogue order, and each starts where the one before it ends.
struct RepairObjectSize {
  std::string digest;
  std::uint64_t size = 0;
};
std::vector<RepairSlice> RepairSlices(const std::vector<RepairObjectSize>& objects);

// True when available bytes hold twice (total + 32 MiB). Cannot overflow.
[[nodiscard]] bool RepairSpaceSufficient(std::uint64_t available, std::uint64_t total);

// What is wrong with a manifest entry's name as a repair destination, checked
// in this order: empty or holding one of \ : * ? " < > | (kInvalid); not
// strict UTF-8 or holding a NUL (kNotUtf8: the caller's widening reports it);
// rooted (kAbsolute); a component, after collapsing repeated "/", that is
// empty (trailing "/"), ".", "..", or ends in "." or a space (kUnsafe).
enum class RepairNameFault { kNone, kInvalid, kNotUtf8, kAbsolute, kUnsafe };
RepairNameFault ClassifyRepairName(std::string_view name);

// "Checking files... " + counter + "/" + total + " - " + name.
std::string RepairCheckStatus(std::uint64_t counter, std::uint64_t total, std::string_view name);

// True when a check status is due: the first entry always, otherwise once at
// least 100 ms have passed since the last status time.
[[nodiscard]] bool RepairCheckStatusDue(std::uint64_t counter, std::uint64_t nowMs, std::uint64_t lastStatusMs);

}  // namespace orvex_update
