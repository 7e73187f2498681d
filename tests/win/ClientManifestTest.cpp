#include "update/manifests/ClientManifest.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "SignedFixtures.h"
#include "WinTestUtil.h"
#include "update/disk/Digest.h"
#include "update/disk/PathRules.h"

namespace fs = std::filesystem;
using orvex_update::ClientManifestsValid;
using orvex_update::IntegrityManifest;
using orvex_update::LauncherManifestEntry;
using orvex_update::ReadIntegrityManifest;
using orvex_update::ReadStartupManifest;
using orvex_update::StartupManifest;
using testutil::ReadBytes;
using testutil::ScratchFolder;
using testutil::SignedFixture;
using testutil::WriteBytes;

namespace {

// The pair that tools/orvex_ops/publish.py make-client-manifests wrote for the
// fixture tree of tests/tools/make_signed_fixtures.py.
fs::path PublishedStartup() { return SignedFixture("client") / "ORVEX" / "Startup.manifest"; }
fs::path PublishedIntegrity() { return SignedFixture("client") / "ORVEX" / "Integrity.manifest"; }

bool StartupReads(const fs::path& path) {
  StartupManifest entries;
  return ReadStartupManifest(path, entries);
}

bool IntegrityReads(const fs::path& path) {
  IntegrityManifest manifest;
  return ReadIntegrityManifest(path, manifest);
}

// A client folder holding the given manifest files (empty: leave it out).
void MakeClient(const fs::path& folder, const fs::path& startup, const fs::path& integrity) {
  fs::create_directories(folder / "ORVEX");
  if (!startup.empty()) fs::copy_file(startup, folder / "ORVEX" / "Startup.manifest");
  if (!integrity.empty()) fs::copy_file(integrity, folder / "ORVEX" / "Integrity.manifest");
}

std::string LookupError(const fs::path& folder, const orvex_update::ManifestPathCheck& check = {}) {
  try {
    LauncherManifestEntry(folder, check);
  } catch (const std::exception& error) {
    return error.what();
  }
  return "(found)";
}

}  // namespace

TEST(ClientManifestRead, PublishedStartupManifestReads) {
  StartupManifest entries;
  ASSERT_TRUE(ReadStartupManifest(PublishedStartup(), entries));
  // The tool lists the tree by name, ASCII case ignored; the data tables and
  // the protected Server.ini are not among the start-up files.
  ASSERT_EQ(entries.size(), 7u);
  EXPECT_EQ(entries[0].name, "bin/Launcher.exe");
  EXPECT_EQ(entries[1].name, "D3DX9_43.dll");
  EXPECT_EQ(entries[2].name, "launcher.EXE");
  EXPECT_EQ(entries[3].name, "ORVEX/Launcher/empty.dat");
  for (const auto& entry : entries) {
    EXPECT_EQ(orvex_update::AsciiLower(entry.name).find("data/"), std::string::npos) << entry.name;
  }
  // Size and digest of a tree file, as the launcher's own SHA-256 sees it.
  const fs::path treeFile = SignedFixture("client-tree") / "launcher.EXE";
  EXPECT_EQ(entries[2].size, fs::file_size(treeFile));
  EXPECT_EQ(orvex_update::HexDigest(entries[2].digest), orvex_update::HashFileHex(treeFile));
  EXPECT_EQ(entries[3].size, 0u);
  EXPECT_EQ(orvex_update::HexDigest(entries[3].digest),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(ClientManifestRead, PublishedIntegrityManifestReads) {
  IntegrityManifest manifest;
  ASSERT_TRUE(ReadIntegrityManifest(PublishedIntegrity(), manifest));
  EXPECT_EQ(manifest.build_stamp, 2026111501u);
  ASSERT_EQ(manifest.entries.size(), 2u);
  EXPECT_EQ(manifest.entries[0].name, "DATA/Item.TBL");
  EXPECT_EQ(manifest.entries[1].name, "data/skill.tbl");
  const fs::path table = SignedFixture("client-tree") / "data" / "skill.tbl";
  EXPECT_EQ(manifest.entries[1].size, fs::file_size(table));
  EXPECT_EQ(orvex_update::HexDigest(manifest.entries[1].digest), orvex_update::HashFileHex(table));
}

// Each file is signed by sign-raw-ecdsa; only the format refuses these.
TEST(ClientManifestRead, CorrectlySignedButMalformed) {
  EXPECT_TRUE(StartupReads(SignedFixture("startup-seven")));
  EXPECT_FALSE(StartupReads(SignedFixture("startup-six")));
  EXPECT_FALSE(StartupReads(SignedFixture("startup-extra-byte")));
  EXPECT_TRUE(IntegrityReads(SignedFixture("integrity-table")));
  EXPECT_FALSE(IntegrityReads(SignedFixture("integrity-old-stamp")));
  EXPECT_FALSE(IntegrityReads(SignedFixture("integrity-case-repeat")));
  EXPECT_FALSE(IntegrityReads(SignedFixture("integrity-nested")));
  // Each kind read with the other's reader.
  EXPECT_FALSE(StartupReads(SignedFixture("integrity-table")));
  EXPECT_FALSE(IntegrityReads(SignedFixture("startup-seven")));
}

TEST(ClientManifestRead, EveryFlippedByteIsRefused) {
  ScratchFolder folder("client-manifest-flip");
  for (const fs::path& original : {PublishedStartup(), PublishedIntegrity()}) {
    const bool startup = original.filename() == "Startup.manifest";
    const std::vector<std::uint8_t> bytes = ReadBytes(original);
    ASSERT_GE(bytes.size(), 76u);
    const fs::path copy = folder.Path() / "copy.manifest";
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      std::vector<std::uint8_t> changed = bytes;
      changed[i] ^= 0x01;
      WriteBytes(copy, changed);
      EXPECT_FALSE(startup ? StartupReads(copy) : IntegrityReads(copy)) << original << " byte " << i;
    }
    WriteBytes(copy, bytes);
    EXPECT_TRUE(startup ? StartupReads(copy) : IntegrityReads(copy));
  }
}

TEST(ClientManifestRead, OtherKeyAndDerSignatureAreRefused) {
  EXPECT_FALSE(StartupReads(SignedFixture("client-other-key") / "ORVEX" / "Startup.manifest"));
  EXPECT_FALSE(IntegrityReads(SignedFixture("client-other-key") / "ORVEX" / "Integrity.manifest"));
  // The right key, but a DER signature where the raw 64 bytes belong.
  EXPECT_FALSE(StartupReads(SignedFixture("startup-der")));
}

TEST(ClientManifestRead, MissingTruncatedOversizedOrFolder) {
  ScratchFolder folder("client-manifest-files");
  EXPECT_FALSE(StartupReads(folder.Path() / "missing.manifest"));
  EXPECT_FALSE(IntegrityReads(folder.Path() / "missing.manifest"));
  EXPECT_FALSE(StartupReads(folder.Path()));
  EXPECT_FALSE(IntegrityReads(folder.Path()));

  const std::vector<std::uint8_t> bytes = ReadBytes(PublishedStartup());
  WriteBytes(folder.Path() / "short", std::vector<std::uint8_t>(bytes.begin(), bytes.end() - 1));
  EXPECT_FALSE(StartupReads(folder.Path() / "short"));
  // Growing the file past the limit refuses it before it is read.
  std::vector<std::uint8_t> big(8388609, 0);
  std::copy(bytes.begin(), bytes.end(), big.begin());
  WriteBytes(folder.Path() / "big", big);
  EXPECT_FALSE(StartupReads(folder.Path() / "big"));
  StartupManifest untouched = {{"kept", 1, {}}};
  EXPECT_FALSE(ReadStartupManifest(folder.Path() / "big", untouched));
  ASSERT_EQ(untouched.size(), 1u);
  EXPECT_EQ(untouched[0].name, "kept");
}

TEST(ClientManifestsValid, BothMustRead) {
  ScratchFolder folder("client-manifests-valid");
  MakeClient(folder.Path() / "good", PublishedStartup(), PublishedIntegrity());
  EXPECT_TRUE(ClientManifestsValid(folder.Path() / "good"));
  MakeClient(folder.Path() / "no-integrity", PublishedStartup(), {});
  EXPECT_FALSE(ClientManifestsValid(folder.Path() / "no-integrity"));
  MakeClient(folder.Path() / "no-startup", {}, PublishedIntegrity());
  EXPECT_FALSE(ClientManifestsValid(folder.Path() / "no-startup"));
  MakeClient(folder.Path() / "bad-integrity", PublishedStartup(), SignedFixture("integrity-old-stamp"));
  EXPECT_FALSE(ClientManifestsValid(folder.Path() / "bad-integrity"));
  EXPECT_FALSE(ClientManifestsValid(folder.Path() / "absent"));
}

// A manifest that another process holds open without read sharing (for
// example while replacing it) simply fails to read.
TEST(ClientManifestsValid, IntegrityManifestHeldExclusivelyFails) {
  ScratchFolder folder("client-manifests-held");
  MakeClient(folder.Path(), PublishedStartup(), PublishedIntegrity());
  EXPECT_TRUE(ClientManifestsValid(folder.Path()));
  const fs::path integrity = folder.Path() / "ORVEX" / "Integrity.manifest";
  HANDLE exclusive = ::CreateFileW(integrity.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(ClientManifestsValid(folder.Path()));
  ::CloseHandle(exclusive);
  EXPECT_TRUE(ClientManifestsValid(folder.Path()));
}

TEST(LauncherManifestEntry, FindsTheRootLauncherIgnoringCase) {
  ScratchFolder folder("launcher-entry");
  MakeClient(folder.Path(), PublishedStartup(), {});
  const orvex_update::StartupEntry entry = LauncherManifestEntry(folder.Path(), {});
  EXPECT_EQ(entry.name, "launcher.EXE");  // not bin/Launcher.exe, listed before it
  EXPECT_EQ(entry.size, fs::file_size(SignedFixture("client-tree") / "launcher.EXE"));
}

TEST(LauncherManifestEntry, Messages) {
  ScratchFolder folder("launcher-entry-messages");
  EXPECT_EQ(LookupError(folder.Path() / "none"), "Launcher2.exe requires a valid signed startup manifest.");
  MakeClient(folder.Path() / "other-key", SignedFixture("client-other-key") / "ORVEX" / "Startup.manifest", {});
  EXPECT_EQ(LookupError(folder.Path() / "other-key"), "Launcher2.exe requires a valid signed startup manifest.");
  MakeClient(folder.Path() / "nested", SignedFixture("startup-nested-launcher"), {});
  EXPECT_EQ(LookupError(folder.Path() / "nested"), "Signed startup manifest does not identify Launcher.exe.");
}

TEST(LauncherManifestEntry, PathCheckRunsFirstAndItsErrorPassesThrough) {
  ScratchFolder folder("launcher-entry-check");
  MakeClient(folder.Path(), PublishedStartup(), {});
  fs::path seen;
  const auto refuse = [&seen](const fs::path& path) {
    seen = path;
    throw std::runtime_error("Launcher update path contains a link or junction.");
  };
  EXPECT_EQ(LookupError(folder.Path(), refuse), "Launcher update path contains a link or junction.");
  EXPECT_EQ(seen, folder.Path() / "ORVEX" / "Startup.manifest");
  // Even with no manifest at all, the check speaks first.
  EXPECT_EQ(LookupError(folder.Path() / "none", refuse), "Launcher update path contains a link or junction.");
}
