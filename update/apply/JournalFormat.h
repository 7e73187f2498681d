// The update journal "ORVEX-JOURNAL-1": what an install records before it
// touches the first client file, so that a crash can be rolled back. Portable.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "update/disk/ManifestFormat.h"

namespace orvex_update {

// One file line: whether the client file existed and, if so, its backup's
// size and digest text ("-" when it did not exist).
struct JournalEntry {
  bool existed = false;
  std::uint64_t size = 0;
  std::string digest;
  bool operator==(const JournalEntry&) const = default;
};

struct Journal {
  std::uint32_t previousVersion = 0;  // the version to restore on rollback
  std::vector<JournalEntry> entries;  // one per manifest file, in manifest order
};

// Parses journal text against the manifest it belongs to. Throws
// "Update journal is damaged.", "Update journal is truncated.", "Update journal
// paths are invalid.", "Update journal digest is invalid.", "Update journal has
// extra entries." or "Invalid manifest number.".
Journal ParseJournal(std::string_view text, const std::vector<ManifestFile>& files);

// Header lines: "ORVEX-JOURNAL-1\n" and the previous version.
std::string JournalHeader(std::uint32_t previousVersion);
// A file line for a client file that existed (with its backup's size and digest).
std::string JournalLineExisting(const std::string& path, std::uint64_t size, const std::string& digest);
// A file line for a client file that did not exist.
std::string JournalLineAbsent(const std::string& path);

}  // namespace orvex_update
