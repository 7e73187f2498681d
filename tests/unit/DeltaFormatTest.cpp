#include "update/apply/DeltaFormat.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

using orvex_update::ApplyDeltaStreams;
using orvex_update::DeltaEntryTarget;
using orvex_update::DeltaStreams;
using orvex_update::IsDeltaEntrySizeAllowed;
using orvex_update::IsDeltaTarget;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes ToBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

void PutLe(Bytes& out, std::uint64_t value, int width) {
  for (int i = 0; i < width; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

struct Range {
  std::uint64_t offset;
  Bytes bytes;
  std::uint32_t declaredLength = 0;  // 0: the real length
};

// A delta entry in the wire layout; count overrides the record count field.
Bytes MakeDelta(const std::vector<Range>& ranges, std::int64_t count = -1) {
  Bytes out = ToBytes("ORDELTA1");
  PutLe(out, count < 0 ? ranges.size() : static_cast<std::uint64_t>(count), 4);
  for (const Range& range : ranges) {
    PutLe(out, range.offset, 8);
    PutLe(out, range.declaredLength != 0 ? range.declaredLength : range.bytes.size(), 4);
    out.insert(out.end(), range.bytes.begin(), range.bytes.end());
  }
  return out;
}

// Memory-backed streams that record how they were used and can misbehave.
class MemoryStreams final : public DeltaStreams {
 public:
  MemoryStreams(Bytes base, Bytes delta) : base_(std::move(base)), delta_(std::move(delta)) {}

  std::size_t ReadDelta(std::uint8_t* data, std::size_t length) override {
    return Read(delta_, deltaPosition_, data, length);
  }
  bool SeekBase(std::uint64_t offset) override {
    ++seeks;
    if (failSeek) return false;
    basePosition_ = offset;
    return true;
  }
  std::size_t ReadBase(std::uint8_t* data, std::size_t length) override {
    return Read(base_, basePosition_, data, length);
  }
  bool WriteOutput(const std::uint8_t* data, std::size_t length) override {
    largestRequest = std::max(largestRequest, length);
    if (output.size() + length > failWritesAfter) return false;
    output.insert(output.end(), data, data + length);
    return true;
  }

  Bytes output;
  int seeks = 0;
  bool failSeek = false;
  std::size_t failWritesAfter = std::numeric_limits<std::size_t>::max();
  std::size_t trickle = 0;  // when set, reads hand out at most this many bytes
  std::size_t largestRequest = 0;

 private:
  std::size_t Read(const Bytes& source, std::uint64_t& position, std::uint8_t* data, std::size_t length) {
    largestRequest = std::max(largestRequest, length);
    if (position >= source.size()) return 0;
    std::size_t n = std::min<std::size_t>(length, source.size() - position);
    if (trickle != 0) n = std::min(n, trickle);
    std::copy_n(source.begin() + static_cast<std::ptrdiff_t>(position), n, data);
    position += n;
    return n;
  }

  Bytes base_;
  Bytes delta_;
  std::uint64_t basePosition_ = 0;
  std::uint64_t deltaPosition_ = 0;
};

std::string ErrorOf(MemoryStreams& streams, std::uint64_t targetSize) {
  try {
    ApplyDeltaStreams(streams, targetSize);
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "";
}

std::string ErrorOf(const Bytes& base, const Bytes& delta, std::uint64_t targetSize) {
  MemoryStreams streams(base, delta);
  return ErrorOf(streams, targetSize);
}

Bytes Apply(const Bytes& base, const Bytes& delta, std::uint64_t targetSize) {
  MemoryStreams streams(base, delta);
  ApplyDeltaStreams(streams, targetSize);
  return streams.output;
}

const std::string kRange = "Invalid delta range.";
const std::string kIncomplete = "The game archive or patch data is incomplete.";

}  // namespace

TEST(DeltaTarget, OnlyTheFourGameArchivesInAnyCase) {
  for (const char* path : {"ui/ui.src", "fx/fx.src", "object/object.src", "item/item.src", "UI/UI.SRC", "Item/Item.Src",
                           "OBJECT/object.SRC"}) {
    EXPECT_TRUE(IsDeltaTarget(path)) << path;
  }
  for (const char* path : {"", "ui.src", "ui/ui.src.ord", "data/ui/ui.src", "ui\\ui.src", "ui/ui.sr", "ui/ui.src ",
                           "/ui/ui.src", "ui/fx.src", "fx/fx.src/"}) {
    EXPECT_FALSE(IsDeltaTarget(path)) << path;
  }
}

TEST(DeltaTarget, EntryNamesKeepTheArchiveLetterCase) {
  EXPECT_EQ(DeltaEntryTarget("ui/ui.src.ord"), "ui/ui.src");
  EXPECT_EQ(DeltaEntryTarget("Object/OBJECT.src.ORD"), "Object/OBJECT.src");
  EXPECT_EQ(DeltaEntryTarget("item/item.src.Ord"), "item/item.src");
  for (const char* name : {"", ".ord", "ord", "ui/ui.src", "ui/ui.srcord", "ui/ui.src.ord.ord", "data/a.tbl.ord",
                           "ui/ui.src.orc", "x/ui/ui.src.ord"}) {
    EXPECT_FALSE(DeltaEntryTarget(name).has_value()) << name;
  }
}

TEST(DeltaTarget, EntrySizeBounds) {
  EXPECT_FALSE(IsDeltaEntrySizeAllowed(23, 1000));
  EXPECT_TRUE(IsDeltaEntrySizeAllowed(24, 1000));
  EXPECT_TRUE(IsDeltaEntrySizeAllowed(24, 0));
  EXPECT_TRUE(IsDeltaEntrySizeAllowed(1000 + 2097152, 1000));
  EXPECT_FALSE(IsDeltaEntrySizeAllowed(1000 + 2097153, 1000));
  // No wrap-around for absurd sizes from a hostile central directory.
  constexpr auto kMax = std::numeric_limits<std::uint64_t>::max();
  EXPECT_TRUE(IsDeltaEntrySizeAllowed(kMax, kMax));
  EXPECT_FALSE(IsDeltaEntrySizeAllowed(kMax, 8589934592ULL));
}

TEST(DeltaHeader, MagicAndCount) {
  const Bytes base = ToBytes("abcdef");
  const std::string header = "Invalid delta archive header.";
  const std::string count = "Invalid delta archive entry count.";
  EXPECT_EQ(ErrorOf(base, {}, 6), header);
  EXPECT_EQ(ErrorOf(base, ToBytes("ORDELTA"), 6), header);
  EXPECT_EQ(ErrorOf(base, ToBytes(std::string("ORDELTA2\x01\0\0\0", 12)), 6), header);
  EXPECT_EQ(ErrorOf(base, ToBytes("ordelta1"), 6), header);
  EXPECT_EQ(ErrorOf(base, ToBytes("ORDELTA1"), 6), count);
  EXPECT_EQ(ErrorOf(base, ToBytes(std::string("ORDELTA1\x01\0", 10)), 6), count);
  EXPECT_EQ(ErrorOf(base, MakeDelta({}, 0), 6), count);
  EXPECT_EQ(ErrorOf(base, MakeDelta({{0, ToBytes("x")}}, 100001), 6), count);
  EXPECT_EQ(ErrorOf(base, MakeDelta({{0, ToBytes("x")}}, 0xFFFFFFFF), 6), count);
}

TEST(DeltaHeader, MaximumRecordCountIsAccepted) {
  std::vector<Range> ranges;
  Bytes expected;
  for (std::uint32_t i = 0; i < 100000; ++i) {
    ranges.push_back({i * 2ULL, {static_cast<std::uint8_t>(i)}});
    expected.push_back(static_cast<std::uint8_t>(i));
    expected.push_back('.');
  }
  const Bytes base(200000, '.');
  EXPECT_EQ(Apply(base, MakeDelta(ranges), 200000), expected);
}

TEST(DeltaRanges, PatchesBetweenUnchangedStretches) {
  EXPECT_EQ(Apply(ToBytes("0123456789"), MakeDelta({{3, ToBytes("ab")}, {9, ToBytes("Z")}}), 10),
            ToBytes("012ab5678Z"));
}

TEST(DeltaRanges, AdjacentRangesAcceptedOverlapRefused) {
  const Bytes base = ToBytes("0123456789");
  EXPECT_EQ(Apply(base, MakeDelta({{2, ToBytes("ab")}, {4, ToBytes("cd")}}), 10), ToBytes("01abcd6789"));
  EXPECT_EQ(ErrorOf(base, MakeDelta({{2, ToBytes("ab")}, {3, ToBytes("cd")}}), 10), kRange);
  EXPECT_EQ(ErrorOf(base, MakeDelta({{5, ToBytes("ab")}, {1, ToBytes("cd")}}), 10), kRange);
  // The same offset twice is an overlap too.
  EXPECT_EQ(ErrorOf(base, MakeDelta({{5, ToBytes("a")}, {5, ToBytes("b")}}), 10), kRange);
}

TEST(DeltaRanges, MustLieInsideTheSignedSize) {
  const Bytes base = ToBytes("0123456789");
  EXPECT_EQ(Apply(base, MakeDelta({{8, ToBytes("xy")}}), 10), ToBytes("01234567xy"));
  EXPECT_EQ(ErrorOf(base, MakeDelta({{9, ToBytes("xy")}}), 10), kRange);
  EXPECT_EQ(ErrorOf(base, MakeDelta({{10, ToBytes("x")}}), 10), kRange);
  EXPECT_EQ(ErrorOf(base, MakeDelta({{11, ToBytes("x")}}), 10), kRange);
  // offset + length would wrap to a small number.
  EXPECT_EQ(ErrorOf(base, MakeDelta({{0xFFFFFFFFFFFFFFF0ULL, ToBytes("x"), 0x20}}), 10), kRange);
  // An empty target can carry no record at all.
  EXPECT_EQ(ErrorOf(base, MakeDelta({{0, ToBytes("x")}}), 0), kRange);
}

TEST(DeltaRanges, EmptyOrTruncatedRecordsAreRefused) {
  const Bytes base = ToBytes("0123456789");
  Bytes zeroLength = MakeDelta({{3, {}}});
  EXPECT_EQ(ErrorOf(base, zeroLength, 10), kRange);
  // Count says two, only one record follows.
  EXPECT_EQ(ErrorOf(base, MakeDelta({{1, ToBytes("a")}}, 2), 10), kRange);
  // Record header cut in the middle of its length field.
  Bytes cut = MakeDelta({{1, ToBytes("a")}});
  cut.resize(orvex_update::kDeltaHeaderSize + 10);
  EXPECT_EQ(ErrorOf(base, cut, 10), kRange);
}

TEST(DeltaRanges, RangeIsCheckedBeforeAnyOfItsBytesAreWritten) {
  MemoryStreams streams(ToBytes("0123456789"), MakeDelta({{2, ToBytes("ab")}, {9, ToBytes("xyz")}}));
  EXPECT_EQ(ErrorOf(streams, 10), kRange);
  EXPECT_EQ(streams.output, ToBytes("01ab"));
}

TEST(DeltaCopy, DeltaAloneProducesTheTarget) {
  MemoryStreams streams({}, MakeDelta({{0, ToBytes("whole")}}));
  ApplyDeltaStreams(streams, 5);
  EXPECT_EQ(streams.output, ToBytes("whole"));
  EXPECT_EQ(streams.seeks, 0);
}

TEST(DeltaCopy, BaseShorterThanTarget) {
  // The missing tail is covered by a record: the target grows.
  EXPECT_EQ(Apply(ToBytes("0123"), MakeDelta({{4, ToBytes("456")}}), 7), ToBytes("0123456"));
  // Nothing covers the tail: the client file is not the base the delta needs.
  EXPECT_EQ(ErrorOf(ToBytes("0123"), MakeDelta({{0, ToBytes("a")}}), 7), kIncomplete);
  // A gap that runs past the end of the base, before a later record.
  EXPECT_EQ(ErrorOf(ToBytes("0123"), MakeDelta({{6, ToBytes("a")}}), 7), kIncomplete);
}

TEST(DeltaCopy, BaseLongerThanTargetIsCut) {
  EXPECT_EQ(Apply(ToBytes("0123456789"), MakeDelta({{1, ToBytes("x")}}), 4), ToBytes("0x23"));
}

TEST(DeltaCopy, DeltaShorterThanItsRecord) {
  EXPECT_EQ(ErrorOf(ToBytes("0123456789"), MakeDelta({{2, ToBytes("ab"), 3}}), 10), kIncomplete);
}

TEST(DeltaCopy, TrailingBytesAfterTheLastRecord) {
  Bytes delta = MakeDelta({{2, ToBytes("ab")}});
  delta.push_back(0);
  EXPECT_EQ(ErrorOf(ToBytes("0123456789"), delta, 10), "Unexpected data in delta archive.");
  // A whole extra record that the count does not announce is trailing data too.
  Bytes extraRecord = MakeDelta({{2, ToBytes("ab")}, {5, ToBytes("c")}}, 1);
  EXPECT_EQ(ErrorOf(ToBytes("0123456789"), extraRecord, 10), "Unexpected data in delta archive.");
}

TEST(DeltaCopy, OutputAndSeekFailures) {
  MemoryStreams failingWrite(ToBytes("0123456789"), MakeDelta({{2, ToBytes("ab")}}));
  failingWrite.failWritesAfter = 3;
  EXPECT_EQ(ErrorOf(failingWrite, 10), "Cannot write the rebuilt game archive.");

  MemoryStreams failingSeek(ToBytes("0123456789"), MakeDelta({{2, ToBytes("ab")}}));
  failingSeek.failSeek = true;
  EXPECT_EQ(ErrorOf(failingSeek, 10), kIncomplete);
}

TEST(DeltaCopy, ShortReadsBeforeTheEndAreNotTruncation) {
  MemoryStreams streams(ToBytes("0123456789"), MakeDelta({{3, ToBytes("abcd")}}));
  streams.trickle = 3;
  ApplyDeltaStreams(streams, 10);
  EXPECT_EQ(streams.output, ToBytes("012abcd789"));
}

TEST(DeltaCopy, LargeTargetStreamsThroughOneBufferWithOneSeekPerGap) {
  constexpr std::size_t kSize = 3 * 262144 + 17;
  Bytes base(kSize);
  for (std::size_t i = 0; i < kSize; ++i) base[i] = static_cast<std::uint8_t>(i * 7 + 3);
  Bytes target = base;
  // A range that straddles a buffer boundary and one longer than the buffer.
  const Bytes small(100, 0xAA);
  const Bytes large(262144 + 5, 0x55);
  std::copy(small.begin(), small.end(), target.begin() + 262100);
  std::copy(large.begin(), large.end(), target.begin() + 400000);
  MemoryStreams streams(base, MakeDelta({{262100, small}, {400000, large}}));
  ApplyDeltaStreams(streams, kSize);
  EXPECT_EQ(streams.output, target);
  EXPECT_EQ(streams.seeks, 3);  // before each record and for the tail
  EXPECT_LE(streams.largestRequest, orvex_update::kDeltaCopyBufferSize);
}

// Random targets from random edits of a random base, rebuilt through deltas
// made the straightforward way, must come back byte for byte.
TEST(DeltaCopy, RandomEditsRoundTrip) {
  std::mt19937 random(20240611);
  for (int round = 0; round < 200; ++round) {
    Bytes base(random() % 3000);
    for (auto& byte : base) byte = static_cast<std::uint8_t>(random());
    const std::size_t targetSize = random() % 3000 + 1;
    Bytes target(targetSize);
    for (std::size_t i = 0; i < targetSize; ++i) target[i] = i < base.size() ? base[i] : 0;
    std::vector<Range> ranges;
    std::uint64_t position = 0;
    std::uint64_t baseNeeded = 0;  // end of the last stretch taken from the base
    while (position < targetSize) {
      const std::uint64_t offset = position + random() % 200;
      if (offset >= targetSize) break;
      const std::uint64_t length = std::min<std::uint64_t>(random() % 150 + 1, targetSize - offset);
      Range range{offset, Bytes(length)};
      for (auto& byte : range.bytes) byte = static_cast<std::uint8_t>(random());
      std::copy(range.bytes.begin(), range.bytes.end(), target.begin() + static_cast<std::ptrdiff_t>(offset));
      ranges.push_back(range);
      if (offset > position) baseNeeded = offset;
      position = offset + length;
    }
    if (ranges.empty()) continue;
    if (position < targetSize) baseNeeded = targetSize;
    MemoryStreams streams(base, MakeDelta(ranges));
    streams.trickle = random() % 2 == 0 ? 0 : random() % 64 + 1;
    const std::string error = ErrorOf(streams, targetSize);
    if (baseNeeded > base.size()) {
      EXPECT_EQ(error, kIncomplete) << "round " << round;
    } else {
      EXPECT_EQ(error, "") << "round " << round;
      EXPECT_EQ(streams.output, target) << "round " << round;
    }
  }
}
