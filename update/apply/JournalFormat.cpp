#include "update/apply/JournalFormat.h"

#include <stdexcept>

#include "common/Errors.h"
#include "common/TabFields.h"
#include "update/disk/DigestText.h"
#include "update/disk/PathRules.h"

namespace orvex_update {
namespace {

constexpr std::string_view kJournalMagic = "ORVEX-JOURNAL-1";
constexpr std::uint64_t kMaxPreviousVersion = 32767;
constexpr std::uint64_t kMaxFileSize = 17179869184ull;  // 16 GiB

// Splits text into lines at "\n". A final line without a line feed still counts;
// the empty remainder after a final line feed does not.
std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

}  // namespace

Journal ParseJournal(std::string_view text, const std::vector<ManifestFile>& files) {
  // A trailing empty line ("...\n\n") must count as an extra entry, so lines
  // are cut exactly at line feeds, and only the remainder after the very
  // last line feed is dropped.
  const std::vector<std::string_view> lines = SplitLines(text);
  if (lines.empty() || lines[0] != kJournalMagic) fail::Throw(fail::Kind::kIntegrity, "Update journal is damaged.");
  if (lines.size() < 2) fail::Throw(fail::Kind::kIntegrity, "Update journal is damaged.");
  Journal journal;
  journal.previousVersion = static_cast<std::uint32_t>(ParseDecimal(lines[1], kMaxPreviousVersion));

  std::size_t next = 2;
  for (const ManifestFile& file : files) {
    if (next >= lines.size()) fail::Throw(fail::Kind::kIntegrity, "Update journal is truncated.");
    const std::vector<std::string_view> fields = text_fields::SplitTabs(lines[next++]);
    if (fields.size() != 4 || fields[0] != file.path || (fields[1] != "0" && fields[1] != "1")) {
      fail::Throw(fail::Kind::kIntegrity, "Update journal paths are invalid.");
    }
    JournalEntry entry;
    entry.existed = fields[1] == "1";
    entry.size = ParseDecimal(fields[2], kMaxFileSize);
    entry.digest = std::string(fields[3]);
    const bool valid = entry.existed
                           ? entry.digest.size() == 64 && IsHexDigest(entry.digest.data(), entry.digest.size())
                           : entry.digest == "-" && entry.size == 0;
    if (!valid) fail::Throw(fail::Kind::kIntegrity, "Update journal digest is invalid.");
    journal.entries.push_back(std::move(entry));
  }
  if (next < lines.size()) fail::Throw(fail::Kind::kIntegrity, "Update journal has extra entries.");
  return journal;
}

std::string JournalHeader(std::uint32_t previousVersion) {
  return std::string(kJournalMagic) + "\n" + std::to_string(previousVersion) + "\n";
}

std::string JournalLineExisting(const std::string& path, std::uint64_t size, const std::string& digest) {
  return path + "\t1\t" + std::to_string(size) + "\t" + digest + "\n";
}

std::string JournalLineAbsent(const std::string& path) { return path + "\t0\t0\t-\n"; }

}  // namespace orvex_update
