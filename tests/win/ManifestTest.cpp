#include "update/manifests/Manifest.h"

#include <gtest/gtest.h>

#include <functional>

#include "SignedFixtures.h"
#include "WinTestUtil.h"
#include "common/WinHandles.h"

namespace fs = std::filesystem;
using orvex_update::LoadSignedManifest;
using testutil::ReadBytes;
using testutil::ScratchFolder;
using testutil::SignedFixture;
using testutil::WriteBytes;

namespace {

std::string LoadError(const fs::path& manifest, const fs::path& signature) {
  try {
    LoadSignedManifest(manifest, signature);
  } catch (const std::exception& error) {
    return error.what();
  }
  return "(loaded)";
}

std::string LoadFixtureError(const std::string& name) {
  return LoadError(SignedFixture(name), SignedFixture(name + ".sig"));
}

}  // namespace

TEST(SignedManifest, PublisherSignedManifestLoads) {
  const orvex_update::UpdateManifest manifest =
      LoadSignedManifest(SignedFixture("manifest-good"), SignedFixture("manifest-good.sig"));
  EXPECT_EQ(manifest.version, 2385);
  EXPECT_EQ(manifest.archive, "patch2385.zip");
  EXPECT_EQ(manifest.archive_size, 123456u);
  ASSERT_EQ(manifest.files.size(), 2u);
  EXPECT_EQ(manifest.files[0].path, "Data/Item.tbl");
  EXPECT_EQ(manifest.files[0].size, 10u);
  EXPECT_EQ(manifest.files[1].path, "ORVEX/empty.dat");
  EXPECT_EQ(manifest.files[1].sha256, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

// A valid signature does not make a bad manifest acceptable.
TEST(SignedManifest, SignedButRefusedByTheParser) {
  EXPECT_EQ(LoadFixtureError("manifest-crlf"), "Invalid manifest encoding.");
  EXPECT_EQ(LoadFixtureError("manifest-trailing"), "Manifest has unexpected trailing data.");
  EXPECT_EQ(LoadFixtureError("manifest-server-ini"), "Unsafe or duplicate manifest file.");
}

TEST(SignedManifest, ChangedAfterSigningIsNeverParsed) {
  ScratchFolder folder("manifest-changed");
  const std::vector<std::uint8_t> original = ReadBytes(SignedFixture("manifest-good"));
  ASSERT_FALSE(original.empty());
  const std::string text(original.begin(), original.end());

  std::vector<std::uint8_t> changed = original;
  changed[text.find("2385")] = '3';  // version 3385: still a sound manifest
  WriteBytes(folder.Path() / "manifest", changed);
  EXPECT_EQ(LoadError(folder.Path() / "manifest", SignedFixture("manifest-good.sig")), "Update signature is invalid.");

  // A change the parser would refuse: the signature still speaks first.
  changed = original;
  changed[0] = 'X';
  WriteBytes(folder.Path() / "manifest", changed);
  EXPECT_EQ(LoadError(folder.Path() / "manifest", SignedFixture("manifest-good.sig")), "Update signature is invalid.");

  // The CR LF copy with the signature of the LF original.
  EXPECT_EQ(LoadError(SignedFixture("manifest-crlf"), SignedFixture("manifest-good.sig")),
            "Update signature is invalid.");
  // Another file's signature.
  EXPECT_EQ(LoadError(SignedFixture("manifest-good"), SignedFixture("message.bin.sig")),
            "Update signature is invalid.");
}

TEST(SignedManifest, SignatureFileLengths) {
  ScratchFolder folder("manifest-signature");
  const std::vector<std::uint8_t> signature = ReadBytes(SignedFixture("manifest-good.sig"));
  ASSERT_EQ(signature.size(), 384u);
  const fs::path file = folder.Path() / "signature";
  const auto errorWith = [&](const std::vector<std::uint8_t>& bytes) {
    WriteBytes(file, bytes);
    return LoadError(SignedFixture("manifest-good"), file);
  };
  EXPECT_EQ(errorWith({}), "Update signature is invalid.");
  EXPECT_EQ(errorWith(std::vector<std::uint8_t>(signature.begin(), signature.end() - 1)),
            "Update signature is invalid.");
  std::vector<std::uint8_t> longer = signature;
  longer.push_back(0);
  EXPECT_EQ(errorWith(longer), "Update signature is invalid.");
  longer.resize(1024, 0);
  EXPECT_EQ(errorWith(longer), "Update signature is invalid.");
  longer.push_back(0);
  EXPECT_EQ(errorWith(longer), "Update metadata is too large.");  // 1025 bytes
  EXPECT_EQ(errorWith(signature), "(loaded)");
}

TEST(SignedManifest, ManifestSizeLimit) {
  ScratchFolder folder("manifest-size");
  const fs::path file = folder.Path() / "manifest";
  const auto sparse = [&](std::int64_t size) {
    const win::UniqueFile out(
        ::CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(out);
    LARGE_INTEGER end{};
    end.QuadPart = size;
    ASSERT_TRUE(::SetFilePointerEx(out.Get(), end, nullptr, FILE_BEGIN));
    ASSERT_TRUE(::SetEndOfFile(out.Get()));
  };
  sparse(16777216);  // read whole, then refused by the signature
  EXPECT_EQ(LoadError(file, SignedFixture("manifest-good.sig")), "Update signature is invalid.");
  sparse(16777217);
  EXPECT_EQ(LoadError(file, SignedFixture("manifest-good.sig")), "Update metadata is too large.");
}

TEST(SignedManifest, MissingFilesGiveTheFileSystemError) {
  ScratchFolder folder("manifest-missing");
  const std::string manifest = LoadError(folder.Path() / "manifest", SignedFixture("manifest-good.sig"));
  EXPECT_EQ(manifest.rfind("file_size: ", 0), 0u) << manifest;
  const std::string signature = LoadError(SignedFixture("manifest-good"), folder.Path() / "signature");
  EXPECT_EQ(signature.rfind("file_size: ", 0), 0u) << signature;
}
