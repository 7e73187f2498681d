// libFuzzer target: ParseJournal on arbitrary bytes. The first input byte
// says how the manifest is derived from the journal text itself (so that the
// paths can match at all): the path field of every file line, one fewer, one
// more, or the first path in another letter case. Besides the sanitizers it
// checks that a failure is always one of the parser's own messages, that an
// accepted journal keeps every promise of its lines, and that writing it back
// with the install's own line writers gives the input again (up to leading
// zeros in its numbers and a missing final line feed).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "update/disk/DigestText.h"
#include "update/apply/JournalFormat.h"

namespace {

using orvex_update::Journal;
using orvex_update::ManifestFile;

void Check(bool condition) {
  if (!condition) std::abort();
}

bool IsKnownMessage(const std::string& message) {
  static const std::set<std::string> kMessages = {"Update journal is damaged.",
                                                  "Update journal is truncated.",
                                                  "Update journal paths are invalid.",
                                                  "Update journal digest is invalid.",
                                                  "Update journal has extra entries.",
                                                  "Invalid manifest number."};
  return kMessages.count(message) == 1;
}

// Lines as the journal defines them; kept apart from the parser's own splitting.
std::vector<std::string> Lines(std::string_view text) {
  std::vector<std::string> lines;
  std::string line;
  for (const char c : text) {
    if (c == '\n') {
      lines.push_back(line);
      line.clear();
    } else {
      line += c;
    }
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

std::string WithoutLeadingZeros(const std::string& number) {
  const std::size_t first = number.find_first_not_of('0');
  return first == std::string::npos ? "0" : number.substr(first);
}

// The input as the install would have written the same journal.
std::string Canonical(const std::vector<std::string>& lines) {
  std::string text;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::string line = lines[i];
    if (i == 1) line = WithoutLeadingZeros(line);
    if (i >= 2) {
      // path \t existed \t size \t digest: only the size is a number.
      const std::size_t a = line.find('\t');
      const std::size_t b = line.find('\t', a + 1);
      const std::size_t c = line.find('\t', b + 1);
      line = line.substr(0, b + 1) + WithoutLeadingZeros(line.substr(b + 1, c - b - 1)) + line.substr(c);
    }
    text += line + "\n";
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const int mode = data[0] & 3;
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::vector<std::string> lines = Lines(text);

  std::vector<ManifestFile> files;
  for (std::size_t i = 2; i < lines.size(); ++i) {
    files.push_back({lines[i].substr(0, lines[i].find('\t')), std::string(64, '0'), 1});
  }
  if (mode == 1 && !files.empty()) files.pop_back();
  if (mode == 2) files.push_back({"data/one-more.tbl", std::string(64, '0'), 1});
  if (mode == 3 && !files.empty() && !files[0].path.empty()) files[0].path[0] ^= 0x20;

  Journal journal;
  try {
    journal = orvex_update::ParseJournal(text, files);
  } catch (const std::runtime_error& error) {
    Check(IsKnownMessage(error.what()));
    return 0;
  }

  Check(journal.previousVersion <= 32767);
  Check(journal.entries.size() == files.size());
  std::string written = orvex_update::JournalHeader(journal.previousVersion);
  for (std::size_t i = 0; i < files.size(); ++i) {
    const orvex_update::JournalEntry& entry = journal.entries[i];
    if (entry.existed) {
      Check(entry.size <= 17179869184ULL);
      Check(entry.digest.size() == 64 && orvex_update::IsHexDigest(entry.digest.data(), entry.digest.size()));
      written += orvex_update::JournalLineExisting(files[i].path, entry.size, entry.digest);
    } else {
      Check(entry.size == 0 && entry.digest == "-");
      written += orvex_update::JournalLineAbsent(files[i].path);
    }
  }
  Check(written == Canonical(lines));

  // What was written reads back the same, and one line more is one too many.
  const Journal again = orvex_update::ParseJournal(written, files);
  Check(again.previousVersion == journal.previousVersion && again.entries == journal.entries);
  try {
    orvex_update::ParseJournal(written + "\n", files);
    Check(false);
  } catch (const std::runtime_error& error) {
    Check(std::string(error.what()) == "Update journal has extra entries.");
  }
  return 0;
}
