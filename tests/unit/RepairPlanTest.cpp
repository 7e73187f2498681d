#include "update/repair/RepairPlan.h"

#include <gtest/gtest.h>

#include <string>

namespace orvex_update {
namespace {

std::string Digit(char c) { return std::string(64, c); }

RepairCatalogue NineEntries() {
  RepairCatalogue catalogue;
  for (char c : std::string("012345678")) catalogue.insert(Digit(c));
  return catalogue;
}

TEST(RepairCatalogue, OrdersByBytesAndKeepsEachDigestOnce) {
  RepairCatalogue catalogue{Digit('b'), Digit('0'), Digit('a'), Digit('9'), Digit('a')};
  EXPECT_EQ(RepairCatalogueText(catalogue),
            Digit('0') + "\n" + Digit('9') + "\n" + Digit('a') + "\n" + Digit('b') + "\n");
  EXPECT_EQ(RepairCatalogueText({}), "");
}

TEST(RepairBitmap, NineEntriesAskingForTheLastGiveTwoBytes) {
  const auto bitmap = RepairBitmap(NineEntries(), {Digit('8')});
  ASSERT_EQ(bitmap.size(), 2u);
  EXPECT_EQ(LowerHex(bitmap), "0001");
}

TEST(RepairBitmap, BitsCountFromTheLeastSignificantBitOfByteZero) {
  EXPECT_EQ(LowerHex(RepairBitmap(NineEntries(), {Digit('0')})), "0100");
  EXPECT_EQ(LowerHex(RepairBitmap(NineEntries(), {Digit('7')})), "8000");
  EXPECT_EQ(LowerHex(RepairBitmap(NineEntries(), {Digit('1'), Digit('3'), Digit('8')})), "0a01");
  // A digest outside the catalogue sets nothing.
  EXPECT_EQ(LowerHex(RepairBitmap(NineEntries(), {Digit('f')})), "0000");
}

TEST(RepairBitmap, SizeIsCeilingOfEntriesOverEight) {
  RepairCatalogue catalogue;
  EXPECT_TRUE(RepairBitmap(catalogue, {}).empty());
  for (char c : std::string("01234567")) catalogue.insert(Digit(c));
  EXPECT_EQ(RepairBitmap(catalogue, {}).size(), 1u);
  catalogue.insert(Digit('8'));
  EXPECT_EQ(RepairBitmap(catalogue, {}).size(), 2u);
}

TEST(RepairRequest, BodyHasSixLinesEachEndedByALineFeed) {
  const std::string prefix = RepairRequestPrefix(2372, Digit('c'), {0x0a, 0x01});
  EXPECT_EQ(prefix, "2372\nBITS\n" + Digit('c') + "\n0a01\n");
  EXPECT_EQ(RepairSegmentBody(prefix, 134217728, 1), prefix + "134217728\n1\n");
  EXPECT_EQ(RepairSegmentBody(prefix, 0, 0), prefix + "0\n0\n");
  EXPECT_EQ(RepairSegmentBody("", 18446744073709551615ULL, 7), "18446744073709551615\n7\n");
}

TEST(RepairSegments, ExactlyOneSegmentSizeIsOneDirectRequest) {
  EXPECT_EQ(RepairSegments(kRepairSegmentSize), (std::vector<RepairSegment>{{0, kRepairSegmentSize}}));
  EXPECT_FALSE(RepairUsesPortion(kRepairSegmentSize));
  EXPECT_FALSE(RepairUsesPortion(1));
}

TEST(RepairSegments, OneByteMoreGoesThroughPortionInTwoRequests) {
  EXPECT_EQ(RepairSegments(kRepairSegmentSize + 1),
            (std::vector<RepairSegment>{{0, kRepairSegmentSize}, {kRepairSegmentSize, 1}}));
  EXPECT_TRUE(RepairUsesPortion(kRepairSegmentSize + 1));
}

TEST(RepairSegments, EmptyBatchMakesNoRequest) {
  EXPECT_TRUE(RepairSegments(0).empty());
  EXPECT_TRUE(RepairUsesPortion(0));
}

TEST(RepairSegments, LargestRepairIsCoveredWithoutGapOrOverlap) {
  const auto segments = RepairSegments(kMaxRepairBytes);
  ASSERT_EQ(segments.size(), 64u);
  std::uint64_t next = 0;
  for (const RepairSegment& segment : segments) {
    EXPECT_EQ(segment.offset, next);
    EXPECT_EQ(segment.length, kRepairSegmentSize);
    next += segment.length;
  }
  EXPECT_EQ(next, kMaxRepairBytes);
}

TEST(RepairSlices, ObjectsFollowEachOtherInTheGivenOrder) {
  EXPECT_EQ(RepairSlices({{Digit('1'), 10}, {Digit('2'), 0}, {Digit('3'), 5}}),
            (std::vector<RepairSlice>{{Digit('1'), 0, 10}, {Digit('2'), 10, 0}, {Digit('3'), 10, 5}}));
  EXPECT_TRUE(RepairSlices({}).empty());
}

TEST(RepairSpace, NeedsTwiceThePayloadPlusMargin) {
  const std::uint64_t total = 1000;
  const std::uint64_t needed = 2 * (total + kRepairSpaceMargin);
  EXPECT_TRUE(RepairSpaceSufficient(needed, total));
  EXPECT_TRUE(RepairSpaceSufficient(needed + 1, total));
  EXPECT_FALSE(RepairSpaceSufficient(needed - 1, total));
  EXPECT_FALSE(RepairSpaceSufficient(0, 0));
  EXPECT_TRUE(RepairSpaceSufficient(2 * kRepairSpaceMargin, 0));
}

TEST(RepairSpace, HugeValuesDoNotWrap) {
  const std::uint64_t max = ~std::uint64_t{0};
  EXPECT_FALSE(RepairSpaceSufficient(1ULL << 40, max));
  EXPECT_FALSE(RepairSpaceSufficient(max, max / 2));
  EXPECT_TRUE(RepairSpaceSufficient(max, max / 2 - kRepairSpaceMargin));
}

TEST(RepairName, AcceptsOrdinaryRelativeNames) {
  for (const char* name : {"Launcher.exe", "data/item.tbl", "ORVEX/Launcher/ui.dll", "a//b", ".hidden", "dir/.x",
                           "Y\xc3\xb6netim.v7anim", "data/Server.ini", "data/.orvex-update/x"}) {
    EXPECT_EQ(ClassifyRepairName(name), RepairNameFault::kNone) << name;
  }
}

TEST(RepairName, RefusesEmptyNamesAndReservedCharacters) {
  // The settings and the update area are never a repair's to write, as they
  // are never an install's.
  for (const char* name : {"", "a\\b", "C:x", "a*", "a?", "a\"b", "a<b", "a>b", "a|b", "/abs\\x", "Server.ini",
                           "OPTION.INI", "scheduler.ini", "orvex_diagnostic.ini", "SERVER~1.INI",
                           ".orvex-update/current/journal", ".ORVEX-UPDATE//update.lock", ".orvex-updatex"}) {
    EXPECT_EQ(ClassifyRepairName(name), RepairNameFault::kInvalid) << name;
  }
}

TEST(RepairName, ReportsMalformedUtf8AndNulForTheWideningStep) {
  EXPECT_EQ(ClassifyRepairName("bad\xff"), RepairNameFault::kNotUtf8);
  EXPECT_EQ(ClassifyRepairName("over\xc0\xaflong"), RepairNameFault::kNotUtf8);
  EXPECT_EQ(ClassifyRepairName(std::string_view("a\0b", 3)), RepairNameFault::kNotUtf8);
}

TEST(RepairName, RefusesRootedNames) {
  EXPECT_EQ(ClassifyRepairName("/etc/passwd"), RepairNameFault::kAbsolute);
  EXPECT_EQ(ClassifyRepairName("//server/share/x"), RepairNameFault::kAbsolute);
}

TEST(RepairName, RefusesUnsafeComponents) {
  for (const char* name :
       {"dir/", "a//", ".", "..", "../x", "a/../b", "a/./b", "dir./x", "x/file.", "dir /x", "file "}) {
    EXPECT_EQ(ClassifyRepairName(name), RepairNameFault::kUnsafe) << name;
  }
}

TEST(RepairCheckStatus, TextAndThrottle) {
  EXPECT_EQ(RepairCheckStatus(3, 12, "data/item.tbl"), "Checking files... 3/12 - data/item.tbl");
  EXPECT_TRUE(RepairCheckStatusDue(1, 1000, 1000));
  EXPECT_FALSE(RepairCheckStatusDue(2, 1099, 1000));
  EXPECT_TRUE(RepairCheckStatusDue(2, 1100, 1000));
  // A clock that seems to run backwards shows nothing rather than wrapping.
  EXPECT_FALSE(RepairCheckStatusDue(2, 900, 1000));
}

}  // namespace
}  // namespace orvex_update
