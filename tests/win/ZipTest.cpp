#include "update/unpack/Zip.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "SignedFixtures.h"
#include "WinTestUtil.h"
#include "common/WinHandles.h"
#include "tests/unit/ZipTestArchive.h"
#include "update/disk/Paths.h"

namespace fs = std::filesystem;
using orvex_update::ExtractArchive;
using orvex_update::PatchArchive;
using testutil::ReadText;
using testutil::ScratchFolder;
using ziptest::Builder;
using ziptest::Entry;

namespace {

Entry Stored(std::string name, std::string data) {
  Entry e;
  e.name = std::move(name);
  e.data = std::move(data);
  e.method = 0;
  return e;
}

Entry Deflated(std::string name, std::string data) {
  Entry e = Stored(std::move(name), std::move(data));
  e.method = 8;
  return e;
}

Entry Folder(std::string name) { return Stored(std::move(name), ""); }

// A scratch folder holding the archive and, beside it, the staging folder.
class ZipExtract : public ::testing::Test {
 protected:
  ScratchFolder scratch_{"zip"};
  fs::path archive_ = scratch_.Path() / "patch.zip";
  fs::path staging_ = scratch_.Path() / "staging";

  void SetUp() override { fs::create_directories(staging_); }

  void Write(const Builder& builder) { testutil::WriteBytes(archive_, builder.Build().Vector()); }

  int Extract(const std::string& target) { return ExtractArchive(archive_.string().c_str(), target.c_str()); }
  int Extract() { return Extract(staging_.string()); }

  // Everything under the scratch folder except the archive and the empty
  // staging folder: what an extraction wrote.
  std::vector<std::string> Written() const {
    std::vector<std::string> paths;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(scratch_.Path())) {
      const fs::path relative = entry.path().lexically_relative(scratch_.Path());
      if (relative == "patch.zip" || relative == "staging") continue;
      paths.push_back(relative.generic_string());
    }
    return paths;
  }
};

// Replaces the reparse-point query for one test; the marked folders answer as
// junctions (Wine reports none of its own).
class FakeJunctions {
 public:
  ~FakeJunctions() { marked_.clear(); }
  void Mark(const fs::path& path) { marked_.push_back(fs::absolute(path).lexically_normal().wstring()); }

 private:
  static bool Query(const fs::path& path) {
    for (const std::wstring& marked : marked_) {
      if (_wcsicmp(marked.c_str(), path.wstring().c_str()) == 0) return true;
    }
    return false;
  }
  const orvex_update::ScopedReparsePointQueryForTesting query_{&Query};
  static inline std::vector<std::wstring> marked_;
};

SYSTEMTIME LocalTimeOf(const FILETIME& utc) {
  SYSTEMTIME utcTime{};
  SYSTEMTIME local{};
  EXPECT_TRUE(::FileTimeToSystemTime(&utc, &utcTime));
  EXPECT_TRUE(::SystemTimeToTzSpecificLocalTime(nullptr, &utcTime, &local));
  return local;
}

}  // namespace

// ---------------------------------------------------------------------------
// Listing.

TEST_F(ZipExtract, ListingOpensOnlyRealArchives) {
  EXPECT_EQ(PatchArchive::Open(nullptr), nullptr);
  EXPECT_EQ(PatchArchive::Open(""), nullptr);
  EXPECT_EQ(PatchArchive::Open(archive_.string().c_str()), nullptr);  // missing
  testutil::WriteText(archive_, "this is not a zip archive at all");
  EXPECT_EQ(PatchArchive::Open(archive_.string().c_str()), nullptr);
}

TEST_F(ZipExtract, ListingGivesNamesSizesAndFolders) {
  Write(Builder()
            .Add(Stored("data\\win\\a.txt", "abc"))
            .Add(Stored(std::string("cut.txt\0../../evil", 18), "x"))
            .Add(Folder("data/"))
            .Add(Deflated("b.bin", ziptest::Pattern(5000))));
  auto archive = PatchArchive::Open(archive_.string().c_str());
  ASSERT_TRUE(archive);
  ASSERT_EQ(archive->EntryCount(), 4u);
  EXPECT_EQ(archive->CurrentName(), nullptr);
  EXPECT_EQ(archive->OpenEntry(-1), -1);
  EXPECT_EQ(archive->OpenEntry(4), -1);

  ASSERT_EQ(archive->OpenEntry(0), 0);
  EXPECT_STREQ(archive->CurrentName(), "data/win/a.txt");
  EXPECT_EQ(archive->CurrentUncompressedSize(), 3u);
  EXPECT_FALSE(archive->CurrentIsDirectory());
  ASSERT_EQ(archive->OpenEntry(1), 0);
  EXPECT_STREQ(archive->CurrentName(), "cut.txt");
  ASSERT_EQ(archive->OpenEntry(2), 0);
  EXPECT_TRUE(archive->CurrentIsDirectory());
  ASSERT_EQ(archive->OpenEntry(3), 0);
  EXPECT_EQ(archive->CurrentUncompressedSize(), 5000u);
  EXPECT_EQ(archive->Current()->method, 8);
  EXPECT_EQ(archive->Current()->crc32, ziptest::Crc32(ziptest::Pattern(5000)));

  archive->CloseEntry();
  EXPECT_EQ(archive->CurrentName(), nullptr);
  EXPECT_EQ(archive->Current(), nullptr);
  archive->Close();
  EXPECT_EQ(archive->EntryCount(), 0u);
  EXPECT_EQ(archive->OpenEntry(0), -1);
}

// ---------------------------------------------------------------------------
// Extraction.

TEST_F(ZipExtract, WritesFilesAndFoldersWithTheirTimes) {
  const std::string big = ziptest::Pattern(300000);
  Write(Builder()
            .Add(Stored("readme.txt", "notes"))
            .Add(Deflated("data/sub/big.bin", big))
            .Add(Stored("data\\win.txt", "backslash"))
            .Add(Folder("empty/"))
            .Add(Folder("windows\\style\\"))
            .Add(Deflated("data/zero.bin", "")));
  ASSERT_EQ(Extract(), 0);
  // 2021-06-15 12:30:44 local time, as the DOS fields say; checked before
  // any read moves the access time.
  {
    win::UniqueFile file(::CreateFileW((staging_ / "data/sub/big.bin").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file);
    FILETIME access{};
    FILETIME write{};
    ASSERT_TRUE(::GetFileTime(file.Get(), nullptr, &access, &write));
    const SYSTEMTIME local = LocalTimeOf(write);
    EXPECT_EQ(local.wYear, 2021);
    EXPECT_EQ(local.wMonth, 6);
    EXPECT_EQ(local.wDay, 15);
    EXPECT_EQ(local.wHour, 12);
    EXPECT_EQ(local.wMinute, 30);
    EXPECT_EQ(local.wSecond, 44);
    EXPECT_EQ(::CompareFileTime(&access, &write), 0);
  }
  EXPECT_EQ(ReadText(staging_ / "readme.txt"), "notes");
  EXPECT_TRUE(ReadText(staging_ / "data/sub/big.bin") == big);
  EXPECT_EQ(ReadText(staging_ / "data/win.txt"), "backslash");
  EXPECT_TRUE(fs::is_directory(staging_ / "empty"));
  EXPECT_TRUE(fs::is_directory(staging_ / "windows/style"));
  EXPECT_EQ(fs::file_size(staging_ / "data/zero.bin"), 0u);
}

TEST_F(ZipExtract, ImpossibleDosTimeLeavesTheFileTimeAlone) {
  Entry e = Stored("a.txt", "abc");
  e.dosDate = 0;  // month 0
  e.dosTime = 0;
  Write(Builder().Add(e));
  ASSERT_EQ(Extract(), 0);
  EXPECT_EQ(ReadText(staging_ / "a.txt"), "abc");
}

TEST_F(ZipExtract, TargetWithOrWithoutTrailingSeparator) {
  Write(Builder().Add(Stored("a.txt", "abc")));
  ASSERT_EQ(Extract(staging_.string() + "/"), 0);
  EXPECT_EQ(ReadText(staging_ / "a.txt"), "abc");
  fs::remove(staging_ / "a.txt");
  ASSERT_EQ(Extract(staging_.string() + "\\"), 0);
  EXPECT_EQ(ReadText(staging_ / "a.txt"), "abc");
}

TEST_F(ZipExtract, ArchiveHeldForAMomentIsExtractedAfterRetries) {
  Write(Builder().Add(Stored("a.txt", "abc")));
  // A scanner that opened the fresh download without any sharing.
  win::UniqueFile scanner(::CreateFileW(archive_.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(scanner);
  std::thread release([&scanner] {
    ::Sleep(300);
    scanner.Reset();
  });
  const int result = Extract();
  release.join();
  EXPECT_EQ(result, 0);
  EXPECT_EQ(ReadText(staging_ / "a.txt"), "abc");
}

TEST_F(ZipExtract, EmptyArchiveSucceeds) {
  Write(Builder());
  EXPECT_EQ(Extract(), 0);
  EXPECT_TRUE(Written().empty());
}

TEST_F(ZipExtract, BadArgumentsAreRefused) {
  Write(Builder().Add(Stored("a.txt", "abc")));
  EXPECT_EQ(ExtractArchive(nullptr, staging_.string().c_str()), -1);
  EXPECT_EQ(ExtractArchive(archive_.string().c_str(), nullptr), -1);
  EXPECT_EQ(ExtractArchive(archive_.string().c_str(), ""), -1);
  EXPECT_EQ(ExtractArchive((scratch_.Path() / "missing.zip").string().c_str(), staging_.string().c_str()), -1);
  // 260 bytes with the terminator is the most a target may take; one more is refused.
  EXPECT_EQ(Extract(std::string(260, 'a')), -1);
  testutil::WriteText(archive_, "not an archive");
  EXPECT_EQ(Extract(), -1);
  EXPECT_TRUE(Written().empty());
}

TEST_F(ZipExtract, JoinedPathMustStayUnder260Bytes) {
  const std::string base = staging_.string() + "\\";
  ASSERT_LT(base.size(), 200u);
  const std::string fits(259 - base.size(), 'n');
  Write(Builder().Add(Stored(fits, "fits")));
  ASSERT_EQ(Extract(), 0);
  EXPECT_EQ(ReadText(staging_ / fits), "fits");
  fs::remove(staging_ / fits);
  Write(Builder().Add(Stored(fits + "n", "too long")));
  EXPECT_EQ(Extract(), -1);
  EXPECT_TRUE(Written().empty());
}

TEST_F(ZipExtract, UnsafeNamesWriteNothingAnywhere) {
  const std::vector<std::string> names = {"../x",
                                          "..\\x",
                                          "a/../../x",
                                          "/x",
                                          "\\x",
                                          "C:/x",
                                          "C:x",
                                          "C:\\x",
                                          "a/CON",
                                          "a/con.txt",
                                          "aux",
                                          "LPT1.log",
                                          "a:b",
                                          "x.txt:stream",
                                          "a.",
                                          "a/b.",
                                          "a /b",
                                          "a//b",
                                          "a/./b",
                                          ".",
                                          "a\x01",
                                          "a?b",
                                          "a*b",
                                          "a<b>",
                                          "a|b",
                                          "a\"b",
                                          std::string("x.txt\0/../../y", 14)};
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    // A good entry first: the check must come before anything is written.
    Write(Builder().Add(Stored("good.txt", "good")).Add(Stored(name, "evil")));
    EXPECT_EQ(Extract(), -1);
    EXPECT_EQ(Written(), std::vector<std::string>{});
  }
  EXPECT_FALSE(fs::exists(scratch_.Path().parent_path() / "x"));
}

TEST_F(ZipExtract, UnixSymlinkAnywhereWritesNothing) {
  Entry link = Stored("data/link", "../../../windows");
  link.versionMadeBy = 0x031E;
  link.externalAttributes = 0120777u << 16;
  Write(Builder().Add(Stored("a.txt", "a")).Add(Deflated("data/b.txt", "b")).Add(link));
  EXPECT_EQ(Extract(), -1);
  EXPECT_TRUE(Written().empty());
}

TEST_F(ZipExtract, OtherUnixLinkEntriesAreSkipped) {
  Entry device = Stored("dev/tty", "");
  device.versionMadeBy = 0x031E;
  device.externalAttributes = 0020620u << 16;  // character device
  Write(Builder().Add(device).Add(Stored("a.txt", "a")));
  ASSERT_EQ(Extract(), 0);
  EXPECT_FALSE(fs::exists(staging_ / "dev/tty"));
  EXPECT_EQ(ReadText(staging_ / "a.txt"), "a");
}

TEST_F(ZipExtract, NamesThatMeetOnDiskWriteNothing) {
  const std::vector<std::pair<std::string, std::string>> pairs = {
      {"Data/File.txt", "DATA/file.TXT"},  // letter case
      {"data/a.txt", "data\\a.txt"},       // separators
      {"same.txt", "same.txt"},            // duplicate
      {"a", "A/b.txt"},                    // a file where a folder is needed
      {"a/b.txt", "A"},
      {"dir/", "DIR"},  // a folder entry, then a file of that name
  };
  for (const auto& [first, second] : pairs) {
    SCOPED_TRACE(first + " / " + second);
    Write(Builder().Add(Stored(first, "1")).Add(Stored(second, "2")));
    EXPECT_EQ(Extract(), -1);
    EXPECT_TRUE(Written().empty());
  }
  // Folder entries may repeat and may hold files in any spelling.
  Write(Builder().Add(Folder("dir/")).Add(Folder("DIR/")).Add(Stored("Dir/x.txt", "x")));
  EXPECT_EQ(Extract(), 0);
  EXPECT_EQ(ReadText(staging_ / "dir/x.txt"), "x");
}

TEST_F(ZipExtract, EntriesThatCannotBeExtractedWriteNothing) {
  Entry bzip2 = Stored("b.bin", "BZh91AY&SY");
  bzip2.method = 12;
  Entry encrypted = Stored("e.bin", "secret");
  encrypted.flags = 1;
  Entry renamed = Stored("r.txt", "r");
  renamed.localName = "R.exe";
  for (const Entry& bad : {bzip2, encrypted, renamed}) {
    SCOPED_TRACE(bad.name);
    Write(Builder().Add(Stored("good.txt", "good")).Add(bad));
    EXPECT_EQ(Extract(), -1);
    EXPECT_TRUE(Written().empty());
  }
}

TEST_F(ZipExtract, CorruptDataFailsTheExtraction) {
  Entry bad = Deflated("bad.bin", "payload");
  bad.crc = ziptest::Crc32("payload") + 1;
  Write(Builder().Add(Stored("good.txt", "good")).Add(bad));
  EXPECT_EQ(Extract(), -1);
  // Files written before the failure stay; the caller removes the staging folder.
  EXPECT_EQ(ReadText(staging_ / "good.txt"), "good");
}

TEST_F(ZipExtract, JunctionOnTheOutputPathStopsTheExtraction) {
  fs::create_directories(staging_ / "linked");
  FakeJunctions junctions;
  junctions.Mark(staging_ / "linked");
  Write(Builder().Add(Stored("a.txt", "a")).Add(Stored("linked/b.txt", "b")).Add(Stored("c.txt", "c")));
  EXPECT_EQ(Extract(), -1);
  EXPECT_TRUE(fs::exists(staging_ / "a.txt"));
  EXPECT_FALSE(fs::exists(staging_ / "linked/b.txt"));
  EXPECT_FALSE(fs::exists(staging_ / "c.txt"));
}

TEST_F(ZipExtract, JunctionAboveTheTargetStopsTheExtraction) {
  FakeJunctions junctions;
  junctions.Mark(scratch_.Path());
  Write(Builder().Add(Stored("a.txt", "a")));
  EXPECT_EQ(Extract(), -1);
  EXPECT_FALSE(fs::exists(staging_ / "a.txt"));
}

TEST_F(ZipExtract, MoreThan10000EntriesAreRefused) {
  Builder over;
  for (int i = 0; i < 10001; ++i) over.Add(Folder("d/"));
  Write(over);
  EXPECT_EQ(Extract(), -1);
  EXPECT_TRUE(Written().empty());

  Builder limit;
  for (int i = 0; i < 9999; ++i) limit.Add(Folder("d/"));
  limit.Add(Stored("d/last.txt", "last"));
  Write(limit);
  EXPECT_EQ(Extract(), 0);
  EXPECT_EQ(ReadText(staging_ / "d/last.txt"), "last");
}
