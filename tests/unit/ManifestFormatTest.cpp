#include "update/disk/ManifestFormat.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using orvex_update::ManifestFile;
using orvex_update::ParseUpdateManifest;
using orvex_update::UpdateManifest;

namespace {

const std::string kDigestA(64, 'a');
const std::string kDigestB = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

// The key lines of a sound manifest; tests swap single lines.
struct Lines {
  std::string format = "ORVEX-UPDATE-1";
  std::string version = "version\t2385";
  std::string archive = "archive\tpatch2385.zip";
  std::string archiveSha = "archive_sha256\t" + kDigestB;
  std::string archiveSize = "archive_size\t123456";
  std::string files = "files\t2";
  std::vector<std::string> fileLines = {kDigestA + "\t10\tData/Item.tbl", kDigestB + "\t0\tORVEX/empty.dat"};

  std::string Text(bool finalLineFeed = true) const {
    std::string text = format + "\n" + version + "\n" + archive + "\n" + archiveSha + "\n" + archiveSize + "\n" + files;
    for (const std::string& line : fileLines) text += "\n" + line;
    if (finalLineFeed) text += "\n";
    return text;
  }
};

std::string Error(const std::string& text) {
  UpdateManifest manifest;
  std::string error;
  if (ParseUpdateManifest(text, manifest, error)) return "(accepted)";
  return error;
}

UpdateManifest Parsed(const std::string& text) {
  UpdateManifest manifest;
  std::string error;
  EXPECT_TRUE(ParseUpdateManifest(text, manifest, error)) << error;
  return manifest;
}

}  // namespace

TEST(ManifestFormat, SoundManifestGivesItsRecord) {
  const UpdateManifest manifest = Parsed(Lines().Text());
  EXPECT_EQ(manifest.version, 2385);
  EXPECT_EQ(manifest.archive, "patch2385.zip");
  EXPECT_EQ(manifest.archive_sha256, kDigestB);
  EXPECT_EQ(manifest.archive_size, 123456u);
  ASSERT_EQ(manifest.files.size(), 2u);
  EXPECT_EQ(manifest.files[0], (ManifestFile{"Data/Item.tbl", kDigestA, 10}));
  EXPECT_EQ(manifest.files[1], (ManifestFile{"ORVEX/empty.dat", kDigestB, 0}));

  // Without the final line feed, and from bytes.
  EXPECT_EQ(Parsed(Lines().Text(false)), manifest);
  const std::string text = Lines().Text();
  const std::vector<std::uint8_t> bytes(text.begin(), text.end());
  UpdateManifest fromBytes;
  std::string error;
  EXPECT_TRUE(ParseUpdateManifest(bytes, fromBytes, error));
  EXPECT_EQ(fromBytes, manifest);
}

TEST(ManifestFormat, FailureLeavesTheRecordUntouched) {
  UpdateManifest manifest;
  manifest.version = 99;
  manifest.files.push_back({"keep", kDigestA, 1});
  const UpdateManifest before = manifest;
  std::string error;
  Lines lines;
  lines.fileLines.pop_back();
  EXPECT_FALSE(ParseUpdateManifest(lines.Text(), manifest, error));
  EXPECT_EQ(manifest, before);
}

TEST(ManifestFormat, Encoding) {
  EXPECT_EQ(Error(Lines().Text() + "\r"), "Invalid manifest encoding.");
  std::string crlf;
  for (const char c : Lines().Text()) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  EXPECT_EQ(Error(crlf), "Invalid manifest encoding.");
  EXPECT_EQ(Error(Lines().Text() + std::string(1, '\0')), "Invalid manifest encoding.");
  Lines nul;
  nul.fileLines[0] = kDigestA + "\t10\tData/It" + std::string(1, '\0') + "em.tbl";
  EXPECT_EQ(Error(nul.Text()), "Invalid manifest encoding.");
  // The encoding is checked before anything else.
  EXPECT_EQ(Error("garbage\r"), "Invalid manifest encoding.");

  // Exactly 16 MiB passes the size rule (and fails later); one byte more does not.
  std::string big = "NOT-A-MANIFEST\n";
  big.resize(orvex_update::kMaxManifestBytes, 'x');
  EXPECT_EQ(Error(big), "Unknown update manifest format.");
  big.push_back('x');
  EXPECT_EQ(Error(big), "Invalid manifest encoding.");
}

TEST(ManifestFormat, FormatLine) {
  for (const std::string& text :
       std::vector<std::string>{"", "\n", "ORVEX-UPDATE-2\n", "ORVEX-UPDATE-1 \n", "orvex-update-1\n",
                                "\nORVEX-UPDATE-1\n", "ORVEX-UPDATE-1\tx\n", " ORVEX-UPDATE-1\n", "ORVEX-UPDATE-"}) {
    EXPECT_EQ(Error(text), "Unknown update manifest format.") << text;
  }
}

TEST(ManifestFormat, KeyLines) {
  EXPECT_EQ(Error("ORVEX-UPDATE-1"), "Manifest is truncated.");
  EXPECT_EQ(Error("ORVEX-UPDATE-1\n"), "Manifest is truncated.");
  EXPECT_EQ(Error("ORVEX-UPDATE-1\nversion\t1\n"), "Manifest is truncated.");
  EXPECT_EQ(
      Error("ORVEX-UPDATE-1\nversion\t1\narchive\tp.zip1.zip\narchive_sha256\t" + kDigestA + "\narchive_size\t1\n"),
      "Manifest is truncated.");
  EXPECT_EQ(Error("ORVEX-UPDATE-1\n\n"), "Invalid manifest field.");  // an empty line is a line

  for (const std::string& version :
       std::vector<std::string>{"Version\t5", "version\t5\t", "version 5", "version", "\tversion\t5", "version\t\t5",
                                "archive\tpatch2385.zip"}) {
    Lines lines;
    lines.version = version;
    EXPECT_EQ(Error(lines.Text()), "Invalid manifest field.") << version;
  }
  Lines swapped;
  std::swap(swapped.archiveSha, swapped.archiveSize);
  EXPECT_EQ(Error(swapped.Text()), "Invalid manifest field.");
  Lines filesKey;
  filesKey.files = "Files\t2";
  EXPECT_EQ(Error(filesKey.Text()), "Invalid manifest field.");
}

TEST(ManifestFormat, Version) {
  Lines lines;
  lines.version = "version\t00012";
  EXPECT_EQ(Parsed(lines.Text()).version, 12);
  lines.version = "version\t32767";
  EXPECT_EQ(Parsed(lines.Text()).version, 32767);
  for (const std::string& value :
       std::vector<std::string>{"+12", "32768", "-1", " 12", "12 ", "", "0x10", "99999999999999999999999"}) {
    lines.version = "version\t" + value;
    EXPECT_EQ(Error(lines.Text()), "Invalid manifest number.") << value;
  }
  lines.version = "version\t0";
  EXPECT_EQ(Error(lines.Text()), "Invalid update version.");
  lines.version = "version\t00000";
  EXPECT_EQ(Error(lines.Text()), "Invalid update version.");
}

TEST(ManifestFormat, ArchiveName) {
  Lines lines;
  for (const std::string& name : std::vector<std::string>{"a.zip", "Patch-2385_full.zip"}) {
    lines.archive = "archive\t" + name;
    EXPECT_EQ(Parsed(lines.Text()).archive, name);
  }
  for (const std::string& name : std::vector<std::string>{
           ".zip", "patch.ZIP", "patch.Zip", "dir/patch.zip", "dir\\patch.zip", "patch.zip ", "patch.zip.", "nul.zip",
           ".orvex-update.zip", "patch", "", "../patch.zip", "C:patch.zip", "p\xC3\xB6.zip", "PATCH~1.ZIP"}) {
    lines.archive = "archive\t" + name;
    EXPECT_EQ(Error(lines.Text()), "Invalid archive name.") << name;
  }
}

TEST(ManifestFormat, ArchiveDigest) {
  Lines lines;
  for (const std::string& digest :
       std::vector<std::string>{std::string(63, 'a'), std::string(65, 'a'), std::string(64, 'A'),
                                std::string(63, 'a') + "g", std::string(""), std::string(63, 'a') + " "}) {
    lines.archiveSha = "archive_sha256\t" + digest;
    EXPECT_EQ(Error(lines.Text()), "Invalid archive digest.") << digest;
  }
}

TEST(ManifestFormat, ArchiveSize) {
  Lines lines;
  lines.archiveSize = "archive_size\t8589934592";
  EXPECT_EQ(Parsed(lines.Text()).archive_size, 8589934592ULL);
  lines.archiveSize = "archive_size\t8589934593";
  EXPECT_EQ(Error(lines.Text()), "Invalid manifest number.");
  lines.archiveSize = "archive_size\t0";
  EXPECT_EQ(Error(lines.Text()), "Archive is empty.");
}

TEST(ManifestFormat, FileCount) {
  Lines lines;
  lines.files = "files\t0";
  lines.fileLines.clear();
  EXPECT_EQ(Error(lines.Text()), "Update file list is empty.");
  lines.files = "files\t20001";
  EXPECT_EQ(Error(lines.Text()), "Invalid manifest number.");

  lines.files = "files\t20000";
  for (int i = 0; i < 20000; ++i) lines.fileLines.push_back(kDigestA + "\t1\tdata/f" + std::to_string(i));
  EXPECT_EQ(Parsed(lines.Text()).files.size(), 20000u);
}

TEST(ManifestFormat, FileListTruncatedOrTrailing) {
  Lines lines;
  lines.fileLines.pop_back();
  EXPECT_EQ(Error(lines.Text()), "Manifest file list is truncated.");
  EXPECT_EQ(Error(lines.Text(false)), "Manifest file list is truncated.");

  EXPECT_EQ(Error(Lines().Text() + "\n"), "Manifest has unexpected trailing data.");
  EXPECT_EQ(Error(Lines().Text() + kDigestA + "\t1\tdata/extra\n"), "Manifest has unexpected trailing data.");
  EXPECT_EQ(Error(Lines().Text() + "\t"), "Manifest has unexpected trailing data.");
  EXPECT_EQ(Error(Lines().Text() + " "), "Manifest has unexpected trailing data.");
}

TEST(ManifestFormat, FileLines) {
  const auto errorFor = [](const std::string& line) {
    Lines lines;
    lines.fileLines[1] = line;
    return Error(lines.Text());
  };
  for (const std::string& line : std::vector<std::string>{
           std::string(64, 'A') + "\t1\tdata/x", kDigestA.substr(1) + "\t1\tdata/x", kDigestA + "0\t1\tdata/x",
           kDigestA + "\t1", kDigestA + "\t1\tdata/x\t", kDigestA + "\t1\tdata/x\tmore", kDigestA + "\tdata/x",
           kDigestA + "\t1\tserver.ini", kDigestA + "\t1\tSERVER.INI", kDigestA + "\t1\t../x",
           kDigestA + "\t1\tdata\\x", kDigestA + "\t1\t.orvex-update/current/journal", kDigestA + "\t1\t",
           kDigestA + "\t1\tdata/x/", kDigestA + "\t1\tSCHEDU~1.INI", kDigestA + "\tbad\tserver.ini", ""}) {
    EXPECT_EQ(errorFor(line), "Unsafe or duplicate manifest file.") << line;
  }
  for (const std::string& size : std::vector<std::string>{"", "+1", "8589934593", "1 ", "0x1"}) {
    EXPECT_EQ(errorFor(kDigestA + "\t" + size + "\tdata/x"), "Invalid manifest number.") << size;
  }
  Lines zero;
  zero.fileLines[1] = kDigestA + "\t0000\tdata/server.ini";
  const UpdateManifest manifest = Parsed(zero.Text());
  EXPECT_EQ(manifest.files[1], (ManifestFile{"data/server.ini", kDigestA, 0}));
}

TEST(ManifestFormat, DuplicatePathsIgnoreAsciiCase) {
  Lines lines;
  lines.fileLines = {kDigestA + "\t1\tData/A.tbl", kDigestB + "\t2\tdata/a.tbl"};
  EXPECT_EQ(Error(lines.Text()), "Unsafe or duplicate manifest file.");
  lines.fileLines = {kDigestA + "\t1\tdata/a.tbl", kDigestA + "\t1\tdata/a.tbl"};
  EXPECT_EQ(Error(lines.Text()), "Unsafe or duplicate manifest file.");
  lines.fileLines = {kDigestA + "\t1\tdata/a.tbl", kDigestA + "\t1\tdata/a.tb"};
  EXPECT_EQ(Parsed(lines.Text()).files.size(), 2u);
}

TEST(ManifestFormat, PayloadTotal) {
  Lines lines;
  lines.fileLines = {kDigestA + "\t8589934592\tdata/a", kDigestA + "\t8589934592\tdata/b"};
  EXPECT_EQ(Parsed(lines.Text()).files.size(), 2u);  // exactly 16 GiB
  lines.files = "files\t3";
  lines.fileLines.push_back(kDigestA + "\t1\tdata/c");
  EXPECT_EQ(Error(lines.Text()), "Update payload is too large.");
  // The total is checked as it grows: the line after the overflow is never read.
  lines.fileLines[2] = kDigestA + "\t1\tdata/c";
  lines.fileLines.push_back("garbage");
  lines.files = "files\t4";
  EXPECT_EQ(Error(lines.Text()), "Update payload is too large.");
}
