#include "update/apply/Delta.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "WinTestUtil.h"
#include "update/disk/Digest.h"

namespace fs = std::filesystem;
using orvex_update::ManifestFile;
using orvex_update::RebuildFromDelta;
using testutil::ReadBytes;
using testutil::ScratchFolder;
using testutil::WriteBytes;

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr char kNeedsOriginal[] = "The patch needs the original game archive in the client folder.";
constexpr char kRange[] = "Invalid delta range.";
constexpr char kIncomplete[] = "The game archive or patch data is incomplete.";
constexpr char kWrongBase[] =
    "This patch requires a compatible ORVEX/Halvane 2369 base. The existing game archive was left intact.";

Bytes ToBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

std::string DigestText(const Bytes& bytes) {
  orvex_update::Digest digest{};
  EXPECT_TRUE(orvex_update::Sha256Buffer(bytes.data(), bytes.size(), digest));
  return orvex_update::HexDigest(digest);
}

void PutLe(Bytes& out, std::uint64_t value, int width) {
  for (int i = 0; i < width; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

struct Range {
  std::uint64_t offset;
  Bytes bytes;
};

Bytes MakeDelta(const std::vector<Range>& ranges, std::int64_t count = -1) {
  Bytes out = ToBytes("ORDELTA1");
  PutLe(out, count < 0 ? ranges.size() : static_cast<std::uint64_t>(count), 4);
  for (const Range& range : ranges) {
    PutLe(out, range.offset, 8);
    PutLe(out, range.bytes.size(), 4);
    out.insert(out.end(), range.bytes.begin(), range.bytes.end());
  }
  return out;
}

// A client folder with ui/ui.src and a staging folder holding its delta, the
// way the installer lays them out.
class DeltaRebuild : public ::testing::Test {
 protected:
  ScratchFolder scratch_{"delta"};
  fs::path client_ = scratch_.Path() / "Client" / "ui" / "ui.src";
  fs::path delta_ = scratch_.Path() / "files" / "ui" / "ui.src.ord";
  fs::path output_ = scratch_.Path() / "files" / "ui" / "ui.src";
  std::vector<std::string> progress_;

  void SetUp() override {
    fs::create_directories(client_.parent_path());
    fs::create_directories(output_.parent_path());
  }

  static ManifestFile EntryFor(const Bytes& target) { return {"ui/ui.src", DigestText(target), target.size()}; }

  void Rebuild(const Bytes& target) {
    RebuildFromDelta(client_, delta_, output_, EntryFor(target),
                     [this](const std::string& text) { progress_.push_back(text); });
  }

  std::string ErrorOf(const Bytes& target) {
    try {
      Rebuild(target);
    } catch (const std::exception& error) {
      return error.what();
    }
    return "(no exception)";
  }

  // Writes base and delta, rebuilds target, and checks the output and what
  // the rebuild tells of the two files.
  void ExpectRebuilds(const Bytes& base, const std::vector<Range>& ranges, const Bytes& target) {
    WriteBytes(client_, base);
    WriteBytes(delta_, MakeDelta(ranges));
    orvex_update::RebuiltFile rebuilt;
    ASSERT_NO_THROW(RebuildFromDelta(
        client_, delta_, output_, EntryFor(target), [this](const std::string& text) { progress_.push_back(text); },
        rebuilt));
    EXPECT_EQ(ReadBytes(output_), target);
    EXPECT_EQ(ReadBytes(client_), base) << "the client file is only read";
    // What the install takes instead of hashing again: the output as written
    // and the whole client file, the stretches the ranges replace included.
    EXPECT_EQ(rebuilt.output.sha256, DigestText(target));
    EXPECT_EQ(rebuilt.base.sha256, DigestText(base));
    EXPECT_EQ(rebuilt.output.identity.size, target.size());
    // The client file's digest holds for the file it was taken from (the
    // journal records it with that size).
    EXPECT_EQ(rebuilt.base.identity.size, base.size());
  }
};

}  // namespace

TEST_F(DeltaRebuild, ClientAlreadyAtTargetIsCopiedWithoutReadingTheDelta) {
  const Bytes target = ToBytes("already patched archive");
  WriteBytes(client_, target);
  WriteBytes(delta_, ToBytes("garbage that is not a delta"));
  ASSERT_NO_THROW(Rebuild(target));
  EXPECT_EQ(ReadBytes(output_), target);
  EXPECT_TRUE(progress_.empty());
  // Not even a missing delta matters then.
  fs::remove(delta_);
  fs::remove(output_);
  ASSERT_NO_THROW(Rebuild(target));
  EXPECT_EQ(ReadBytes(output_), target);
}

TEST_F(DeltaRebuild, ClientAtTargetWinsOverADeltaDamagedPastItsFirstRange) {
  // The first range differs from the client file, which is the target all
  // the same; the delta's later damage must not fail the install.
  const Bytes target = ToBytes("already patched archive");
  WriteBytes(client_, target);
  Bytes delta = MakeDelta({{0, ToBytes("XY")}});
  delta.push_back('!');
  WriteBytes(delta_, delta);
  ASSERT_NO_THROW(Rebuild(target));
  EXPECT_EQ(ReadBytes(output_), target);
}

TEST_F(DeltaRebuild, CopyRefusesAnExistingOutput) {
  const Bytes target = ToBytes("already patched archive");
  WriteBytes(client_, target);
  WriteBytes(output_, ToBytes("left over"));
  EXPECT_EQ(ErrorOf(target).rfind("copy_file", 0), 0u) << ErrorOf(target);
}

TEST_F(DeltaRebuild, PatchesRangesAndReportsOnce) {
  ExpectRebuilds(ToBytes("0123456789"), {{3, ToBytes("ab")}, {9, ToBytes("Z")}}, ToBytes("012ab5678Z"));
  ASSERT_EQ(progress_.size(), 1u);
  EXPECT_EQ(progress_[0], "Rebuilding ui/ui.src from the existing client...");
}

TEST_F(DeltaRebuild, WorksWithoutAProgressReporter) {
  WriteBytes(client_, ToBytes("0123456789"));
  WriteBytes(delta_, MakeDelta({{0, ToBytes("x")}}));
  const Bytes target = ToBytes("x123456789");
  ASSERT_NO_THROW(RebuildFromDelta(client_, delta_, output_, EntryFor(target), {}));
  EXPECT_EQ(ReadBytes(output_), target);
}

TEST_F(DeltaRebuild, DeltaAloneStillNeedsTheClientFile) {
  const Bytes target = ToBytes("entirely new bytes");
  ExpectRebuilds(ToBytes("old"), {{0, target}}, target);

  fs::remove(output_);
  fs::remove(client_);
  EXPECT_EQ(ErrorOf(target), kNeedsOriginal);
  EXPECT_FALSE(fs::exists(output_)) << "nothing is created when an input is missing";
}

TEST_F(DeltaRebuild, MissingDeltaOrUncreatableOutput) {
  const Bytes target = ToBytes("x123");
  WriteBytes(client_, ToBytes("0123"));
  EXPECT_EQ(ErrorOf(target), kNeedsOriginal);

  WriteBytes(delta_, MakeDelta({{0, ToBytes("x")}}));
  output_ = scratch_.Path() / "no-such-folder" / "ui.src";
  EXPECT_EQ(ErrorOf(target), kNeedsOriginal);
}

TEST_F(DeltaRebuild, AdjacentRangesAcceptedOverlapRefused) {
  ExpectRebuilds(ToBytes("0123456789"), {{2, ToBytes("ab")}, {4, ToBytes("cd")}}, ToBytes("01abcd6789"));
  WriteBytes(delta_, MakeDelta({{2, ToBytes("ab")}, {3, ToBytes("cd")}}));
  EXPECT_EQ(ErrorOf(ToBytes("01abcd6789")), kRange);
}

TEST_F(DeltaRebuild, RangeEndingAtTheTargetSize) {
  ExpectRebuilds(ToBytes("0123456789"), {{8, ToBytes("xy")}}, ToBytes("01234567xy"));
  WriteBytes(delta_, MakeDelta({{9, ToBytes("xy")}}));
  EXPECT_EQ(ErrorOf(ToBytes("01234567xy")), kRange);
}

TEST_F(DeltaRebuild, RecordCountLimit) {
  std::vector<Range> ranges;
  Bytes target;
  for (std::uint32_t i = 0; i < 100000; ++i) {
    ranges.push_back({i, {static_cast<std::uint8_t>(i % 251)}});
    target.push_back(static_cast<std::uint8_t>(i % 251));
  }
  ExpectRebuilds(Bytes(100000, 0), ranges, target);

  ranges.push_back({100000, {1}});
  target.push_back(1);
  WriteBytes(delta_, MakeDelta(ranges));
  EXPECT_EQ(ErrorOf(target), "Invalid delta archive entry count.");
}

TEST_F(DeltaRebuild, HeaderFaults) {
  WriteBytes(client_, ToBytes("0123456789"));
  WriteBytes(delta_, ToBytes("ORDELT"));
  EXPECT_EQ(ErrorOf(ToBytes("x123456789")), "Invalid delta archive header.");
  WriteBytes(delta_, MakeDelta({{0, ToBytes("x")}}, 0));
  EXPECT_EQ(ErrorOf(ToBytes("x123456789")), "Invalid delta archive entry count.");
}

TEST_F(DeltaRebuild, ClientShorterThanTheTarget) {
  // The tail is new data: fine.
  ExpectRebuilds(ToBytes("0123"), {{4, ToBytes("456")}}, ToBytes("0123456"));
  // Nothing covers the missing tail.
  WriteBytes(delta_, MakeDelta({{0, ToBytes("x")}}));
  EXPECT_EQ(ErrorOf(ToBytes("x123456")), kIncomplete);
}

TEST_F(DeltaRebuild, ClientLongerThanTheTargetIsCut) {
  ExpectRebuilds(ToBytes("0123456789"), {{1, ToBytes("x")}}, ToBytes("0x23"));
}

TEST_F(DeltaRebuild, ExtraByteAfterTheLastRecord) {
  WriteBytes(client_, ToBytes("0123456789"));
  Bytes delta = MakeDelta({{3, ToBytes("ab")}});
  delta.push_back('!');
  WriteBytes(delta_, delta);
  EXPECT_EQ(ErrorOf(ToBytes("012ab56789")), "Unexpected data in delta archive.");
}

TEST_F(DeltaRebuild, WrongBaseLeavesTheClientFileIntact) {
  // The delta was made against "0123456789"; this client has other bytes
  // where the delta copies from the base.
  const Bytes client = ToBytes("0123456-89");
  WriteBytes(client_, client);
  WriteBytes(delta_, MakeDelta({{3, ToBytes("ab")}}));
  EXPECT_EQ(ErrorOf(ToBytes("012ab56789")), kWrongBase);
  EXPECT_EQ(ReadBytes(client_), client);
}

TEST_F(DeltaRebuild, LargeArchiveAcrossBufferBoundaries) {
  std::mt19937 random(4242);
  Bytes base(5 * 262144 + 123);
  for (auto& byte : base) byte = static_cast<std::uint8_t>(random());
  Bytes target(base.begin(), base.end() - 1000);  // the new archive is a little shorter
  std::vector<Range> ranges;
  for (std::uint64_t offset : {0ULL, 262140ULL, 600000ULL, 1048570ULL}) {
    Range range{offset, Bytes(offset == 600000 ? 300000 : 17)};
    for (auto& byte : range.bytes) byte = static_cast<std::uint8_t>(random());
    std::copy(range.bytes.begin(), range.bytes.end(), target.begin() + static_cast<std::ptrdiff_t>(offset));
    ranges.push_back(range);
  }
  ExpectRebuilds(base, ranges, target);
}
