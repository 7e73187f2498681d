#include "update/apply/JournalFormat.h"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace orvex_update;

namespace {

const std::string kDigest(64, 'a');

std::vector<ManifestFile> TwoFiles() { return {{"data/a.tbl", kDigest, 1024}, {"data/new.dds", kDigest, 7}}; }

std::string Valid() {
  return JournalHeader(2383) + JournalLineExisting("data/a.tbl", 1024, kDigest) + JournalLineAbsent("data/new.dds");
}

std::string ErrorOf(const std::string& text, const std::vector<ManifestFile>& files = TwoFiles()) {
  try {
    ParseJournal(text, files);
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "";
}

}  // namespace

TEST(JournalFormat, WrittenLinesParseBack) {
  EXPECT_EQ(Valid(), "ORVEX-JOURNAL-1\n2383\ndata/a.tbl\t1\t1024\t" + kDigest + "\ndata/new.dds\t0\t0\t-\n");
  const Journal journal = ParseJournal(Valid(), TwoFiles());
  EXPECT_EQ(journal.previousVersion, 2383u);
  ASSERT_EQ(journal.entries.size(), 2u);
  EXPECT_EQ(journal.entries[0], (JournalEntry{true, 1024, kDigest}));
  EXPECT_EQ(journal.entries[1], (JournalEntry{false, 0, "-"}));
}

TEST(JournalFormat, DamagedHeaderOrVersion) {
  EXPECT_EQ(ErrorOf(""), "Update journal is damaged.");
  EXPECT_EQ(ErrorOf("ORVEX-JOURNAL-1\r\n2383\n"), "Update journal is damaged.");
  EXPECT_EQ(ErrorOf("ORVEX-JOURNAL-2\n2383\n"), "Update journal is damaged.");
  EXPECT_EQ(ErrorOf("ORVEX-JOURNAL-1\n"), "Update journal is damaged.");
  EXPECT_EQ(ErrorOf("ORVEX-JOURNAL-1\n32768\n", {}), "Invalid manifest number.");
  EXPECT_EQ(ErrorOf("ORVEX-JOURNAL-1\n+5\n", {}), "Invalid manifest number.");
  EXPECT_EQ(ParseJournal("ORVEX-JOURNAL-1\n32767\n", {}).previousVersion, 32767u);
}

TEST(JournalFormat, LineCountMustMatchTheManifest) {
  const std::string oneShort = JournalHeader(2383) + JournalLineExisting("data/a.tbl", 1024, kDigest);
  EXPECT_EQ(ErrorOf(oneShort), "Update journal is truncated.");
  EXPECT_EQ(ErrorOf(Valid() + "\n"), "Update journal has extra entries.");
  EXPECT_EQ(ErrorOf(Valid() + "data/x\t0\t0\t-\n"), "Update journal has extra entries.");
}

TEST(JournalFormat, PathsAndFieldsMustMatch) {
  const std::string header = JournalHeader(1);
  const std::vector<ManifestFile> one = {{"Data/A.tbl", kDigest, 3}};
  EXPECT_EQ(ErrorOf(header + "data/a.tbl\t0\t0\t-\n", one), "Update journal paths are invalid.");
  EXPECT_EQ(ErrorOf(header + "Data/A.tbl\t2\t0\t-\n", one), "Update journal paths are invalid.");
  EXPECT_EQ(ErrorOf(header + "Data/A.tbl\t0\t0\t-\t\n", one), "Update journal paths are invalid.");
  EXPECT_EQ(ErrorOf(header + "Data/A.tbl\t0\t0\n", one), "Update journal paths are invalid.");
}

TEST(JournalFormat, DigestMustMatchTheExistenceField) {
  const std::string header = JournalHeader(1);
  const std::vector<ManifestFile> one = {{"a.dat", kDigest, 3}};
  EXPECT_EQ(ErrorOf(header + "a.dat\t1\t3\t" + std::string(64, 'A') + "\n", one), "Update journal digest is invalid.");
  EXPECT_EQ(ErrorOf(header + "a.dat\t1\t3\t" + std::string(63, 'a') + "\n", one), "Update journal digest is invalid.");
  EXPECT_EQ(ErrorOf(header + "a.dat\t1\t3\t-\n", one), "Update journal digest is invalid.");
  EXPECT_EQ(ErrorOf(header + "a.dat\t0\t5\t-\n", one), "Update journal digest is invalid.");
  EXPECT_EQ(ErrorOf(header + "a.dat\t0\t0\t" + kDigest + "\n", one), "Update journal digest is invalid.");
  EXPECT_EQ(ErrorOf(header + "a.dat\t1\t17179869185\t" + kDigest + "\n", one), "Invalid manifest number.");
}
