#include "update/disk/Paths.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "SignedFixtures.h"
#include "update/disk/FileCalls.h"
#include "update/disk/FileWork.h"
#include "WinTestUtil.h"

namespace fs = std::filesystem;
using orvex_update::EnsureInsideClient;
using orvex_update::ManifestFile;
using orvex_update::UpdateLock;
using testutil::ReadText;
using testutil::ScratchFolder;
using testutil::ThrownBy;
using testutil::WriteText;

namespace {

constexpr char kLockBusy[] = "Another update is running or the client directory is not writable.";
constexpr char kLeaves[] = "Update path leaves client directory.";
constexpr char kJunction[] = "Update path contains a junction or symbolic link.";
constexpr char kEmptySha[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
constexpr char kAbcSha[] = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
constexpr wchar_t kProbeVariable[] = L"ORVEX_TEST_LOCK_PROBE_FOLDER";

// A client folder in a fresh scratch folder.
class ClientFolder : public ::testing::Test {
 protected:
  ScratchFolder scratch_{"paths"};
  fs::path client_ = scratch_.Path() / "Client";
  void SetUp() override { fs::create_directories(client_); }
};

// Replaces the reparse-point query for one test and records every path asked.
class FakeReparsePoints {
 public:
  ~FakeReparsePoints() {
    marked_.clear();
    asked_.clear();
  }
  void Mark(const fs::path& path) { marked_.push_back(fs::absolute(path).lexically_normal().wstring()); }
  static const std::vector<std::wstring>& Asked() { return asked_; }

 private:
  static bool Query(const fs::path& path) {
    asked_.push_back(path.wstring());
    for (const std::wstring& marked : marked_) {
      if (_wcsicmp(marked.c_str(), path.wstring().c_str()) == 0) return true;
    }
    return false;
  }
  const orvex_update::ScopedReparsePointQueryForTesting query_{&Query};
  static inline std::vector<std::wstring> marked_;
  static inline std::vector<std::wstring> asked_;
};

// Starts this test binary again to run only UpdateLockProbe in a second
// process; returns its exit code.
DWORD RunLockProbe(const fs::path& client) {
  const fs::path exe = testutil::ExecutableFolder() / "orvex_win_tests.exe";
  std::wstring commandLine =
      L"\"" + exe.wstring() + L"\" --gtest_filter=UpdateLockProbe.* --gtest_also_run_disabled_tests";
  ::SetEnvironmentVariableW(kProbeVariable, client.c_str());
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  const BOOL started =
      ::CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info);
  ::SetEnvironmentVariableW(kProbeVariable, nullptr);
  if (!started) return 1000;
  const win::UniqueHandle process(info.hProcess);
  const win::UniqueHandle thread(info.hThread);
  if (::WaitForSingleObject(process.Get(), 120000) != WAIT_OBJECT_0) return 1001;
  DWORD code = 1002;
  ::GetExitCodeProcess(process.Get(), &code);
  return code;
}

}  // namespace

// The second process of UpdateLock.SecondProcessFailsAtOnce; does nothing
// unless started by it. Exit codes: 0 lock taken, 10 refused with the lock
// message within two seconds, 11 refused but slowly, 20 any other failure.
TEST(UpdateLockProbe, DISABLED_TakeLock) {
  std::wstring folder(32768, L'\0');
  const DWORD length = ::GetEnvironmentVariableW(kProbeVariable, folder.data(), static_cast<DWORD>(folder.size()));
  if (length == 0) GTEST_SKIP() << "started by UpdateLock.SecondProcessFailsAtOnce only";
  folder.resize(length);
  const ULONGLONG start = ::GetTickCount64();
  UINT code = 20;
  try {
    UpdateLock lock{fs::path(folder)};
    code = 0;
  } catch (const std::exception& error) {
    if (std::string(error.what()) == kLockBusy) code = ::GetTickCount64() - start < 2000 ? 10 : 11;
  }
  ::ExitProcess(code);
}

TEST_F(ClientFolder, LockNeedsAnExistingClientDirectory) {
  EXPECT_EQ(ThrownBy([&] { UpdateLock lock(client_ / "missing"); }), "Client directory is missing.");
  WriteText(scratch_.Path() / "file", "x");
  EXPECT_EQ(ThrownBy([&] { UpdateLock lock(scratch_.Path() / "file"); }), "Client directory is missing.");
}

TEST_F(ClientFolder, LockIsExclusiveWithinTheProcess) {
  std::optional<UpdateLock> first(std::in_place, client_);
  EXPECT_TRUE(fs::is_directory(client_ / ".orvex-update"));
  EXPECT_TRUE(fs::is_regular_file(client_ / ".orvex-update" / "update.lock"));
  // Not re-entrant: the same process is refused like anyone else.
  EXPECT_EQ(ThrownBy([&] { UpdateLock second(client_); }), kLockBusy);
  first.reset();
  EXPECT_TRUE(fs::is_regular_file(client_ / ".orvex-update" / "update.lock"));
  EXPECT_EQ(fs::file_size(client_ / ".orvex-update" / "update.lock"), 0u);
  EXPECT_NO_THROW(UpdateLock again(client_));
}

TEST_F(ClientFolder, SecondProcessFailsAtOnce) {
  {
    UpdateLock held(client_);
    EXPECT_EQ(RunLockProbe(client_), 10u);
  }
  EXPECT_EQ(RunLockProbe(client_), 0u);
  EXPECT_TRUE(fs::is_regular_file(client_ / ".orvex-update" / "update.lock"));
}

TEST_F(ClientFolder, LockRefusesAnUpdateAreaBehindAJunction) {
  FakeReparsePoints links;
  links.Mark(client_ / ".orvex-update");
  fs::create_directories(client_ / ".orvex-update");
  EXPECT_EQ(ThrownBy([&] { UpdateLock lock(client_); }), kJunction);
  EXPECT_FALSE(fs::exists(client_ / ".orvex-update" / "update.lock"));
}

TEST(Containment, TextualRules) {
  const fs::path client = L"C:\\Games\\Client";
  EXPECT_NO_THROW(EnsureInsideClient(client, L"c:\\games\\client\\data\\x"));
  EXPECT_NO_THROW(EnsureInsideClient(client, L"C:/Games/Client/data/x"));
  EXPECT_NO_THROW(EnsureInsideClient(client, client));
  EXPECT_NO_THROW(EnsureInsideClient(client, L"C:\\Games\\Client\\a\\..\\b"));
  // A client folder written with a trailing separator is the same folder.
  EXPECT_NO_THROW(EnsureInsideClient(L"C:\\Games\\Client\\", L"C:\\Games\\Client\\data"));
  EXPECT_NO_THROW(EnsureInsideClient(L"C:\\Games\\.\\Client", L"C:\\Games\\Client\\data"));
  for (const wchar_t* target : {L"C:\\Games\\ClientX\\a", L"C:\\Games\\Client\\..\\x", L"C:\\Games",
                                L"C:\\Games\\Clien", L"D:\\Games\\Client\\x", L"C:\\", L"\\\\srv\\s\\Games\\Client"}) {
    EXPECT_EQ(ThrownBy([&] { EnsureInsideClient(client, target); }), kLeaves) << fs::path(target).string();
  }
}

TEST(Containment, HostileNamesJoinedToTheClient) {
  const fs::path client = L"C:\\Games\\Client";
  for (const wchar_t* name : {L"..\\x", L"a\\..\\..\\x", L"..\\ClientX\\a", L"\\\\srv\\s\\x", L"\\\\?\\C:\\x", L"\\x",
                              L"D:x", L"data\\..\\..\\Client2"}) {
    EXPECT_EQ(ThrownBy([&] { EnsureInsideClient(client, client / name); }), kLeaves) << fs::path(name).string();
  }
  for (const wchar_t* name : {L"data\\x", L"a\\..\\b", L"data\\x.", L"DATA\\X"}) {
    EXPECT_NO_THROW(EnsureInsideClient(client, client / name)) << fs::path(name).string();
  }
}

TEST_F(ClientFolder, ContainmentAsksEveryPrefixBelowTheDriveRoot) {
  FakeReparsePoints links;
  const fs::path target = client_ / "data" / "x.tbl";
  EnsureInsideClient(client_, target);
  const std::vector<std::wstring>& asked = FakeReparsePoints::Asked();
  const fs::path normal = fs::absolute(target).lexically_normal();
  ASSERT_FALSE(asked.empty());
  const fs::path firstFolder = normal.root_path() / *std::next(normal.begin(), 2);
  EXPECT_EQ(_wcsicmp(asked.front().c_str(), firstFolder.c_str()), 0);
  EXPECT_EQ(_wcsicmp(asked.back().c_str(), normal.c_str()), 0);
  // Every folder below the drive root down to the client (its ancestors too), data, the file.
  std::size_t expected = 0;
  for (const fs::path& part : normal) expected += part.empty() ? 0 : 1;
  EXPECT_EQ(asked.size(), expected - 2);
}

// Regression: Wine reports its drive roots (symlinks in dosdevices) as
// reparse points, and every update path was refused.
TEST_F(ClientFolder, DriveRootMarkedAsReparsePointIsNotAJunction) {
  FakeReparsePoints links;
  const fs::path normal = fs::absolute(client_).lexically_normal();
  links.Mark(normal.root_path());
  links.Mark(normal.root_name());
  EXPECT_NO_THROW(EnsureInsideClient(client_, client_ / "data" / "x.tbl"));
}

TEST_F(ClientFolder, ContainmentRefusesReparsePoints) {
  FakeReparsePoints links;
  links.Mark(client_ / "data");
  EXPECT_EQ(ThrownBy([&] { EnsureInsideClient(client_, client_ / "data" / "x"); }), kJunction);
  EXPECT_EQ(ThrownBy([&] { EnsureInsideClient(client_, client_ / "data"); }), kJunction);
  EXPECT_NO_THROW(EnsureInsideClient(client_, client_ / "database" / "x"));
  EXPECT_NO_THROW(EnsureInsideClient(client_, client_ / "other" / "x"));
}

TEST_F(ClientFolder, ContainmentRefusesAClientReachedThroughAJunction) {
  FakeReparsePoints links;
  links.Mark(scratch_.Path());
  EXPECT_EQ(ThrownBy([&] { EnsureInsideClient(client_, client_ / "data" / "x"); }), kJunction);
}

TEST_F(ClientFolder, DefaultQueryPassesPlainFolders) {
  fs::create_directories(client_ / "data" / "deep");
  WriteText(client_ / "data" / "deep" / "x", "x");
  EXPECT_NO_THROW(EnsureInsideClient(client_, client_ / "data" / "deep" / "x"));
  EXPECT_NO_THROW(EnsureInsideClient(client_, client_ / "not" / "yet" / "there"));
}

TEST(ClientPathFor, JoinsTheManagedPath) {
  const fs::path client = L"C:\\Games\\Client";
  EXPECT_EQ(orvex_update::ClientPathFor(client, ManifestFile{"Data/Item.tbl", kAbcSha, 3}),
            client / L"Data" / L"Item.tbl");
  const fs::path decoded = client / L"ChrSelect/upc_ka_wt_ma_Y\u00F6netim.v7anim";
  for (const char* path :
       {"chrselect/upc_ka_wt_ma_y%c3%b6netim.v7anim", "ChrSelect/upc_ka_wt_ma_Y%C3%B6netim.v7anim"}) {
    const fs::path result = orvex_update::ClientPathFor(client, ManifestFile{path, kAbcSha, 3});
    EXPECT_EQ(result, decoded) << path;
    EXPECT_EQ(result.filename().wstring().size(), 27u);
  }
  EXPECT_EQ(orvex_update::ClientPathFor(client, ManifestFile{"ChrSelect/upc_ka_wt_ma_y%c3%b6netim.v7ani", kAbcSha, 3}),
            client / L"ChrSelect/upc_ka_wt_ma_y%c3%b6netim.v7ani");
}

TEST_F(ClientFolder, DecodedClientFileIsTheRealFile) {
  fs::create_directories(client_ / "ChrSelect");
  WriteText(client_ / L"ChrSelect" / L"upc_ka_wt_ma_Y\u00F6netim.v7anim", "abc");
  const ManifestFile entry{"ChrSelect/upc_ka_wt_ma_Y%C3%B6netim.v7anim", kAbcSha, 3};
  EXPECT_TRUE(orvex_update::FileMatches(orvex_update::ClientPathFor(client_, entry), entry));
}

// The rules refuse names the file system would resolve to a protected file
// through its 8.3 alias; ask the file system which aliases it really hands out.
TEST_F(ClientFolder, ShortAliasesOfProtectedNamesAreNotManagedPaths) {
  const auto aliasOf = [](const fs::path& full) {
    std::wstring shortPath(32768, L'\0');
    shortPath.resize(::GetShortPathNameW(full.c_str(), shortPath.data(), static_cast<DWORD>(shortPath.size())));
    return fs::path(shortPath).filename().string();
  };
  fs::create_directories(client_ / ".orvex-update");
  WriteText(client_ / ".orvex-update" / "update.lock", "");
  for (const wchar_t* name : {L"scheduler.ini", L"orvex_diagnostic.ini", L"server.ini", L"option.ini"}) {
    WriteText(client_ / name, "[x]\n");
    const std::string alias = aliasOf(client_ / name);
    ASSERT_FALSE(alias.empty());
    EXPECT_FALSE(orvex_update::IsManagedPath(alias)) << alias;
  }
  const std::string area = aliasOf(client_ / ".orvex-update");
  ASSERT_FALSE(area.empty());
  EXPECT_NE(area, ".orvex-update");
  EXPECT_TRUE(fs::exists(client_ / area / "update.lock")) << area;  // the alias really reaches the area
  EXPECT_FALSE(orvex_update::IsManagedPath(area + "/update.lock")) << area;
  // Below the root an alias is an ordinary name.
  fs::create_directories(client_ / "Data");
  WriteText(client_ / "Data" / "readme-long-name.txt", "x");
  EXPECT_TRUE(orvex_update::IsManagedPath("Data/" + aliasOf(client_ / "Data" / "readme-long-name.txt")));
}

TEST_F(ClientFolder, RemovalAcceptsOnlyTheUpdateAreaDirectories) {
  const fs::path area = client_ / ".orvex-update";
  fs::create_directories(area / "Current");
  fs::create_directories(client_ / "data" / "current");
  WriteText(client_ / "data" / "current" / "keep", "x");
  fs::create_directories(area / "backup");
  for (const fs::path& target : {area / "Current", area / "backup", area, client_, client_ / "data" / "current",
                                 client_ / "current", area / "current" / "", area / "current" / "current"}) {
    EXPECT_EQ(ThrownBy([&] { orvex_update::RemoveUpdateDirectory(client_, target); }), "Unexpected cleanup target.")
        << target.string();
  }
  EXPECT_TRUE(fs::exists(client_ / "data" / "current" / "keep"));
  EXPECT_TRUE(fs::exists(area / "Current"));
  EXPECT_EQ(ThrownBy([&] { orvex_update::RemoveUpdateDirectory(client_, scratch_.Path() / "current"); }), kLeaves);
}

TEST_F(ClientFolder, RemovalOfTheTransactionTree) {
  const fs::path current = orvex_update::TransactionDirectoryPath(client_);
  EXPECT_NO_THROW(orvex_update::RemoveUpdateDirectory(client_, current));  // missing: nothing to do
  fs::create_directories(current / "files" / "Data" / "deep");
  fs::create_directories(current / "backup");
  WriteText(current / "files" / "Data" / "deep" / "a.tbl", "a");
  WriteText(current / "journal", "j");
  orvex_update::RemoveUpdateDirectory(client_, current);
  EXPECT_FALSE(fs::exists(current));
  EXPECT_TRUE(fs::is_directory(client_ / ".orvex-update"));

  const fs::path download = orvex_update::DownloadDirectoryPath(client_);
  fs::create_directories(download);
  WriteText(download / "patch.zip", "z");
  orvex_update::RemoveUpdateDirectory(client_, download);
  EXPECT_FALSE(fs::exists(download));
}

TEST_F(ClientFolder, JunctionInsideStopsRemovalBeforeAnyDeletion) {
  const fs::path current = orvex_update::TransactionDirectoryPath(client_);
  fs::create_directories(current / "files" / "a");
  fs::create_directories(current / "files" / "z");
  WriteText(current / "journal", "j");
  WriteText(current / "files" / "a" / "1", "1");
  WriteText(current / "files" / "z" / "2", "2");
  FakeReparsePoints links;
  links.Mark(current / "files" / "z");
  EXPECT_EQ(ThrownBy([&] { orvex_update::RemoveUpdateDirectory(client_, current); }), kJunction);
  EXPECT_TRUE(fs::exists(current / "journal"));
  EXPECT_TRUE(fs::exists(current / "files" / "a" / "1"));
  EXPECT_TRUE(fs::exists(current / "files" / "z" / "2"));
}

TEST_F(ClientFolder, ReplaceMovesOverTheClientFile) {
  const fs::path staged = client_ / ".orvex-update" / "current" / "files" / "Data" / "a.tbl";
  fs::create_directories(staged.parent_path());
  WriteText(staged, "new");
  const fs::path destination = client_ / "Data" / "Sub" / "a.tbl";
  orvex_update::ReplaceClientFile(client_, staged, destination);  // creates Data/Sub
  EXPECT_EQ(ReadText(destination), "new");
  EXPECT_FALSE(fs::exists(staged));

  WriteText(staged, "newer");
  orvex_update::ReplaceClientFile(client_, staged, destination);
  EXPECT_EQ(ReadText(destination), "newer");

  EXPECT_EQ(ThrownBy([&] { orvex_update::ReplaceClientFile(client_, staged, destination); }),
            "Cannot replace client file; close the game and retry.");
  EXPECT_EQ(ReadText(destination), "newer");
}

TEST_F(ClientFolder, ReplaceFailsWhileTheGameHoldsTheFile) {
  const fs::path staged = client_ / "staged";
  const fs::path destination = client_ / "Vantrell.exe";
  WriteText(staged, "new");
  WriteText(destination, "old");
  {
    const win::UniqueFile held(::CreateFileW(destination.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                             FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(held);
    EXPECT_EQ(ThrownBy([&] { orvex_update::ReplaceClientFile(client_, staged, destination); }),
              "Cannot replace client file; close the game and retry.");
  }
  EXPECT_EQ(ReadText(destination), "old");
  EXPECT_EQ(ReadText(staged), "new");
}

TEST_F(ClientFolder, HeldReplaceHandsBackTheMovedFile) {
  // The install flushes the moved file through the returned handle, so it
  // must be the file now at the destination, and open for writing.
  const fs::path staged = client_ / ".orvex-update" / "current" / "files" / "Data" / "a.tbl";
  fs::create_directories(staged.parent_path());
  WriteText(staged, "new");
  const fs::path destination = client_ / "Data" / "Sub" / "a.tbl";
  fs::create_directories(destination.parent_path());
  WriteText(destination, "old");
  // Same size and write time as the staged file: only the index tells the
  // two apart.
  fs::last_write_time(destination, fs::last_write_time(staged));
  orvex_update::FileIdentity replaced;
  ASSERT_TRUE(orvex_update::QueryFileIdentity(destination, replaced));
  orvex_update::ContainmentGuard guard(client_);
  {
    const win::UniqueFile moved = orvex_update::ReplaceClientFileHeld(guard, staged, destination);
    ASSERT_TRUE(moved);
    EXPECT_TRUE(::FlushFileBuffers(moved.Get()));
    orvex_update::FileIdentity held;
    orvex_update::FileIdentity there;
    ASSERT_TRUE(orvex_update::QueryFileIdentity(moved.Get(), held));
    ASSERT_TRUE(orvex_update::QueryFileIdentity(destination, there));
    EXPECT_EQ(held, there);
    EXPECT_NE(held, replaced);
    EXPECT_EQ(held.size, replaced.size);
    // What the check after the swap asks of a held file: the name, not the
    // bytes, tells a twin apart.
    EXPECT_TRUE(orvex_update::NamesHeldFile(destination, moved.Get()));
    const fs::path twin = client_ / "Data" / "twin.tbl";
    WriteText(twin, "new");
    EXPECT_FALSE(orvex_update::NamesHeldFile(twin, moved.Get()));
    EXPECT_FALSE(orvex_update::NamesHeldFile(staged, moved.Get()));
  }
  EXPECT_EQ(ReadText(destination), "new");
  EXPECT_FALSE(fs::exists(staged));
}

TEST_F(ClientFolder, ReplaceChecksBothEndsFirst) {
  WriteText(client_ / "staged", "new");
  WriteText(scratch_.Path() / "outside", "old");
  EXPECT_EQ(
      ThrownBy([&] { orvex_update::ReplaceClientFile(client_, client_ / "staged", scratch_.Path() / "outside"); }),
      kLeaves);
  EXPECT_EQ(ThrownBy([&] { orvex_update::ReplaceClientFile(client_, scratch_.Path() / "outside", client_ / "x"); }),
            kLeaves);
  EXPECT_EQ(ReadText(scratch_.Path() / "outside"), "old");
  EXPECT_EQ(ReadText(client_ / "staged"), "new");

  WriteText(client_ / "Data", "a file where a folder should be");
  const std::string error =
      ThrownBy([&] { orvex_update::ReplaceClientFile(client_, client_ / "staged", client_ / "Data" / "a"); });
  EXPECT_EQ(error.rfind("create_directories: ", 0), 0u) << error;
}

TEST_F(ClientFolder, FileMatchesNeedsSizeAndExactDigest) {
  WriteText(client_ / "abc", "abc");
  WriteText(client_ / "empty", "");
  EXPECT_TRUE(orvex_update::FileMatches(client_ / "abc", 3, kAbcSha));
  EXPECT_TRUE(orvex_update::FileMatches(client_ / "empty", ManifestFile{"empty", kEmptySha, 0}));
  EXPECT_FALSE(orvex_update::FileMatches(client_ / "abc", 4, kAbcSha));
  EXPECT_FALSE(orvex_update::FileMatches(client_ / "abc", 3, kEmptySha));
  std::string upper = kAbcSha;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_FALSE(orvex_update::FileMatches(client_ / "abc", 3, upper));
  EXPECT_FALSE(orvex_update::FileMatches(client_ / "missing", 0, kEmptySha));
  EXPECT_FALSE(orvex_update::FileMatches(client_ / "missing" / "deeper", 0, kEmptySha));
  EXPECT_FALSE(orvex_update::FileMatches(client_, 0, kEmptySha));  // a folder
}

constexpr orvex_update::FlushSite kSite = orvex_update::FlushSite::kJournal;

TEST_F(ClientFolder, DurableWrite) {
  const fs::path journal = client_ / "journal.tmp";
  const std::string bytes("line\t1\n\0tail", 12);
  orvex_update::WriteDurableFile(journal, bytes, kSite);
  EXPECT_EQ(ReadText(journal), bytes);
  orvex_update::WriteDurableFile(journal, std::string_view("1\n"), kSite);  // truncates
  EXPECT_EQ(ReadText(journal), "1\n");
  orvex_update::WriteDurableFile(journal, std::vector<std::uint8_t>{}, kSite);
  EXPECT_EQ(fs::file_size(journal), 0u);

  EXPECT_EQ(ThrownBy([&] { orvex_update::WriteDurableFile(client_ / "missing" / "journal", "x", kSite); }),
            "Cannot create update journal.");
  const win::UniqueFile held(
      ::CreateFileW(journal.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(held);
  EXPECT_EQ(ThrownBy([&] { orvex_update::WriteDurableFile(journal, "x", kSite); }), "Cannot create update journal.");
}

TEST_F(ClientFolder, StagedFlush) {
  WriteText(client_ / "staged", "abc");
  EXPECT_NO_THROW(orvex_update::FlushStagedFile(client_ / "staged", kSite));
  EXPECT_EQ(ReadText(client_ / "staged"), "abc");
  EXPECT_EQ(ThrownBy([&] { orvex_update::FlushStagedFile(client_ / "missing", kSite); }), "Cannot flush staged update file.");
  EXPECT_FALSE(fs::exists(client_ / "missing"));
}

TEST_F(ClientFolder, BoundedRead) {
  const fs::path file = client_ / "signature";
  testutil::WriteBytes(file, std::vector<std::uint8_t>(1024, 0xAB));
  EXPECT_EQ(orvex_update::ReadBoundedFile(file, 1024), std::vector<std::uint8_t>(1024, 0xAB));
  EXPECT_EQ(ThrownBy([&] { orvex_update::ReadBoundedFile(file, 1023); }), "Update metadata is too large.");
  WriteText(client_ / "empty", "");
  EXPECT_TRUE(orvex_update::ReadBoundedFile(client_ / "empty", 0).empty());

  const std::string missing = ThrownBy([&] { orvex_update::ReadBoundedFile(client_ / "missing", 1024); });
  EXPECT_EQ(missing.rfind("file_size: ", 0), 0u) << missing;
  const std::string folder = ThrownBy([&] { orvex_update::ReadBoundedFile(client_, 1024); });
  EXPECT_EQ(folder.rfind("file_size: ", 0), 0u) << folder;

  // Sizes past 4 GiB are refused whatever the limit (sparse file, nothing written).
  const fs::path huge = client_ / "huge";
  {
    const win::UniqueFile out(
        ::CreateFileW(huge.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(out);
    LARGE_INTEGER size{};
    size.QuadPart = 0x100000000LL;
    ASSERT_TRUE(::SetFilePointerEx(out.Get(), size, nullptr, FILE_BEGIN));
    ASSERT_TRUE(::SetEndOfFile(out.Get()));
  }
  EXPECT_EQ(ThrownBy([&] { orvex_update::ReadBoundedFile(huge, UINT64_MAX); }), "Update metadata is too large.");
}

TEST_F(ClientFolder, FileSystemErrorsNameTheirOperation) {
  const auto startsWith = [](const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; };
  EXPECT_PRED2(startsWith, ThrownBy([&] { orvex_update::FsFileSize(client_ / "missing"); }), "file_size: ");
  EXPECT_PRED2(startsWith, ThrownBy([&] {
                 orvex_update::FsCopyFile(client_ / "missing", client_ / "copy", fs::copy_options::overwrite_existing);
               }),
               "copy_file: ");
  fs::create_directories(client_ / "full");
  WriteText(client_ / "full" / "x", "x");
  EXPECT_PRED2(startsWith, ThrownBy([&] { orvex_update::FsRemove(client_ / "full"); }), "remove: ");
  WriteText(client_ / "plain", "x");
  EXPECT_PRED2(startsWith, ThrownBy([&] { orvex_update::FsCreateDirectories(client_ / "plain" / "sub"); }),
               "create_directories: ");
  EXPECT_FALSE(orvex_update::FsExists(client_ / "missing"));
  EXPECT_EQ(orvex_update::FsStatus(client_ / "missing").type(), fs::file_type::not_found);
}

// A failed call through the file-system module looks like the platform's own
// failure: the failure value and the last error, or, for the standard
// operations built on the calls, their error named after the operation with
// the fault's code.
TEST_F(ClientFolder, FaultedCallsFailAsThePlatformWould) {
  namespace calls = orvex_update::calls;
  WriteText(client_ / "file", "x");
  fs::create_directories(client_ / "tree" / "sub");
  WriteText(client_ / "tree" / "sub" / "leaf", "x");
  struct Row {
    const char* operation;
    std::function<void()> call;
  };
  const Row rows[] = {
      {"exists: ", [&] { static_cast<void>(orvex_update::FsExists(client_ / "file")); }},
      {"status: ", [&] { orvex_update::FsStatus(client_ / "file"); }},
      {"file_size: ", [&] { orvex_update::FsFileSize(client_ / "file"); }},
      {"space: ", [&] { orvex_update::FsSpace(client_); }},
      {"create_directories: ", [&] { orvex_update::FsCreateDirectories(client_ / "new" / "deeper"); }},
      {"remove: ", [&] { orvex_update::FsRemove(client_ / "file"); }},
      {"remove_all: ", [&] { orvex_update::FsRemoveAll(client_ / "tree"); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.operation);
    const calls::ScopedFileCallFaultForTesting fault({1, ERROR_IO_DEVICE, false});
    try {
      row.call();
      ADD_FAILURE() << "no error";
    } catch (const orvex_update::FileSystemError& error) {
      EXPECT_EQ(std::string(error.what()).rfind(row.operation, 0), 0u) << error.what();
      EXPECT_EQ(error.code().value(), ERROR_IO_DEVICE);
      // Never a player's text: the edge that reports it gives its own.
      EXPECT_FALSE(error.ForPlayer());
      EXPECT_EQ(error.GetKind(), fail::Kind::kDisk);
      EXPECT_EQ(error.SystemCode(), static_cast<unsigned long>(ERROR_IO_DEVICE));
    }
    EXPECT_TRUE(fault.Struck());
  }
  EXPECT_TRUE(fs::exists(client_ / "tree" / "sub" / "leaf"));

  // The number counts from the fault; a lasting one keeps failing its path
  // (in any letter case or slash) but no other, until the scope ends.
  const std::uint64_t before = calls::CallCount();
  {
    const calls::ScopedFileCallFaultForTesting fault({2, ERROR_SHARING_VIOLATION, true});
    EXPECT_NE(calls::GetFileAttributesW(client_.c_str()), INVALID_FILE_ATTRIBUTES);
    ::SetLastError(0);
    EXPECT_EQ(calls::GetFileAttributesW((client_ / "file").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    const std::wstring sameFile = (client_ / "FILE").generic_wstring();
    EXPECT_EQ(calls::CreateFileW(sameFile.c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0),
              INVALID_HANDLE_VALUE);
    EXPECT_NE(calls::GetFileAttributesW(client_.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(calls::CallCount() - before, 4u);
    // Retried while locked, with the waits shortened: it fails, and soon.
    const orvex_update::ScopedLockRetryWaitForTesting shortWaits(1);
    const DWORD started = ::GetTickCount();
    EXPECT_EQ(orvex_update::MoveFileRetrying(client_ / "file", client_ / "moved", 0),
              static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_LT(::GetTickCount() - started, 1000u);
  }
  EXPECT_NE(calls::GetFileAttributesW((client_ / "file").c_str()), INVALID_FILE_ATTRIBUTES);
}

// Narrow names are in the code page of the narrow file calls: the standard
// library's own forms (UTF-8 out, Latin-1 in) named another folder or none.
TEST(NarrowNames, RoundTripInTheFileCodePage) {
  // "Ç" and "ö" are 0xC7 and 0xF6 in both 1252 and 1254; UTF-8 would be two bytes each.
  const fs::path folder(L"C:\\Oyunlar\\ORVEX \u00C7\u00F6l");
  const std::string narrow = orvex_update::NarrowFromPath(folder);
  EXPECT_EQ(narrow, "C:\\Oyunlar\\ORVEX \xC7\xF6l");
  EXPECT_EQ(orvex_update::PathFromNarrow(narrow).native(), folder.native());
}

TEST(NarrowNames, NarrowFileCallsFindTheConvertedName) {
  ScratchFolder scratch("narrow-names");
  const fs::path folder = scratch.Path() / L"ORVEX \u00C7\u00F6l";
  fs::create_directories(folder);
  const std::string narrow = orvex_update::NarrowFromPath(folder);
  ASSERT_FALSE(narrow.empty());
  const DWORD attributes = ::GetFileAttributesA(narrow.c_str());
  ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
  EXPECT_NE(attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
  char current[MAX_PATH] = {};
  ASSERT_TRUE(::SetCurrentDirectoryW(folder.c_str()));
  const DWORD length = ::GetCurrentDirectoryA(MAX_PATH, current);
  ::SetCurrentDirectoryW(scratch.Path().parent_path().c_str());
  EXPECT_TRUE(fs::equivalent(orvex_update::PathFromNarrow(std::string(current, length)), folder));
}

TEST(NarrowNames, NameOutsideTheCodePageIsEmptyRatherThanBestFit) {
  // No single-byte code page holds U+4E2D; a best fit would make it "?".
  EXPECT_EQ(orvex_update::NarrowFromPath(fs::path(L"C:\\\u4E2D")), "");
  // Code page 1252 has no "ş"; its best fit "s" would name another folder.
  if (::GetACP() == 1252) {
    EXPECT_EQ(orvex_update::NarrowFromPath(fs::path(L"C:\\\u00C7al\u0131\u015Fma")), "");
  }
  EXPECT_EQ(orvex_update::NarrowFromPath(fs::path()), "");
  EXPECT_TRUE(orvex_update::PathFromNarrow("").empty());
}
