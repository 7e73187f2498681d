#include "update/unpack/ZipReader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "ZipFixtures.h"
#include "tests/unit/ZipTestArchive.h"

using orvex_update::ZipByteSink;
using orvex_update::ZipByteSource;
using orvex_update::ZipReader;
using orvex_update::ZipStatus;
using ziptest::Archive;
using ziptest::Builder;
using ziptest::Entry;
namespace field = ziptest::field;

namespace {

// Owns its bytes; can be told to fail every read that touches the bytes
// [failFrom, failTo), as a disk with a bad sector would.
class OwnedSource final : public ZipByteSource {
 public:
  explicit OwnedSource(std::string bytes, std::uint64_t failFrom = 0, std::uint64_t failTo = 0)
      : bytes_(std::move(bytes)), failFrom_(failFrom), failTo_(failTo) {}
  std::uint64_t Size() const override { return bytes_.size(); }
  bool ReadAt(std::uint64_t offset, void* buffer, std::size_t length) override {
    if (offset > bytes_.size() || length > bytes_.size() - offset) {
      ADD_FAILURE() << "read beyond the source: " << offset << "+" << length;
      return false;
    }
    if (offset < failTo_ && offset + length > failFrom_) return false;
    std::copy_n(bytes_.data() + offset, length, static_cast<char*>(buffer));
    return true;
  }

 private:
  std::string bytes_;
  std::uint64_t failFrom_;
  std::uint64_t failTo_;
};

class StringSink final : public ZipByteSink {
 public:
  explicit StringSink(std::size_t failAfter = SIZE_MAX) : failAfter_(failAfter) {}
  bool Write(const void* data, std::size_t length) override {
    ++writes;
    largestWrite = std::max(largestWrite, length);
    if (bytes.size() + length > failAfter_) return false;
    bytes.append(static_cast<const char*>(data), length);
    return true;
  }
  std::string bytes;
  std::size_t writes = 0;
  std::size_t largestWrite = 0;

 private:
  std::size_t failAfter_;
};

std::unique_ptr<ZipReader> Open(const std::string& bytes, ZipStatus* status = nullptr) {
  return ZipReader::Open(std::make_unique<OwnedSource>(bytes), status);
}

ZipStatus OpenStatus(const std::string& bytes) {
  ZipStatus status = ZipStatus::kOk;
  const auto reader = Open(bytes, &status);
  EXPECT_EQ(reader == nullptr, status != ZipStatus::kOk);
  return status;
}

// Opens and extracts entry index; the status of whichever step failed.
ZipStatus ExtractStatus(const std::string& bytes, std::size_t index = 0, StringSink* sink = nullptr) {
  ZipStatus status = ZipStatus::kOk;
  auto reader = Open(bytes, &status);
  if (!reader) return status;
  StringSink local;
  return reader->Extract(index, sink ? *sink : local);
}

Entry Stored(std::string name, std::string data) {
  Entry e;
  e.name = std::move(name);
  e.data = std::move(data);
  e.method = 0;
  return e;
}

Entry Deflated(std::string name, std::string data) {
  Entry e;
  e.name = std::move(name);
  e.data = std::move(data);
  e.method = 8;
  return e;
}

Archive TwoEntries() {
  return Builder().Add(Stored("one.txt", "first file")).Add(Deflated("dir/two.bin", ziptest::Pattern(3000))).Build();
}

std::string WithComment(std::size_t length) {
  return Builder().Add(Stored("a.txt", "abc")).Comment(std::string(length, 'c')).Build().bytes;
}

}  // namespace

// ---------------------------------------------------------------------------
// End-of-central-directory search.

TEST(ZipEndRecord, EmptyArchiveOpensWithNoEntries) {
  const auto reader = Open(Builder().Build().bytes);
  ASSERT_TRUE(reader);
  EXPECT_EQ(reader->EntryCount(), 0u);
}

TEST(ZipEndRecord, InputsShorterThanTheEndRecordAreNotArchives) {
  EXPECT_EQ(OpenStatus(""), ZipStatus::kNotAnArchive);
  const std::string end = Builder().Build().bytes;
  EXPECT_EQ(OpenStatus(end.substr(0, 21)), ZipStatus::kNotAnArchive);
  EXPECT_EQ(OpenStatus(end.substr(1)), ZipStatus::kNotAnArchive);
  EXPECT_EQ(ZipReader::Open(nullptr), nullptr);
}

TEST(ZipEndRecord, LargestCommentIsFoundAndOneByteMoreIsBeyondTheSearch) {
  const auto reader = Open(WithComment(65535));
  ASSERT_TRUE(reader);
  EXPECT_EQ(reader->Entry(0).name, "a.txt");
  // A byte after the longest comment puts the record outside the search range
  // (and its comment no longer reaches the end of the file).
  EXPECT_EQ(OpenStatus(WithComment(65535) + "x"), ZipStatus::kNotAnArchive);
}

TEST(ZipEndRecord, SignatureAcrossAWindowBoundaryIsFound) {
  // The first window is the last 4096 bytes, the second ends three bytes into
  // the first; these comment lengths put the signature on, next to and across
  // both boundaries.
  for (std::size_t comment = 4060; comment <= 4100; ++comment) {
    EXPECT_TRUE(Open(WithComment(comment))) << comment;
  }
  for (std::size_t comment = 8150; comment <= 8190; ++comment) {
    EXPECT_TRUE(Open(WithComment(comment))) << comment;
  }
}

TEST(ZipEndRecord, SignatureInsideTheCommentDoesNotShadowTheRecord) {
  std::string comment = "PK\x05\x06";
  comment += std::string(40, '\0');
  const auto reader = Open(Builder().Add(Stored("a.txt", "abc")).Comment(comment).Build().bytes);
  ASSERT_TRUE(reader);
  EXPECT_EQ(reader->EntryCount(), 1u);
}

TEST(ZipEndRecord, CommentLengthMustReachTheEndOfTheFile) {
  std::string bytes = WithComment(10);
  EXPECT_EQ(OpenStatus(bytes + "trailing"), ZipStatus::kNotAnArchive);
  bytes.pop_back();
  EXPECT_EQ(OpenStatus(bytes), ZipStatus::kNotAnArchive);
}

// ---------------------------------------------------------------------------
// Central directory.

TEST(ZipDirectory, ListsEntriesInDirectoryOrderWithTheirFields) {
  Entry dir;
  dir.name = "dir\\sub/";
  dir.method = 0;
  Entry flagged = Stored("flagged", "");
  flagged.externalAttributes = 0x10;
  const auto reader = Open(Builder()
                               .Add(Stored("z.txt", "zz"))
                               .Add(dir)
                               .Add(flagged)
                               .Add(Deflated("a.bin", "aaaa"))
                               .Add(Stored("win\\dir\\", ""))
                               .Build()
                               .bytes);
  ASSERT_TRUE(reader);
  ASSERT_EQ(reader->EntryCount(), 5u);
  EXPECT_TRUE(reader->Entry(4).IsDirectory());
  EXPECT_EQ(reader->Entry(0).name, "z.txt");
  EXPECT_EQ(reader->Entry(1).name, "dir\\sub/");  // stored bytes unchanged
  EXPECT_EQ(reader->Entry(3).name, "a.bin");
  EXPECT_FALSE(reader->Entry(0).IsDirectory());
  EXPECT_TRUE(reader->Entry(1).IsDirectory());
  EXPECT_TRUE(reader->Entry(2).IsDirectory());
  EXPECT_EQ(reader->Entry(3).method, 8);
  EXPECT_EQ(reader->Entry(3).uncompressedSize, 4u);
  EXPECT_EQ(reader->Entry(3).crc32, ziptest::Crc32("aaaa"));
  EXPECT_EQ(reader->Entry(3).dosDate, ziptest::kDosDate);
  EXPECT_EQ(reader->Entry(3).dosTime, ziptest::kDosTime);
}

TEST(ZipDirectory, UnixFileTypesAreClassified) {
  Entry link = Stored("link", "target");
  link.versionMadeBy = 0x031E;
  link.externalAttributes = 0120777u << 16;
  Entry regular = Stored("file", "x");
  regular.versionMadeBy = 0x031E;
  regular.externalAttributes = 0100644u << 16;
  Entry device = Stored("dev", "");
  device.versionMadeBy = 0x131E;  // macOS
  device.externalAttributes = 0020644u << 16;
  const auto reader = Open(Builder().Add(link).Add(regular).Add(device).Build().bytes);
  ASSERT_TRUE(reader);
  EXPECT_TRUE(reader->Entry(0).IsUnixSymlink());
  EXPECT_TRUE(reader->Entry(0).IsUnixLinkEntry());
  EXPECT_FALSE(reader->Entry(1).IsUnixSymlink());
  EXPECT_FALSE(reader->Entry(1).IsUnixLinkEntry());
  EXPECT_FALSE(reader->Entry(2).IsUnixSymlink());
  EXPECT_TRUE(reader->Entry(2).IsUnixLinkEntry());
}

TEST(ZipDirectory, SpanningSeveralDisksIsRefused) {
  const Archive a = TwoEntries();
  for (std::size_t offset : {field::kEndDisk, field::kEndDirectoryDisk}) {
    std::string bytes = a.bytes;
    ziptest::Poke16(bytes, a.endOffset + offset, 1);
    EXPECT_EQ(OpenStatus(bytes), ZipStatus::kMultiDisk) << offset;
  }
  std::string fewerOnDisk = a.bytes;
  ziptest::Poke16(fewerOnDisk, a.endOffset + field::kEndEntriesOnDisk, 1);
  EXPECT_EQ(OpenStatus(fewerOnDisk), ZipStatus::kMultiDisk);
  std::string entryOnDisk2 = a.bytes;
  ziptest::Poke16(entryOnDisk2, a.centralOffsets[1] + field::kCentralDiskStart, 2);
  EXPECT_EQ(OpenStatus(entryOnDisk2), ZipStatus::kMultiDisk);
}

TEST(ZipDirectory, EncryptedCentralDirectoryIsRefusedAtOpen) {
  const Archive a = TwoEntries();
  std::string bytes = a.bytes;
  ziptest::Poke16(bytes, a.centralOffsets[1] + field::kCentralFlags, 0x2000);
  EXPECT_EQ(OpenStatus(bytes), ZipStatus::kEncryptedDirectory);
}

TEST(ZipDirectory, EntryCountsTheDirectoryCannotHoldAreRefused) {
  const Archive a = TwoEntries();
  for (std::uint16_t count : {3, 0xFFFF}) {
    std::string bytes = a.bytes;
    ziptest::Poke16(bytes, a.endOffset + field::kEndEntriesOnDisk, count);
    ziptest::Poke16(bytes, a.endOffset + field::kEndEntries, count);
    EXPECT_EQ(OpenStatus(bytes), ZipStatus::kBadEntryCount) << count;
  }
  // Fewer than there are: the record left over would be seen by one reader
  // and not by another.
  std::string fewer = a.bytes;
  ziptest::Poke16(fewer, a.endOffset + field::kEndEntriesOnDisk, 1);
  ziptest::Poke16(fewer, a.endOffset + field::kEndEntries, 1);
  EXPECT_EQ(OpenStatus(fewer), ZipStatus::kBadDirectory);
}

TEST(ZipDirectory, DirectoryOutsideTheFileOrWithoutSignatureIsRefused) {
  const Archive a = TwoEntries();
  std::string pastEnd = a.bytes;
  ziptest::Poke32(pastEnd, a.endOffset + field::kEndDirectoryOffset, static_cast<std::uint32_t>(a.directoryOffset + 1));
  EXPECT_EQ(OpenStatus(pastEnd), ZipStatus::kBadDirectory);
  std::string tooLong = a.bytes;
  ziptest::Poke32(tooLong, a.endOffset + field::kEndDirectorySize, 0xFFFFFF00u);
  EXPECT_EQ(OpenStatus(tooLong), ZipStatus::kBadDirectory);
  std::string badSignature = a.bytes;
  badSignature[a.centralOffsets[1] + 2] = 'X';
  EXPECT_EQ(OpenStatus(badSignature), ZipStatus::kBadDirectory);
  // A name length that runs the record past the directory.
  std::string longName = a.bytes;
  ziptest::Poke16(longName, a.centralOffsets[1] + field::kCentralNameLength, 200);
  EXPECT_EQ(OpenStatus(longName), ZipStatus::kBadDirectory);
}

TEST(ZipDirectory, ExtraFieldsThatRunPastTheirRecordAreRefused) {
  // A field whose stated size is one byte more than is there.
  Entry overrun = Stored("a.txt", "abc");
  overrun.centralExtra = ziptest::ExtraField(0x5455, "12345").substr(0, 8);
  EXPECT_EQ(OpenStatus(Builder().Add(overrun).Build().bytes), ZipStatus::kBadExtraField);
  // Two stray bytes that cannot even hold a field header.
  Entry stray = Stored("a.txt", "abc");
  stray.centralExtra = ziptest::ExtraField(0x5455, "12345") + "\x01\x00";
  EXPECT_EQ(OpenStatus(Builder().Add(stray).Build().bytes), ZipStatus::kBadExtraField);
  // Well-formed unknown fields are fine.
  Entry fine = Stored("a.txt", "abc");
  fine.centralExtra = ziptest::ExtraField(0x5455, "12345") + ziptest::ExtraField(0x7875, "");
  EXPECT_EQ(ExtractStatus(Builder().Add(fine).Build().bytes), ZipStatus::kOk);
}

TEST(ZipDirectory, SentinelWithoutItsZip64ValueIsRefused) {
  const Archive a = Builder().Add(Stored("a.txt", "abc")).Build();
  std::string bytes = a.bytes;
  ziptest::Poke32(bytes, a.centralOffsets[0] + field::kCentralUncompressed, 0xFFFFFFFFu);
  EXPECT_EQ(OpenStatus(bytes), ZipStatus::kBadExtraField);
  // A ZIP64 field too short for the values the record defers to it.
  Entry e = Stored("a.txt", "abc");
  e.zip64 = true;
  const Archive z = Builder().Add(e).Build();
  std::string shortField = z.bytes;
  const std::size_t fieldSize = z.centralOffsets[0] + field::kCentralName + 5 + 2;
  ziptest::Poke16(shortField, fieldSize, 16);  // room for two of its three values
  EXPECT_EQ(OpenStatus(shortField), ZipStatus::kBadExtraField);
}

TEST(ZipDirectory, OverlappingEntriesAreRefused) {
  // Two records for the same local header.
  const Archive a = TwoEntries();
  std::string same = a.bytes;
  ziptest::Poke32(same, a.centralOffsets[1] + field::kCentralLocalOffset, 0);
  EXPECT_EQ(OpenStatus(same), ZipStatus::kOverlappingEntries);
  // The second entry's header inside the first one's data.
  const Archive big = Builder().Add(Stored("one.bin", std::string(100, 'x'))).Add(Stored("two.bin", "y")).Build();
  std::string inside = big.bytes;
  ziptest::Poke32(inside, big.centralOffsets[1] + field::kCentralLocalOffset, 60);
  EXPECT_EQ(OpenStatus(inside), ZipStatus::kOverlappingEntries);
  // The first entry claims more data than lies before the second header.
  std::string longer = big.bytes;
  ziptest::Poke32(longer, big.centralOffsets[0] + field::kCentralCompressed, 101);
  EXPECT_EQ(OpenStatus(longer), ZipStatus::kOverlappingEntries);
}

TEST(ZipDirectory, EntryDataReachingIntoTheDirectoryIsRefused) {
  const Archive a = TwoEntries();
  std::string header = a.bytes;
  ziptest::Poke32(header, a.centralOffsets[1] + field::kCentralLocalOffset,
                  static_cast<std::uint32_t>(a.directoryOffset));
  EXPECT_EQ(OpenStatus(header), ZipStatus::kBadEntryOffset);
  std::string data = a.bytes;
  ziptest::Poke32(data, a.centralOffsets[1] + field::kCentralCompressed, 0xFFFFFF00u);
  EXPECT_EQ(OpenStatus(data), ZipStatus::kBadEntryOffset);
}

TEST(ZipDirectory, EveryTruncationIsRefused) {
  const std::string bytes = Builder()
                                .Add(Stored("one.txt", "first file"))
                                .Add(Deflated("two.bin", ziptest::Pattern(500)))
                                .Comment("note")
                                .Build()
                                .bytes;
  for (std::size_t length = 0; length < bytes.size(); ++length) {
    EXPECT_FALSE(Open(bytes.substr(0, length))) << length;
  }
}

TEST(ZipDirectory, ReadErrorsAreReportedNotIgnored) {
  // The filler keeps the first entry out of the end-record search's reach.
  const Archive a = Builder()
                        .Add(Deflated("first.bin", ziptest::Pattern(3000)))
                        .Add(Stored("filler", std::string(100000, 'f')))
                        .Build();
  ZipStatus status = ZipStatus::kOk;
  EXPECT_FALSE(
      ZipReader::Open(std::make_unique<OwnedSource>(a.bytes, a.directoryOffset + 10, a.directoryOffset + 11), &status));
  EXPECT_EQ(status, ZipStatus::kReadFailed);
  auto reader =
      ZipReader::Open(std::make_unique<OwnedSource>(a.bytes, a.localOffsets[0] + 60, a.localOffsets[0] + 61), &status);
  ASSERT_TRUE(reader);
  StringSink sink;
  EXPECT_EQ(reader->Extract(1, sink), ZipStatus::kOk);
  EXPECT_EQ(reader->Extract(0, sink), ZipStatus::kReadFailed);
}

// ---------------------------------------------------------------------------
// ZIP64.

TEST(ZipZip64, EndRecordsAndExtraFieldsAreHonoured) {
  Entry big = Deflated("big.bin", ziptest::Pattern(100000));
  big.zip64 = true;
  Entry small = Stored("small.txt", "small");
  small.zip64 = true;
  const auto reader = Open(Builder().Add(big).Add(small).Zip64End().Build().bytes);
  ASSERT_TRUE(reader);
  EXPECT_TRUE(reader->IsZip64());
  ASSERT_EQ(reader->EntryCount(), 2u);
  EXPECT_EQ(reader->Entry(0).uncompressedSize, 100000u);
  EXPECT_GT(reader->Entry(1).localHeaderOffset, 0u);
  StringSink first;
  StringSink second;
  EXPECT_EQ(reader->Extract(0, first), ZipStatus::kOk);
  EXPECT_EQ(reader->Extract(1, second), ZipStatus::kOk);
  EXPECT_EQ(first.bytes, ziptest::Pattern(100000));
  EXPECT_EQ(second.bytes, "small");
}

TEST(ZipZip64, LocatorMustPointAtAConsistentRecord) {
  const Archive a = Builder().Add(Stored("a.txt", "abc")).Zip64End().Build();
  std::string wrongTarget = a.bytes;
  ziptest::Poke64(wrongTarget, a.locatorOffset + 8, a.zip64EndOffset + 1);
  EXPECT_EQ(OpenStatus(wrongTarget), ZipStatus::kBadZip64);
  std::string beyond = a.bytes;
  ziptest::Poke64(beyond, a.locatorOffset + 8, a.locatorOffset);
  EXPECT_EQ(OpenStatus(beyond), ZipStatus::kBadZip64);
  std::string recordTooLong = a.bytes;
  ziptest::Poke64(recordTooLong, a.zip64EndOffset + 4, 45);
  EXPECT_EQ(OpenStatus(recordTooLong), ZipStatus::kBadZip64);
  // The classic record states a count that the ZIP64 record contradicts.
  std::string contradicting = a.bytes;
  ziptest::Poke16(contradicting, a.endOffset + field::kEndEntries, 0);
  EXPECT_EQ(OpenStatus(contradicting), ZipStatus::kBadZip64);
  // Agreeing classic values instead of sentinels are fine.
  std::string agreeing = a.bytes;
  ziptest::Poke16(agreeing, a.endOffset + field::kEndEntries, 1);
  ziptest::Poke16(agreeing, a.endOffset + field::kEndEntriesOnDisk, 1);
  EXPECT_EQ(OpenStatus(agreeing), ZipStatus::kOk);
}

TEST(ZipZip64, SeveralDisksInTheZip64RecordsAreRefused) {
  const Archive a = Builder().Add(Stored("a.txt", "abc")).Zip64End().Build();
  std::string disks = a.bytes;
  ziptest::Poke32(disks, a.locatorOffset + 16, 2);
  EXPECT_EQ(OpenStatus(disks), ZipStatus::kMultiDisk);
  std::string recordDisk = a.bytes;
  ziptest::Poke32(recordDisk, a.zip64EndOffset + 16, 1);
  EXPECT_EQ(OpenStatus(recordDisk), ZipStatus::kMultiDisk);
  std::string onDisk = a.bytes;
  ziptest::Poke64(onDisk, a.zip64EndOffset + 24, 0);
  EXPECT_EQ(OpenStatus(onDisk), ZipStatus::kMultiDisk);
}

TEST(ZipZip64, HugeCountInTheZip64RecordIsRefusedBeforeAllocating) {
  const Archive a = Builder().Add(Stored("a.txt", "abc")).Zip64End().Build();
  std::string bytes = a.bytes;
  ziptest::Poke64(bytes, a.zip64EndOffset + 24, 1ull << 60);
  ziptest::Poke64(bytes, a.zip64EndOffset + 32, 1ull << 60);
  EXPECT_EQ(OpenStatus(bytes), ZipStatus::kBadEntryCount);
}

// ---------------------------------------------------------------------------
// Entries and their data.

TEST(ZipExtract, StoredAndDeflatedEntriesRoundTrip) {
  const std::string large = ziptest::Pattern(4 << 20);
  const auto reader = Open(Builder()
                               .Add(Stored("s.txt", "stored"))
                               .Add(Deflated("d.bin", large))
                               .Add(Stored("empty", ""))
                               .Add(Deflated("empty.z", ""))
                               .Build()
                               .bytes);
  ASSERT_TRUE(reader);
  StringSink stored;
  EXPECT_EQ(reader->Extract(0, stored), ZipStatus::kOk);
  EXPECT_EQ(stored.bytes, "stored");
  StringSink deflated;
  EXPECT_EQ(reader->Extract(1, deflated), ZipStatus::kOk);
  EXPECT_EQ(deflated.bytes, large);
  EXPECT_GT(deflated.writes, 1u);  // streamed, not handed over whole
  EXPECT_LE(deflated.largestWrite, 1024u * 1024);
  StringSink empty;
  EXPECT_EQ(reader->Extract(2, empty), ZipStatus::kOk);
  EXPECT_EQ(reader->Extract(3, empty), ZipStatus::kOk);
  EXPECT_TRUE(empty.bytes.empty());
  EXPECT_EQ(reader->Extract(4, empty), ZipStatus::kIndexOutOfRange);
}

TEST(ZipExtract, EntryWithAnEmptyNameIsReadSafely) {
  // Found by the fuzzer: an empty local name was compared through a null pointer.
  Entry e = Deflated("", "unnamed");
  e.dataDescriptor = true;
  StringSink sink;
  EXPECT_EQ(ExtractStatus(Builder().Add(e).Build().bytes, 0, &sink), ZipStatus::kOk);
  EXPECT_EQ(sink.bytes, "unnamed");
}

TEST(ZipExtract, EncryptedPatchDataAndUnknownMethodsAreNotExtracted) {
  Entry encrypted = Stored("e", "secret");
  encrypted.flags = 0x0001;
  Entry patch = Stored("p", "patch");
  patch.flags = 0x0020;
  Entry bzip2 = Stored("b", "BZh9");
  bzip2.method = 12;
  const auto reader = Open(Builder().Add(encrypted).Add(patch).Add(bzip2).Build().bytes);
  ASSERT_TRUE(reader);  // listing them is fine
  StringSink sink;
  EXPECT_EQ(reader->Extract(0, sink), ZipStatus::kEncrypted);
  EXPECT_EQ(reader->Extract(1, sink), ZipStatus::kPatchData);
  EXPECT_EQ(reader->Extract(2, sink), ZipStatus::kUnsupportedMethod);
  EXPECT_EQ(reader->CheckExtractable(2), ZipStatus::kUnsupportedMethod);
  EXPECT_TRUE(sink.bytes.empty());
}

TEST(ZipExtract, LocalHeaderSignatureIsChecked) {
  const Archive a = TwoEntries();
  std::string bytes = a.bytes;
  bytes[a.localOffsets[1] + 3] = 0x05;
  auto reader = Open(bytes);
  ASSERT_TRUE(reader);
  EXPECT_EQ(reader->CheckExtractable(0), ZipStatus::kOk);
  EXPECT_EQ(reader->CheckExtractable(1), ZipStatus::kBadLocalHeader);
}

TEST(ZipExtract, WrongCrcIsRefused) {
  for (std::uint16_t method : {0, 8}) {
    Entry e = method == 0 ? Stored("a.txt", "payload") : Deflated("a.txt", "payload");
    e.crc = ziptest::Crc32("payload") ^ 1;
    StringSink sink;
    EXPECT_EQ(ExtractStatus(Builder().Add(e).Build().bytes, 0, &sink), ZipStatus::kCrcMismatch) << method;
  }
}

TEST(ZipExtract, LocalHeaderMustAgreeWithTheCentralRecord) {
  Entry renamed = Stored("good.txt", "abc");
  renamed.localName = "evil.txt";
  EXPECT_EQ(ExtractStatus(Builder().Add(renamed).Build().bytes), ZipStatus::kHeaderMismatch);
  Entry longer = Stored("good.txt", "abc");
  longer.localName = "good.txt.exe";
  EXPECT_EQ(ExtractStatus(Builder().Add(longer).Build().bytes), ZipStatus::kHeaderMismatch);

  const Archive a = Builder().Add(Deflated("a.txt", "payload payload")).Add(Stored("b", "b")).Build();
  const std::size_t local = a.localOffsets[0];
  std::string method = a.bytes;
  ziptest::Poke16(method, local + field::kLocalMethod, 0);
  EXPECT_EQ(ExtractStatus(method), ZipStatus::kHeaderMismatch);
  std::string encrypted = a.bytes;
  ziptest::Poke16(encrypted, local + field::kLocalFlags, 1);
  EXPECT_EQ(ExtractStatus(encrypted), ZipStatus::kHeaderMismatch);
  for (std::size_t offset : {field::kLocalCrc, field::kLocalCompressed, field::kLocalUncompressed}) {
    std::string bytes = a.bytes;
    bytes[local + offset] ^= 0x01;
    EXPECT_EQ(ExtractStatus(bytes), ZipStatus::kHeaderMismatch) << offset;
  }
}

TEST(ZipExtract, DataDescriptorDefersTheLocalSizes) {
  Entry e = Deflated("streamed.bin", ziptest::Pattern(5000));
  e.dataDescriptor = true;
  StringSink sink;
  EXPECT_EQ(ExtractStatus(Builder().Add(e).Add(Stored("next", "n")).Build().bytes, 0, &sink), ZipStatus::kOk);
  EXPECT_EQ(sink.bytes, ziptest::Pattern(5000));
}

TEST(ZipExtract, LocalExtraFieldThatPushesDataIntoTheNextEntryIsRefused) {
  // The data starts with four zero bytes, a well-formed empty extra field once
  // the local header claims them.
  const Archive a = Builder().Add(Stored("one.bin", std::string(10, '\0'))).Add(Stored("two", "2")).Build();
  std::string bytes = a.bytes;
  ziptest::Poke16(bytes, a.localOffsets[0] + field::kLocalExtraLength, 4);
  EXPECT_EQ(ExtractStatus(bytes), ZipStatus::kOverlappingEntries);
  ziptest::Poke16(bytes, a.localOffsets[0] + field::kLocalExtraLength, 60000);
  EXPECT_EQ(ExtractStatus(bytes), ZipStatus::kBadLocalHeader);
}

TEST(ZipExtract, LocalExtraFieldsMustBeWellFormed) {
  Entry e = Stored("a.txt", "abc");
  e.localExtra = ziptest::ExtraField(0x5455, "12345").substr(0, 8);
  EXPECT_EQ(ExtractStatus(Builder().Add(e).Build().bytes), ZipStatus::kBadExtraField);
  e.dataDescriptor = true;
  EXPECT_EQ(ExtractStatus(Builder().Add(e).Build().bytes), ZipStatus::kBadExtraField);
  // Local sizes deferred to a ZIP64 field that is not there.
  const Archive a = Builder().Add(Stored("b.txt", "abc")).Build();
  std::string bytes = a.bytes;
  ziptest::Poke32(bytes, a.localOffsets[0] + field::kLocalCompressed, 0xFFFFFFFFu);
  EXPECT_EQ(ExtractStatus(bytes), ZipStatus::kBadExtraField);
}

TEST(ZipExtract, DeflatedDataLongerThanDeclaredStopsAtTheDeclaredSize) {
  // 16 MiB of zeros declared as 10 bytes: extraction must stop, not expand.
  Entry bomb = Deflated("bomb", std::string(16 << 20, '\0'));
  bomb.declaredUncompressed = 10;
  StringSink sink;
  EXPECT_EQ(ExtractStatus(Builder().Add(bomb).Build().bytes, 0, &sink), ZipStatus::kBadDataLength);
  EXPECT_LE(sink.bytes.size(), 10u);
}

TEST(ZipExtract, DeflatedDataShorterThanDeclaredIsRefused) {
  Entry e = Deflated("short", "twelve bytes");
  e.declaredUncompressed = 13;
  EXPECT_EQ(ExtractStatus(Builder().Add(e).Build().bytes), ZipStatus::kBadDataLength);
}

TEST(ZipExtract, CompressedSizeMustMatchTheDeflateStream) {
  const std::string content = ziptest::Pattern(20000);
  const std::string stream = ziptest::RawDeflate(content);
  // Bytes after the end of the stream, inside the declared size.
  Entry trailing = Deflated("t", content);
  trailing.payload = stream + "junk";
  EXPECT_EQ(ExtractStatus(Builder().Add(trailing).Build().bytes), ZipStatus::kBadDataLength);
  // The stream cut short of its end.
  Entry cut = Deflated("c", content);
  cut.payload = stream.substr(0, stream.size() - 5);
  EXPECT_EQ(ExtractStatus(Builder().Add(cut).Build().bytes), ZipStatus::kBadDataLength);
  // Not deflate at all.
  Entry garbage = Deflated("g", "whatever");
  garbage.payload = std::string("\xff\xff\xff\xff", 4);
  EXPECT_EQ(ExtractStatus(Builder().Add(garbage).Build().bytes), ZipStatus::kCorruptData);
}

TEST(ZipExtract, StoredSizesMustBeEqual) {
  Entry e = Stored("s", "abcdef");
  e.declaredUncompressed = 5;
  StringSink sink;
  EXPECT_EQ(ExtractStatus(Builder().Add(e).Build().bytes, 0, &sink), ZipStatus::kBadDataLength);
  EXPECT_TRUE(sink.bytes.empty());
}

TEST(ZipExtract, SinkFailureStopsTheExtraction) {
  StringSink sink(1000);
  EXPECT_EQ(ExtractStatus(Builder().Add(Deflated("d", ziptest::Pattern(300000))).Build().bytes, 0, &sink),
            ZipStatus::kWriteFailed);
  EXPECT_EQ(sink.writes, 1u);
}

TEST(ZipSources, StdioSourceReadsAFileByName) {
  const std::filesystem::path file =
      std::filesystem::temp_directory_path() / ("orvex-zipreader-" + std::to_string(std::rand()) + ".zip");
  {
    std::ofstream out(file, std::ios::binary);
    out << TwoEntries().bytes;
  }
  auto reader = ZipReader::Open(orvex_update::StdioZipSource::Open(file.string().c_str()));
  ASSERT_TRUE(reader);
  StringSink sink;
  EXPECT_EQ(reader->Extract(1, sink), ZipStatus::kOk);
  EXPECT_EQ(sink.bytes, ziptest::Pattern(3000));
  reader.reset();
  std::filesystem::remove(file);
  EXPECT_EQ(orvex_update::StdioZipSource::Open(file.string().c_str()), nullptr);
  EXPECT_EQ(orvex_update::StdioZipSource::Open(""), nullptr);
  EXPECT_EQ(orvex_update::StdioZipSource::Open(nullptr), nullptr);
}

// ---------------------------------------------------------------------------
// Archives written by Python's zipfile.

namespace {

template <std::size_t ArchiveSize, std::size_t Count>
void ExpectFixture(const unsigned char (&archive)[ArchiveSize], const zipfixtures::Expected (&expected)[Count]) {
  auto reader = ZipReader::Open(std::make_unique<orvex_update::MemoryZipSource>(archive, ArchiveSize));
  ASSERT_TRUE(reader);
  ASSERT_EQ(reader->EntryCount(), Count);
  for (std::size_t i = 0; i < Count; ++i) {
    const zipfixtures::Expected& e = expected[i];
    SCOPED_TRACE(e.name);
    EXPECT_EQ(reader->Entry(i).name, e.name);
    EXPECT_EQ(reader->Entry(i).IsDirectory(), e.directory);
    EXPECT_EQ(reader->Entry(i).IsUnixSymlink(), e.symlink);
    EXPECT_EQ(reader->Entry(i).uncompressedSize, e.size);
    std::string content(e.size, '\0');
    for (std::size_t b = 0; b < e.size; ++b) {
      content[b] = e.data ? e.data[b] : static_cast<char>(zipfixtures::PatternByte(b));
    }
    StringSink sink;
    EXPECT_EQ(reader->Extract(i, sink), ZipStatus::kOk);
    EXPECT_TRUE(sink.bytes == content);
  }
}

}  // namespace

TEST(ZipPythonFixtures, StoredDeflatedAndDirectoryEntries) {
  ExpectFixture(zipfixtures::kMixedArchive, zipfixtures::kMixedEntries);
}

TEST(ZipPythonFixtures, StreamedEntriesWithDataDescriptors) {
  ExpectFixture(zipfixtures::kStreamedArchive, zipfixtures::kStreamedEntries);
}

TEST(ZipPythonFixtures, Zip64RecordsAndExtraFields) {
  ExpectFixture(zipfixtures::kZip64Archive, zipfixtures::kZip64Entries);
  auto reader = ZipReader::Open(
      std::make_unique<orvex_update::MemoryZipSource>(zipfixtures::kZip64Archive, sizeof zipfixtures::kZip64Archive));
  ASSERT_TRUE(reader);
  EXPECT_TRUE(reader->IsZip64());
}

TEST(ZipPythonFixtures, LongestCommentWithAFakeSignature) {
  ExpectFixture(zipfixtures::kLongCommentArchive, zipfixtures::kLongCommentEntries);
}

TEST(ZipPythonFixtures, UnixSymlinkEntry) { ExpectFixture(zipfixtures::kSymlinkArchive, zipfixtures::kSymlinkEntries); }
