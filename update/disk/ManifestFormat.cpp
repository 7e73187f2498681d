#include "update/disk/ManifestFormat.h"

#include <exception>
#include <stdexcept>
#include <unordered_set>

#include "common/Errors.h"
#include "common/TabFields.h"
#include "update/disk/DigestText.h"
#include "update/disk/PathRules.h"

namespace orvex_update {
namespace {

constexpr std::uint64_t kMaxVersion = 32767;
constexpr std::uint64_t kMaxFileSize = 8589934592ULL;  // 8 GiB, archive and each file
constexpr std::uint64_t kMaxFileCount = 20000;
constexpr std::uint64_t kMaxPayloadSize = 17179869184ULL;  // 16 GiB, all files together

// Lines as std::getline sees them: a line exists while any byte is left, so a
// final line feed ends the last line and a second one starts an empty line.
class LineReader {
 public:
  explicit LineReader(std::string_view text) : text_(text) {}

  bool Next(std::string_view& line) {
    if (position_ >= text_.size()) return false;
    const std::size_t end = text_.find('\n', position_);
    if (end == std::string_view::npos) {
      line = text_.substr(position_);
      position_ = text_.size();
    } else {
      line = text_.substr(position_, end - position_);
      position_ = end + 1;
    }
    return true;
  }

 private:
  std::string_view text_;
  std::size_t position_ = 0;
};

std::string_view ReadKeyValue(LineReader& reader, std::string_view key) {
  std::string_view line;
  if (!reader.Next(line)) fail::Throw(fail::Kind::kIntegrity, "Manifest is truncated.");
  const std::vector<std::string_view> fields = text_fields::SplitTabs(line);
  if (fields.size() != 2 || fields[0] != key) fail::Throw(fail::Kind::kIntegrity, "Invalid manifest field.");
  return fields[1];
}

[[nodiscard]] bool IsDigestText(std::string_view text) { return text.size() == 64 && IsHexDigest(text.data(), text.size()); }

UpdateManifest Parse(std::string_view bytes) {
  if (bytes.size() > kMaxManifestBytes || bytes.find('\r') != std::string_view::npos ||
      bytes.find('\0') != std::string_view::npos) {
    fail::Throw(fail::Kind::kIntegrity, "Invalid manifest encoding.");
  }
  LineReader reader(bytes);
  std::string_view line;
  if (!reader.Next(line) || line != "ORVEX-UPDATE-1")
    fail::Throw(fail::Kind::kIntegrity, "Unknown update manifest format.");

  UpdateManifest manifest;
  manifest.version = static_cast<std::int32_t>(ParseDecimal(ReadKeyValue(reader, "version"), kMaxVersion));
  if (manifest.version == 0) fail::Throw(fail::Kind::kIntegrity, "Invalid update version.");

  const std::string_view archive = ReadKeyValue(reader, "archive");
  if (!IsManagedPath(archive) || archive.find('/') != std::string_view::npos || archive.size() <= 4 ||
      archive.substr(archive.size() - 4) != ".zip") {
    fail::Throw(fail::Kind::kIntegrity, "Invalid archive name.");
  }
  manifest.archive = std::string(archive);

  const std::string_view archiveDigest = ReadKeyValue(reader, "archive_sha256");
  if (!IsDigestText(archiveDigest)) fail::Throw(fail::Kind::kIntegrity, "Invalid archive digest.");
  manifest.archive_sha256 = std::string(archiveDigest);

  manifest.archive_size = ParseDecimal(ReadKeyValue(reader, "archive_size"), kMaxFileSize);
  if (manifest.archive_size == 0) fail::Throw(fail::Kind::kIntegrity, "Archive is empty.");

  const std::uint64_t count = ParseDecimal(ReadKeyValue(reader, "files"), kMaxFileCount);
  if (count == 0) fail::Throw(fail::Kind::kIntegrity, "Update file list is empty.");

  // Windows file names ignore case, so two spellings of one name would make
  // the second entry silently overwrite the first.
  std::unordered_set<std::string> seen;
  std::uint64_t total = 0;
  manifest.files.reserve(static_cast<std::size_t>(count));
  for (std::uint64_t i = 0; i < count; ++i) {
    if (!reader.Next(line)) fail::Throw(fail::Kind::kIntegrity, "Manifest file list is truncated.");
    const std::vector<std::string_view> fields = text_fields::SplitTabs(line);
    if (fields.size() != 3 || !IsDigestText(fields[0]) || !IsManagedPath(fields[2]) ||
        !seen.insert(AsciiLower(fields[2])).second) {
      fail::Throw(fail::Kind::kIntegrity, "Unsafe or duplicate manifest file.");
    }
    const std::uint64_t size = ParseDecimal(fields[1], kMaxFileSize);
    total += size;  // at most 20000 * 8 GiB: no overflow
    if (total > kMaxPayloadSize) fail::Throw(fail::Kind::kIntegrity, "Update payload is too large.");
    manifest.files.push_back(ManifestFile{std::string(fields[2]), std::string(fields[0]), size});
  }
  if (reader.Next(line)) fail::Throw(fail::Kind::kIntegrity, "Manifest has unexpected trailing data.");
  return manifest;
}

}  // namespace

bool ParseUpdateManifest(std::string_view bytes, UpdateManifest& out, std::string& errorText) {
  try {
    out = Parse(bytes);
    return true;
  } catch (const std::exception& error) {
    errorText = error.what();
    return false;
  }
}

bool ParseUpdateManifest(const std::vector<std::uint8_t>& bytes, UpdateManifest& out, std::string& errorText) {
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  return ParseUpdateManifest(text, out, errorText);
}

}  // namespace orvex_update
