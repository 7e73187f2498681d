#include "update/manifests/ClientManifestFormat.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

using orvex_update::ClientManifestSignatureCheck;
using orvex_update::FindLauncherEntry;
using orvex_update::IntegrityManifest;
using orvex_update::IsIntegrityTableName;
using orvex_update::ParseIntegrityManifestBody;
using orvex_update::ParseIntegrityManifestFile;
using orvex_update::ParseStartupManifestBody;
using orvex_update::ParseStartupManifestFile;
using orvex_update::StartupEntry;
using orvex_update::StartupManifest;

namespace {

using Bytes = std::vector<std::uint8_t>;

// Little-endian manifest bytes, written field by field so that a test can
// also write what the format forbids.
class Builder {
 public:
  Builder& Text(const std::string& text) {
    bytes_.insert(bytes_.end(), text.begin(), text.end());
    return *this;
  }
  Builder& Le(std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i) bytes_.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    return *this;
  }
  Builder& Entry(const std::string& name, std::uint64_t size, std::uint8_t digestByte = 0xAB) {
    Le(name.size(), 2).Text(name).Le(size, 8);
    for (int i = 0; i < 32; ++i) bytes_.push_back(static_cast<std::uint8_t>(digestByte + i));
    return *this;
  }
  Builder& Signature() {
    bytes_.insert(bytes_.end(), 64, 0x5A);
    return *this;
  }
  const Bytes& Get() const { return bytes_; }

 private:
  Bytes bytes_;
};

const std::vector<std::string> kSeven = {"Launcher.exe",   "D3DX9_43.dll", "ORVEX/Launcher/a.dat", "Vantrell.exe",
                                         "ORVEXGuard.exe", "Option.exe",   "data/item.tbl"};

Builder StartupBody(const std::vector<std::string>& names, std::uint64_t size = 10) {
  Builder builder;
  builder.Text("ORBOOT03").Le(names.size(), 4);
  for (const std::string& name : names) builder.Entry(name, size);
  return builder;
}

Builder IntegrityBody(std::uint32_t stamp, const std::vector<std::string>& names, std::uint64_t size = 10) {
  Builder builder;
  builder.Text("ORVEXTB1").Le(stamp, 4).Le(names.size(), 4);
  for (const std::string& name : names) builder.Entry(name, size);
  return builder;
}

bool StartupOk(const Bytes& body) {
  StartupManifest entries;
  return ParseStartupManifestBody(body, entries);
}

bool IntegrityOk(const Bytes& body) {
  IntegrityManifest manifest;
  return ParseIntegrityManifestBody(body, manifest);
}

// A verifier that records what it saw and answers as told.
struct FakeVerifier {
  bool answer = true;
  int calls = 0;
  Bytes body;
  Bytes signature;

  ClientManifestSignatureCheck Check() {
    return [this](std::span<const std::uint8_t> b, std::span<const std::uint8_t> s) {
      ++calls;
      body.assign(b.begin(), b.end());
      signature.assign(s.begin(), s.end());
      return answer;
    };
  }
};

Bytes WithSignature(Builder builder) { return builder.Signature().Get(); }

}  // namespace

// --- Startup manifest body ---

TEST(StartupManifestBody, SevenEntriesReadInFileOrderWithTheirFields) {
  Builder builder;
  builder.Text("ORBOOT03").Le(7, 4);
  for (std::size_t i = 0; i < kSeven.size(); ++i) builder.Entry(kSeven[i], 1000 + i, static_cast<std::uint8_t>(i));
  StartupManifest entries;
  ASSERT_TRUE(ParseStartupManifestBody(builder.Get(), entries));
  ASSERT_EQ(entries.size(), 7u);
  for (std::size_t i = 0; i < kSeven.size(); ++i) {
    EXPECT_EQ(entries[i].name, kSeven[i]);
    EXPECT_EQ(entries[i].size, 1000 + i);
    EXPECT_EQ(entries[i].digest[0], i);
    EXPECT_EQ(entries[i].digest[31], i + 31);
  }
}

TEST(StartupManifestBody, EntryCountBounds) {
  EXPECT_FALSE(StartupOk(StartupBody({}).Get()));
  EXPECT_FALSE(StartupOk(StartupBody({kSeven.begin(), kSeven.begin() + 6}).Get()));
  EXPECT_TRUE(StartupOk(StartupBody(kSeven).Get()));
  std::vector<std::string> names(30000, "x");
  EXPECT_TRUE(StartupOk(StartupBody(names).Get()));
  names.push_back("x");
  EXPECT_FALSE(StartupOk(StartupBody(names).Get()));
}

TEST(StartupManifestBody, CountMustMatchTheEntriesExactly) {
  // More entries than counted: the extra one is trailing data.
  Builder more;
  more.Text("ORBOOT03").Le(7, 4);
  for (int i = 0; i < 8; ++i) more.Entry("f" + std::to_string(i), 1);
  EXPECT_FALSE(StartupOk(more.Get()));
  // Fewer than counted.
  Builder fewer;
  fewer.Text("ORBOOT03").Le(8, 4);
  for (const auto& name : kSeven) fewer.Entry(name, 1);
  EXPECT_FALSE(StartupOk(fewer.Get()));
  // One byte after the last entry.
  Bytes trailing = StartupBody(kSeven).Get();
  trailing.push_back(0);
  EXPECT_FALSE(StartupOk(trailing));
}

TEST(StartupManifestBody, EveryTruncationIsRefused) {
  const Bytes body = StartupBody(kSeven).Get();
  for (std::size_t length = 0; length < body.size(); ++length) {
    EXPECT_FALSE(StartupOk(Bytes(body.begin(), body.begin() + length))) << length;
  }
}

TEST(StartupManifestBody, HugeCountOnASmallBodyFailsWithoutAllocating) {
  Builder builder;
  builder.Text("ORBOOT03").Le(0xFFFFFFFFu, 4).Entry("a", 1);
  EXPECT_FALSE(StartupOk(builder.Get()));
  Builder atLimit;
  atLimit.Text("ORBOOT03").Le(30000, 4).Entry("a", 1);
  EXPECT_FALSE(StartupOk(atLimit.Get()));
}

TEST(StartupManifestBody, NameLengthBounds) {
  auto withFirst = [](const std::string& name) {
    std::vector<std::string> names = kSeven;
    names[0] = name;
    return StartupBody(names).Get();
  };
  EXPECT_FALSE(StartupOk(withFirst("")));
  EXPECT_TRUE(StartupOk(withFirst("a")));
  EXPECT_TRUE(StartupOk(withFirst(std::string(1024, 'n'))));
  EXPECT_FALSE(StartupOk(withFirst(std::string(1025, 'n'))));
  // A length that runs past the body.
  Builder past;
  past.Text("ORBOOT03").Le(7, 4);
  for (int i = 0; i < 6; ++i) past.Entry("f", 1);
  past.Le(1000, 2).Text("short");
  EXPECT_FALSE(StartupOk(past.Get()));
  // Length 0xFFFF is over the limit whatever follows.
  Builder maxField;
  maxField.Text("ORBOOT03").Le(7, 4).Le(0xFFFF, 2).Text(std::string(0xFFFF, 'x'));
  EXPECT_FALSE(StartupOk(maxField.Get()));
}

TEST(StartupManifestBody, SizeLimitIsSixteenGiB) {
  EXPECT_TRUE(StartupOk(StartupBody(kSeven, 17179869184ULL).Get()));
  EXPECT_FALSE(StartupOk(StartupBody(kSeven, 17179869185ULL).Get()));
  EXPECT_FALSE(StartupOk(StartupBody(kSeven, 0xFFFFFFFFFFFFFFFFULL).Get()));
  EXPECT_TRUE(StartupOk(StartupBody(kSeven, 0).Get()));
}

// The startup reader passes names on as stored; whoever writes with one checks it.
TEST(StartupManifestBody, NamesAreKeptAsStoredAndNotJudged) {
  std::vector<std::string> names = kSeven;
  names[1] = "../outside.dll";
  names[2] = std::string("a\0b", 3);
  names[3] = "LAUNCHER.EXE";
  names[4] = "launcher.exe";
  names[5] = "C:\\x";
  StartupManifest entries;
  ASSERT_TRUE(ParseStartupManifestBody(StartupBody(names).Get(), entries));
  for (std::size_t i = 0; i < names.size(); ++i) EXPECT_EQ(entries[i].name, names[i]);
}

TEST(StartupManifestBody, WrongMagicAndFailureLeaveOutputUntouched) {
  Bytes body = StartupBody(kSeven).Get();
  body[7] = '4';  // ORBOOT04
  StartupManifest entries = {StartupEntry{"kept", 1, {}}};
  EXPECT_FALSE(ParseStartupManifestBody(body, entries));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "kept");
  // The integrity magic is not a startup magic.
  EXPECT_FALSE(StartupOk(IntegrityBody(2026111501, {"data/item.tbl"}).Get()));
}

// --- Startup manifest file: size, magic, signature, then entries ---

TEST(StartupManifestFile, VerifierSeesTheBodyAndTheLast64Bytes) {
  const Bytes body = StartupBody(kSeven).Get();
  Bytes file = body;
  for (int i = 0; i < 64; ++i) file.push_back(static_cast<std::uint8_t>(i));
  FakeVerifier verifier;
  StartupManifest entries;
  ASSERT_TRUE(ParseStartupManifestFile(file, verifier.Check(), entries));
  EXPECT_EQ(verifier.calls, 1);
  EXPECT_EQ(verifier.body, body);
  ASSERT_EQ(verifier.signature.size(), 64u);
  EXPECT_EQ(verifier.signature[0], 0);
  EXPECT_EQ(verifier.signature[63], 63);
  EXPECT_EQ(entries.size(), 7u);
}

TEST(StartupManifestFile, RefusedSignatureGivesFalseAndNoEntries) {
  FakeVerifier verifier;
  verifier.answer = false;
  StartupManifest entries;
  EXPECT_FALSE(ParseStartupManifestFile(WithSignature(StartupBody(kSeven)), verifier.Check(), entries));
  EXPECT_EQ(verifier.calls, 1);
  EXPECT_TRUE(entries.empty());
  // A verifier that throws, and none at all.
  const ClientManifestSignatureCheck throwing = [](auto, auto) -> bool { throw std::runtime_error("x"); };
  EXPECT_FALSE(ParseStartupManifestFile(WithSignature(StartupBody(kSeven)), throwing, entries));
  EXPECT_FALSE(ParseStartupManifestFile(WithSignature(StartupBody(kSeven)), nullptr, entries));
}

TEST(StartupManifestFile, SizeBoundsAndMagicAreCheckedBeforeTheSignature) {
  FakeVerifier verifier;
  StartupManifest entries;
  // 75 bytes: too small for magic, count and signature.
  Bytes small = WithSignature(StartupBody({}));
  ASSERT_EQ(small.size(), 76u);
  small.pop_back();
  EXPECT_FALSE(ParseStartupManifestFile(small, verifier.Check(), entries));
  EXPECT_FALSE(ParseStartupManifestFile(Bytes{}, verifier.Check(), entries));
  Bytes badMagic = WithSignature(StartupBody(kSeven));
  badMagic[0] = 'o';
  EXPECT_FALSE(ParseStartupManifestFile(badMagic, verifier.Check(), entries));
  EXPECT_EQ(verifier.calls, 0);
  // 76 bytes reach the signature and then fail on the count.
  EXPECT_FALSE(ParseStartupManifestFile(WithSignature(StartupBody({})), verifier.Check(), entries));
  EXPECT_EQ(verifier.calls, 1);
}

TEST(StartupManifestFile, LargestFileIsEightMiB) {
  // Entries of 1024-byte names filling the body exactly up to 8 MiB.
  const std::size_t bodyLength = 8388608 - 64;
  Builder builder;
  builder.Text("ORBOOT03");
  std::size_t left = bodyLength - 12;
  std::vector<std::size_t> lengths;
  while (left > 0) {
    const std::size_t name = std::min<std::size_t>(1024, left - 42);
    lengths.push_back(name);
    left -= name + 42;
  }
  ASSERT_GE(lengths.back(), 1u);
  builder.Le(lengths.size(), 4);
  for (std::size_t length : lengths) builder.Entry(std::string(length, 'n'), 1);
  Bytes file = WithSignature(builder);
  ASSERT_EQ(file.size(), 8388608u);
  FakeVerifier verifier;
  StartupManifest entries;
  EXPECT_TRUE(ParseStartupManifestFile(file, verifier.Check(), entries));
  EXPECT_EQ(entries.size(), lengths.size());
  file.push_back(0);
  EXPECT_FALSE(ParseStartupManifestFile(file, verifier.Check(), entries));
  EXPECT_EQ(verifier.calls, 1);
}

TEST(StartupManifestFile, SixtyFiveBytesAfterTheEntriesAreRefused) {
  // Whatever the signature says, the entries then end one byte before the body does.
  Bytes body = StartupBody(kSeven).Get();
  body.push_back(0x00);
  Builder builder;
  builder.Text(std::string(body.begin(), body.end()));
  FakeVerifier verifier;
  StartupManifest entries;
  EXPECT_FALSE(ParseStartupManifestFile(WithSignature(builder), verifier.Check(), entries));
  EXPECT_EQ(verifier.calls, 1);
}

// --- Integrity manifest body ---

TEST(IntegrityManifestBody, StampCountAndEntriesRead) {
  IntegrityManifest manifest;
  ASSERT_TRUE(
      ParseIntegrityManifestBody(IntegrityBody(2026111501, {"DATA/Item.TBL", "data/skill.tbl"}, 77).Get(), manifest));
  EXPECT_EQ(manifest.build_stamp, 2026111501u);
  ASSERT_EQ(manifest.entries.size(), 2u);
  EXPECT_EQ(manifest.entries[0].name, "DATA/Item.TBL");  // letter case kept
  EXPECT_EQ(manifest.entries[1].name, "data/skill.tbl");
  EXPECT_EQ(manifest.entries[1].size, 77u);
  EXPECT_EQ(manifest.entries[1].digest[0], 0xAB);
}

TEST(IntegrityManifestBody, BuildStampBounds) {
  EXPECT_FALSE(IntegrityOk(IntegrityBody(2026111500, {"data/item.tbl"}).Get()));
  EXPECT_FALSE(IntegrityOk(IntegrityBody(0, {"data/item.tbl"}).Get()));
  EXPECT_TRUE(IntegrityOk(IntegrityBody(2026111501, {"data/item.tbl"}).Get()));
  EXPECT_TRUE(IntegrityOk(IntegrityBody(0xFFFFFFFFu, {"data/item.tbl"}).Get()));
}

TEST(IntegrityManifestBody, EntryCountBounds) {
  EXPECT_FALSE(IntegrityOk(IntegrityBody(2026111501, {}).Get()));
  std::vector<std::string> names;
  for (int i = 0; i < 4096; ++i) names.push_back("data/t" + std::to_string(i) + ".tbl");
  EXPECT_TRUE(IntegrityOk(IntegrityBody(2026111501, names, 1).Get()));
  names.push_back("data/t4096.tbl");
  EXPECT_FALSE(IntegrityOk(IntegrityBody(2026111501, names, 1).Get()));
  Builder huge;
  huge.Text("ORVEXTB1").Le(2026111501, 4).Le(0xFFFFFFFFu, 4).Entry("data/item.tbl", 1);
  EXPECT_FALSE(IntegrityOk(huge.Get()));
}

TEST(IntegrityManifestBody, NameRuleAndLengths) {
  for (const char* bad : {"data/sub/item.tbl", "data/../x.tbl", "data/a:b.tbl", "data/item.tb", "data\\item.tbl",
                          "dat/item.tbl", "xdata/item.tbl", "data/item.tbl.bak", "/data/item.tbl", "data/a..b.tbl"}) {
    EXPECT_FALSE(IntegrityOk(IntegrityBody(2026111501, {bad}).Get())) << bad;
  }
  EXPECT_FALSE(IntegrityOk(IntegrityBody(2026111501, {std::string("data/a\0b.tbl", 12)}).Get()));
  // Lengths 10 to 250 (the length field is checked before the name).
  EXPECT_FALSE(IntegrityOk(IntegrityBody(2026111501, {"data/.tbl"}).Get()));
  EXPECT_TRUE(IntegrityOk(IntegrityBody(2026111501, {"data/a.tbl"}).Get()));
  EXPECT_TRUE(IntegrityOk(IntegrityBody(2026111501, {"data/" + std::string(241, 'n') + ".tbl"}).Get()));
  EXPECT_FALSE(IntegrityOk(IntegrityBody(2026111501, {"data/" + std::string(242, 'n') + ".tbl"}).Get()));
}

TEST(IntegrityManifestBody, RepeatedNameIgnoringCaseIsRefused) {
  EXPECT_FALSE(IntegrityOk(IntegrityBody(2026111501, {"DATA/Item.TBL", "data/item.tbl"}).Get()));
  EXPECT_FALSE(IntegrityOk(IntegrityBody(2026111501, {"data/a.tbl", "data/b.tbl", "data/a.tbl"}).Get()));
  EXPECT_TRUE(IntegrityOk(IntegrityBody(2026111501, {"data/item.tbl", "data/item2.tbl"}).Get()));
}

TEST(IntegrityManifestBody, SizeLimitsPerEntryAndInTotal) {
  EXPECT_FALSE(IntegrityOk(IntegrityBody(2026111501, {"data/item.tbl"}, 268435457).Get()));
  EXPECT_TRUE(IntegrityOk(IntegrityBody(2026111501, {"data/item.tbl"}, 268435456).Get()));
  // Two of 256 MiB are exactly 512 MiB; a third passes the total.
  EXPECT_TRUE(IntegrityOk(IntegrityBody(2026111501, {"data/a.tbl", "data/b.tbl"}, 268435456).Get()));
  EXPECT_FALSE(IntegrityOk(IntegrityBody(2026111501, {"data/a.tbl", "data/b.tbl", "data/c.tbl"}, 268435456).Get()));
  Builder mixed;
  mixed.Text("ORVEXTB1").Le(2026111501, 4).Le(3, 4);
  mixed.Entry("data/a.tbl", 268435456).Entry("data/b.tbl", 268435455).Entry("data/c.tbl", 1);
  EXPECT_TRUE(IntegrityOk(mixed.Get()));
  Builder over;
  over.Text("ORVEXTB1").Le(2026111501, 4).Le(3, 4);
  over.Entry("data/a.tbl", 268435456).Entry("data/b.tbl", 268435456).Entry("data/c.tbl", 1);
  EXPECT_FALSE(IntegrityOk(over.Get()));
}

TEST(IntegrityManifestBody, TruncationsAndTrailingBytesAreRefused) {
  const Bytes body = IntegrityBody(2026111501, {"data/a.tbl", "DATA/Item.TBL"}).Get();
  ASSERT_TRUE(IntegrityOk(body));
  for (std::size_t length = 0; length < body.size(); ++length) {
    EXPECT_FALSE(IntegrityOk(Bytes(body.begin(), body.begin() + length))) << length;
  }
  Bytes trailing = body;
  trailing.push_back(0);
  EXPECT_FALSE(IntegrityOk(trailing));
  Builder counted;
  counted.Text("ORVEXTB1").Le(2026111501, 4).Le(3, 4).Entry("data/a.tbl", 1).Entry("data/b.tbl", 1);
  EXPECT_FALSE(IntegrityOk(counted.Get()));
}

TEST(IntegrityManifestBody, FailureLeavesOutputUntouched) {
  IntegrityManifest manifest;
  manifest.build_stamp = 7;
  EXPECT_FALSE(ParseIntegrityManifestBody(IntegrityBody(2026111501, {"data/a.tbl", "data/A.tbl"}).Get(), manifest));
  EXPECT_EQ(manifest.build_stamp, 7u);
  EXPECT_TRUE(manifest.entries.empty());
  EXPECT_FALSE(IntegrityOk(StartupBody(kSeven).Get()));
}

// --- Integrity manifest file ---

TEST(IntegrityManifestFile, SizeBoundsMagicThenSignature) {
  FakeVerifier verifier;
  IntegrityManifest manifest;
  Bytes tiny = WithSignature(IntegrityBody(2026111501, {}));
  ASSERT_EQ(tiny.size(), 80u);
  tiny.pop_back();
  EXPECT_FALSE(ParseIntegrityManifestFile(tiny, verifier.Check(), manifest));
  Bytes badMagic = WithSignature(IntegrityBody(2026111501, {"data/a.tbl"}));
  badMagic[7] = '2';
  EXPECT_FALSE(ParseIntegrityManifestFile(badMagic, verifier.Check(), manifest));
  // Over 2 MiB: one long run of trailing bytes.
  Bytes big = IntegrityBody(2026111501, {"data/a.tbl"}).Get();
  big.resize(2097152 - 64 + 1, 0);
  Builder bigBuilder;
  bigBuilder.Text(std::string(big.begin(), big.end()));
  EXPECT_FALSE(ParseIntegrityManifestFile(WithSignature(bigBuilder), verifier.Check(), manifest));
  EXPECT_EQ(verifier.calls, 0);

  const Bytes body = IntegrityBody(2026111501, {"DATA/Item.TBL"}).Get();
  ASSERT_TRUE(ParseIntegrityManifestFile(WithSignature(IntegrityBody(2026111501, {"DATA/Item.TBL"})), verifier.Check(),
                                         manifest));
  EXPECT_EQ(verifier.body, body);
  EXPECT_EQ(manifest.entries.at(0).name, "DATA/Item.TBL");
  verifier.answer = false;
  IntegrityManifest untouched;
  EXPECT_FALSE(ParseIntegrityManifestFile(WithSignature(IntegrityBody(2026111501, {"DATA/Item.TBL"})), verifier.Check(),
                                          untouched));
  EXPECT_TRUE(untouched.entries.empty());
}

// --- Names ---

TEST(IntegrityTableName, AcceptedSpellings) {
  for (const char* good : {"data/item.tbl", "DATA/Item.TBL", "Data/x y.tbl", "data/a.tbl", "data/item_01-b.tbl"}) {
    EXPECT_TRUE(IsIntegrityTableName(good)) << good;
  }
}

// Names that pass the letter of the table rule but would send repair to a
// device or to a name Windows cannot hold, and names that the two name
// conversions (code page, UTF-8) would read differently.
TEST(IntegrityTableName, DeviceReservedAndNonAsciiNamesAreRefused) {
  for (const char* bad : {"data/con.tbl", "data/NUL.tbl", "data/aux.tbl", "data/com1.tbl", "data/LPT9.tbl",
                          "data/a?b.tbl", "data/a*b.tbl", "data/a<b.tbl", "data/a|b.tbl", "data/a\"b.tbl",
                          "data/a\tb.tbl", "data/\xc5\x9f.tbl", "data/a\x7f.tbl"}) {
    EXPECT_FALSE(IsIntegrityTableName(bad)) << bad;
  }
}

// --- Launcher entry ---

TEST(LauncherEntry, WholeRootNameIgnoringCase) {
  StartupManifest entries = {
      {"bin/Launcher.exe", 1, {}}, {"Launcher.exe ", 2, {}}, {"launcher.EXE", 3, {}}, {"Launcher.exe", 4, {}}};
  const StartupEntry* entry = FindLauncherEntry(entries);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->size, 3u);  // the first match
  entries.erase(entries.begin() + 2, entries.end());
  EXPECT_EQ(FindLauncherEntry(entries), nullptr);
  EXPECT_EQ(FindLauncherEntry({}), nullptr);
  EXPECT_EQ(FindLauncherEntry({{"xLauncher.exe", 1, {}}, {"Launcher.ex", 1, {}}}), nullptr);
}
