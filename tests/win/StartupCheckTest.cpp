#include "update/StartupCheck.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SignedFixtures.h"
#include "WinTestUtil.h"
#include "common/WinHandles.h"

namespace fs = std::filesystem;
using orvex_update::ManagedFileSnapshot;
using orvex_update::ManagedFileState;
using orvex_update::QuickStartupCheck;
using orvex_update::SnapshotManagedFiles;
using orvex_update::StartupCheckAndRepair;
using testutil::ReadBytes;
using testutil::ScratchFolder;
using testutil::SignedFixture;
using testutil::WriteBytes;

namespace {

// A copy of the fixture tree of tests/tools/make_signed_fixtures.py with the
// two manifests that tools/orvex_ops/publish.py make-client-manifests signed for
// it. Launcher files: D3DX9_43.dll, ORVEX/Launcher/ui.dat, ORVEX/Launcher/empty.dat.
class StartupClient : public ::testing::Test {
 protected:
  StartupClient() : scratch_("startup-check") {
    client_ = scratch_.Path() / "client";
    fs::copy(SignedFixture("client-tree"), client_, fs::copy_options::recursive);
    UseManifests("client");
  }

  void UseManifests(const std::string& fixture) {
    fs::create_directories(client_ / "ORVEX");
    for (const char* name : {"Startup.manifest", "Integrity.manifest"}) {
      fs::copy_file(SignedFixture(fixture) / "ORVEX" / name, client_ / "ORVEX" / name,
                    fs::copy_options::overwrite_existing);
    }
  }

  void FlipByte(const fs::path& relative, std::size_t offset) {
    std::vector<std::uint8_t> bytes = ReadBytes(client_ / relative);
    ASSERT_LT(offset, bytes.size());
    bytes[offset] ^= 0x01;
    WriteBytes(client_ / relative, bytes);
  }

  ScratchFolder scratch_;
  fs::path client_;
};

}  // namespace

TEST_F(StartupClient, IntactLauncherFilesPass) { EXPECT_TRUE(QuickStartupCheck(client_)); }

TEST_F(StartupClient, ClientLibraryWithOneChangedByteFails) {
  FlipByte("D3DX9_43.dll", 3);
  EXPECT_FALSE(QuickStartupCheck(client_));
}

TEST_F(StartupClient, MissingFileUnderLauncherFolderFails) {
  fs::remove(client_ / "ORVEX" / "Launcher" / "ui.dat");
  EXPECT_FALSE(QuickStartupCheck(client_));
}

TEST_F(StartupClient, EmptyLauncherFileThatGrewFails) {
  WriteBytes(client_ / "ORVEX" / "Launcher" / "empty.dat", {0x00});
  EXPECT_FALSE(QuickStartupCheck(client_));
}

TEST_F(StartupClient, LauncherFileHeldWithoutReadSharingFails) {
  win::UniqueFile held(::CreateFileW((client_ / "D3DX9_43.dll").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(held);
  EXPECT_FALSE(QuickStartupCheck(client_));
  held.Reset();
  EXPECT_TRUE(QuickStartupCheck(client_));
}

// Game files, tables and the nested bin/Launcher.exe are batch repair's work.
TEST_F(StartupClient, DamagedFilesOutsideTheLauncherFilesPass) {
  FlipByte("Vantrell.exe", 0);
  FlipByte("data/skill.tbl", 10);
  fs::remove(client_ / "bin" / "Launcher.exe");
  fs::remove(client_ / "ORVEXGuard.exe");
  EXPECT_TRUE(QuickStartupCheck(client_));
}

TEST_F(StartupClient, MissingStartupManifestFails) {
  fs::remove(client_ / "ORVEX" / "Startup.manifest");
  EXPECT_FALSE(QuickStartupCheck(client_));
}

TEST_F(StartupClient, StartupManifestUnderAnotherKeyFails) {
  UseManifests("client-other-key");
  EXPECT_FALSE(QuickStartupCheck(client_));
}

TEST_F(StartupClient, StartupManifestWithOneChangedByteFails) {
  FlipByte("ORVEX/Startup.manifest", 20);
  EXPECT_FALSE(QuickStartupCheck(client_));
}

// The quick check reads the startup manifest alone; a broken integrity
// manifest is found by the full check.
TEST_F(StartupClient, MissingIntegrityManifestDoesNotFailTheQuickCheck) {
  fs::remove(client_ / "ORVEX" / "Integrity.manifest");
  EXPECT_TRUE(QuickStartupCheck(client_));
}

TEST_F(StartupClient, SoundClientNeedsNeitherMetadataNorDownload) {
  std::vector<std::string> statuses;
  std::string error = "stale";
  ASSERT_TRUE(StartupCheckAndRepair(
      client_, 2385, error, [&](const std::string& text) { statuses.push_back(text); }, {}, {}))
      << error;
  EXPECT_TRUE(error.empty());
  ASSERT_FALSE(statuses.empty());
  EXPECT_EQ(statuses.front(), "Checking files... Please wait.");
  EXPECT_EQ(statuses.back(), "All game files verified.");
}

TEST_F(StartupClient, VersionZeroWithSoundManifestsIsRefusedByRepair) {
  std::string error;
  EXPECT_FALSE(StartupCheckAndRepair(client_, 0, error, {}, {}, {}));
  EXPECT_EQ(error, "Invalid repair version.");
}

TEST_F(StartupClient, SnapshotListsManifestsAndEveryManagedFile) {
  const ManagedFileSnapshot snapshot = SnapshotManagedFiles(client_);
  // 2 manifests + 7 start-up files + 2 tables.
  EXPECT_EQ(snapshot.size(), 11u);
  ASSERT_EQ(snapshot.count(fs::path(L"D3DX9_43.dll")), 1u);
  const ManagedFileState& library = snapshot.at(fs::path(L"D3DX9_43.dll"));
  EXPECT_EQ(library.size, 7u);  // "MZ d3dx"
  EXPECT_NE(library.last_write_time, 0u);
  EXPECT_NE(library.attributes, 0u);
  EXPECT_EQ(snapshot.count(fs::path(L"DATA/Item.TBL")), 1u);
  EXPECT_NE(snapshot.at(fs::path(L"ORVEX/Startup.manifest")).size, 0u);
}

TEST_F(StartupClient, SnapshotOfMissingFileIsZeros) {
  fs::remove(client_ / "Vantrell.exe");
  const ManagedFileSnapshot snapshot = SnapshotManagedFiles(client_);
  ASSERT_EQ(snapshot.count(fs::path(L"Vantrell.exe")), 1u);
  EXPECT_EQ(snapshot.at(fs::path(L"Vantrell.exe")), ManagedFileState{});
}

TEST_F(StartupClient, SnapshotWithDamagedIntegrityManifestHoldsOnlyTheManifests) {
  FlipByte("ORVEX/Integrity.manifest", 9);
  const ManagedFileSnapshot snapshot = SnapshotManagedFiles(client_);
  ASSERT_EQ(snapshot.size(), 2u);
  EXPECT_EQ(snapshot.begin()->first, fs::path(L"ORVEX/Integrity.manifest"));
  EXPECT_EQ(std::next(snapshot.begin())->first, fs::path(L"ORVEX/Startup.manifest"));
}

TEST_F(StartupClient, SnapshotWithoutManifestsHoldsTwoZeroRecords) {
  fs::remove_all(client_ / "ORVEX");
  const ManagedFileSnapshot snapshot = SnapshotManagedFiles(client_);
  ASSERT_EQ(snapshot.size(), 2u);
  for (const auto& [path, state] : snapshot) EXPECT_EQ(state, ManagedFileState{}) << path.string();
}

TEST_F(StartupClient, SnapshotsDifferOnlyAfterALastWriteTimeChange) {
  const ManagedFileSnapshot first = SnapshotManagedFiles(client_);
  EXPECT_EQ(SnapshotManagedFiles(client_), first);

  // Same size, same content: only the last-write time moves.
  const fs::path table = client_ / "data" / "skill.tbl";
  win::UniqueFile file(::CreateFileW(table.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(file);
  FILETIME written{};
  ASSERT_TRUE(::GetFileTime(file.Get(), nullptr, nullptr, &written));
  ULARGE_INTEGER moved{};
  moved.LowPart = written.dwLowDateTime;
  moved.HighPart = written.dwHighDateTime;
  moved.QuadPart -= 10000000ULL * 3600;  // one hour earlier
  written.dwLowDateTime = moved.LowPart;
  written.dwHighDateTime = moved.HighPart;
  ASSERT_TRUE(::SetFileTime(file.Get(), nullptr, nullptr, &written));
  file.Reset();

  const ManagedFileSnapshot second = SnapshotManagedFiles(client_);
  EXPECT_NE(second, first);
  EXPECT_EQ(second.at(fs::path(L"data/skill.tbl")).size, first.at(fs::path(L"data/skill.tbl")).size);
  EXPECT_NE(second.at(fs::path(L"data/skill.tbl")).last_write_time,
            first.at(fs::path(L"data/skill.tbl")).last_write_time);
}

TEST_F(StartupClient, WatchSeesWhatSnapshotsSeeAndReadsReplacedManifestsAgain) {
  orvex_update::ManagedFileWatch watch;
  const std::vector<ManagedFileState> first = watch.Query(client_);
  // 2 manifests + 7 start-up files + 2 tables, as the snapshot.
  ASSERT_EQ(first.size(), 11u);
  EXPECT_EQ(first.front(), SnapshotManagedFiles(client_).at(fs::path(L"ORVEX/Startup.manifest")));
  EXPECT_EQ(watch.Query(client_), first);

  // A table removed behind the watch's back: its record becomes zeros.
  fs::remove(client_ / "data" / "skill.tbl");
  const std::vector<ManagedFileState> second = watch.Query(client_);
  ASSERT_EQ(second.size(), first.size());
  EXPECT_NE(second, first);

  // A damaged integrity manifest is read again: only the two manifests remain.
  FlipByte("ORVEX/Integrity.manifest", 9);
  EXPECT_EQ(watch.Query(client_).size(), 2u);
  UseManifests("client");
  EXPECT_EQ(watch.Query(client_).size(), 11u);
}
