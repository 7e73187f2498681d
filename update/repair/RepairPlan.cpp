#include "update/repair/RepairPlan.h"

#include "update/fetch/HttpsRules.h"
#include "update/disk/PathRules.h"

#include <algorithm>

namespace orvex_update {

std::string RepairCatalogueText(const RepairCatalogue& catalogue) {
  std::string text;
  for (const std::string& digest : catalogue) {
    text += digest;
    text += '\n';
  }
  return text;
}

std::vector<std::uint8_t> RepairBitmap(const RepairCatalogue& catalogue, const std::set<std::string>& wanted) {
  std::vector<std::uint8_t> bitmap((catalogue.size() + 7) / 8, 0);
  std::size_t index = 0;
  for (const std::string& digest : catalogue) {
    if (wanted.count(digest) != 0) bitmap[index / 8] |= static_cast<std::uint8_t>(1u << (index % 8));
    ++index;
  }
  return bitmap;
}

std::string LowerHex(const std::vector<std::uint8_t>& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (std::uint8_t byte : bytes) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0f];
  }
  return text;
}

std::string RepairRequestPrefix(std::uint32_t version, std::string_view catalogueDigest,
                                const std::vector<std::uint8_t>& bitmap) {
  std::string prefix = std::to_string(version) + "\nBITS\n";
  prefix += catalogueDigest;
  prefix += '\n';
  prefix += LowerHex(bitmap);
  prefix += '\n';
  return prefix;
}

std::string RepairSegmentBody(std::string_view prefix, std::uint64_t offset, std::uint64_t length) {
  std::string body(prefix);
  body += std::to_string(offset) + "\n" + std::to_string(length) + "\n";
  return body;
}

std::vector<RepairSegment> RepairSegments(std::uint64_t total) {
  std::vector<RepairSegment> segments;
  for (std::uint64_t offset = 0; offset < total;) {
    const std::uint64_t length = std::min(kRepairSegmentSize, total - offset);
    segments.push_back({offset, length});
    offset += length;
  }
  return segments;
}

bool RepairUsesPortion(std::uint64_t total) { return total == 0 || total > kRepairSegmentSize; }

std::vector<RepairSlice> RepairSlices(const std::vector<RepairObjectSize>& objects) {
  std::vector<RepairSlice> slices;
  slices.reserve(objects.size());
  std::uint64_t offset = 0;
  for (const RepairObjectSize& object : objects) {
    slices.push_back({object.digest, offset, object.size});
    offset += object.size;
  }
  return slices;
}

bool RepairSpaceSufficient(std::uint64_t available, std::uint64_t total) {
  // 2 * (total + margin) <= available iff total + margin <= available / 2,
  // written so that nothing can wrap.
  const std::uint64_t half = available / 2;
  return total <= half && half - total >= kRepairSpaceMargin;
}

RepairNameFault ClassifyRepairName(std::string_view name) {
  if (name.empty() || name.find_first_of("\\:*?\"<>|") != std::string_view::npos) return RepairNameFault::kInvalid;
  if (!IsStrictUtf8Text(name)) return RepairNameFault::kNotUtf8;
  // Backslash and colon are refused above, so "/" is the only separator and a
  // rooted name (a root directory, or a "//server" root name) starts with it.
  if (name.front() == '/') return RepairNameFault::kAbsolute;
  std::size_t start = 0;
  for (;;) {
    const std::size_t slash = name.find('/', start);
    const std::string_view component =
        name.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
    if (component == "." || component == ".." || component.back() == '.' || component.back() == ' ') {
      return RepairNameFault::kUnsafe;
    }
    if (slash == std::string_view::npos) break;
    start = name.find_first_not_of('/', slash);
    if (start == std::string_view::npos) return RepairNameFault::kUnsafe;
  }
  // The settings and the update area are an install's to refuse, and so a
  // repair's: a mistaken client manifest must not overwrite them.
  if (NamesProtectedClientFile(name)) return RepairNameFault::kInvalid;
  return RepairNameFault::kNone;
}

std::string RepairCheckStatus(std::uint64_t counter, std::uint64_t total, std::string_view name) {
  std::string text = "Checking files... " + std::to_string(counter) + "/" + std::to_string(total) + " - ";
  text += name;
  return text;
}

bool RepairCheckStatusDue(std::uint64_t counter, std::uint64_t nowMs, std::uint64_t lastStatusMs) {
  return counter == 1 || (nowMs >= lastStatusMs && nowMs - lastStatusMs >= 100);
}

}  // namespace orvex_update
