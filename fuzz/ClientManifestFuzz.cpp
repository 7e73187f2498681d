// libFuzzer target: the two client manifest parsers on arbitrary bytes. The
// first input byte picks the manifest and whether the stand-in signature check
// accepts; the rest is the file. Besides the sanitizers it checks that the
// signature check sees exactly the body and the last 64 bytes, that a refused
// signature never yields entries, and that an accepted manifest keeps every
// promise of the format and reads back the same from its own canonical bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "update/manifests/ClientManifestFormat.h"
#include "update/disk/PathRules.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

void Check(bool condition) {
  if (!condition) std::abort();
}

void Le(Bytes& out, std::uint64_t value, int width) {
  for (int i = 0; i < width; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void Entries(Bytes& out, const std::vector<orvex_update::StartupEntry>& entries) {
  for (const auto& entry : entries) {
    Le(out, entry.name.size(), 2);
    out.insert(out.end(), entry.name.begin(), entry.name.end());
    Le(out, entry.size, 8);
    out.insert(out.end(), entry.digest.begin(), entry.digest.end());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool integrity = (data[0] & 1) != 0;
  const bool accept = (data[0] & 2) == 0;
  const std::span<const std::uint8_t> file(data + 1, size - 1);

  int calls = 0;
  const orvex_update::ClientManifestSignatureCheck verify = [&](std::span<const std::uint8_t> body,
                                                                std::span<const std::uint8_t> signature) {
    ++calls;
    Check(signature.size() == 64 && body.size() + 64 == file.size());
    Check(body.data() == file.data() && signature.data() == file.data() + body.size());
    return accept;
  };

  if (!integrity) {
    orvex_update::StartupManifest entries;
    const bool ok = orvex_update::ParseStartupManifestFile(file, verify, entries);
    Check(calls <= 1);
    if (!ok) {
      Check(entries.empty());
      return 0;
    }
    Check(accept && calls == 1);
    Check(file.size() >= 76 && file.size() <= 8388608);
    Check(entries.size() >= 7 && entries.size() <= 30000);
    for (const auto& entry : entries) {
      Check(!entry.name.empty() && entry.name.size() <= 1024 && entry.size <= 17179869184ULL);
    }
    Bytes body(orvex_update::kStartupManifestMagic.begin(), orvex_update::kStartupManifestMagic.end());
    Le(body, entries.size(), 4);
    Entries(body, entries);
    Check(body.size() + 64 == file.size());
    orvex_update::StartupManifest again;
    Check(orvex_update::ParseStartupManifestBody(body, again) && again == entries);
    return 0;
  }

  orvex_update::IntegrityManifest manifest;
  const bool ok = orvex_update::ParseIntegrityManifestFile(file, verify, manifest);
  Check(calls <= 1);
  if (!ok) {
    Check(manifest.entries.empty() && manifest.build_stamp == 0);
    return 0;
  }
  Check(accept && calls == 1);
  Check(file.size() >= 80 && file.size() <= 2097152);
  Check(manifest.build_stamp >= 2026111501);
  Check(!manifest.entries.empty() && manifest.entries.size() <= 4096);
  std::set<std::string> seen;
  std::uint64_t total = 0;
  for (const auto& entry : manifest.entries) {
    Check(orvex_update::IsIntegrityTableName(entry.name));
    Check(orvex_update::IsSafeRelativePath(entry.name));
    Check(seen.insert(orvex_update::AsciiLower(entry.name)).second);
    Check(entry.size <= 268435456);
    total += entry.size;
  }
  Check(total <= 536870912);
  Bytes body(orvex_update::kIntegrityManifestMagic.begin(), orvex_update::kIntegrityManifestMagic.end());
  Le(body, manifest.build_stamp, 4);
  Le(body, manifest.entries.size(), 4);
  Entries(body, manifest.entries);
  Check(body.size() + 64 == file.size());
  orvex_update::IntegrityManifest again;
  Check(orvex_update::ParseIntegrityManifestBody(body, again) && again == manifest);
  return 0;
}
