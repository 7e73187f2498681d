// libFuzzer target: ParseUpdateManifest on arbitrary bytes. Besides the
// sanitizers it checks that a failure always carries one of the parser's own
// messages and that an accepted manifest keeps every promise of its record
// and survives a round trip through its canonical text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>

#include "update/disk/DigestText.h"
#include "update/disk/ManifestFormat.h"
#include "update/disk/PathRules.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

bool IsKnownMessage(const std::string& message) {
  static const std::set<std::string> kMessages = {"Invalid manifest encoding.",
                                                  "Unknown update manifest format.",
                                                  "Manifest is truncated.",
                                                  "Invalid manifest field.",
                                                  "Invalid manifest number.",
                                                  "Invalid update version.",
                                                  "Invalid archive name.",
                                                  "Invalid archive digest.",
                                                  "Archive is empty.",
                                                  "Update file list is empty.",
                                                  "Manifest file list is truncated.",
                                                  "Unsafe or duplicate manifest file.",
                                                  "Update payload is too large.",
                                                  "Manifest has unexpected trailing data."};
  return kMessages.count(message) == 1;
}

bool IsDigestText(const std::string& text) {
  return text.size() == 64 && orvex_update::IsHexDigest(text.data(), text.size());
}

std::string Canonical(const orvex_update::UpdateManifest& manifest) {
  std::string text = "ORVEX-UPDATE-1\nversion\t" + std::to_string(manifest.version) + "\narchive\t" + manifest.archive +
                     "\narchive_sha256\t" + manifest.archive_sha256 + "\narchive_size\t" +
                     std::to_string(manifest.archive_size) + "\nfiles\t" + std::to_string(manifest.files.size()) + "\n";
  for (const auto& file : manifest.files) {
    text += file.sha256 + "\t" + std::to_string(file.size) + "\t" + file.path + "\n";
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  orvex_update::UpdateManifest manifest;
  std::string error;
  if (!orvex_update::ParseUpdateManifest(bytes, manifest, error)) {
    Check(IsKnownMessage(error));
    return 0;
  }
  Check(manifest.version >= 1 && manifest.version <= 32767);
  Check(orvex_update::IsManagedPath(manifest.archive) && manifest.archive.find('/') == std::string::npos);
  Check(manifest.archive.size() > 4 && manifest.archive.compare(manifest.archive.size() - 4, 4, ".zip") == 0);
  Check(IsDigestText(manifest.archive_sha256));
  Check(manifest.archive_size >= 1 && manifest.archive_size <= 8589934592ULL);
  Check(!manifest.files.empty() && manifest.files.size() <= 20000);
  std::set<std::string> seen;
  std::uint64_t total = 0;
  for (const auto& file : manifest.files) {
    Check(orvex_update::IsManagedPath(file.path));
    Check(IsDigestText(file.sha256));
    Check(seen.insert(orvex_update::AsciiLower(file.path)).second);
    total += file.size;
  }
  Check(total <= 17179869184ULL);

  orvex_update::UpdateManifest again;
  Check(orvex_update::ParseUpdateManifest(Canonical(manifest), again, error));
  Check(again == manifest);
  return 0;
}
