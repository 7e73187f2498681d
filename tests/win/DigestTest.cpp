#include "update/disk/Digest.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <stdexcept>

#include "SignedFixtures.h"
#include "WinTestUtil.h"

using orvex_update::Digest;
using orvex_update::HexDigest;
using testutil::ReadBytes;
using testutil::ScratchFolder;
using testutil::SignedFixture;
using testutil::ThrownBy;

namespace {

constexpr char kEmptySha[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
constexpr char kAbcSha[] = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
// SHA-256 of the 1 MiB pattern byte[i] = i % 251 (hashlib).
constexpr char kPatternSha[] = "631b84027d6b9e52b539c4e8373622d23032dfadc64d60af87339c9037e4f769";

std::vector<std::uint8_t> Pattern() {
  std::vector<std::uint8_t> bytes(1 << 20);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i % 251);
  return bytes;
}

std::string BufferHex(const void* data, std::size_t length) {
  Digest digest{};
  EXPECT_TRUE(orvex_update::Sha256Buffer(data, length, digest));
  return HexDigest(digest);
}

win::UniqueFile OpenForReading(const std::filesystem::path& path) {
  return win::UniqueFile(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
}

// DER form (SEQUENCE of two INTEGERs) of a raw r||s signature.
std::vector<std::uint8_t> DerFromRaw(const std::vector<std::uint8_t>& raw) {
  const auto integer = [](const std::uint8_t* value) {
    std::size_t skip = 0;
    while (skip < 31 && value[skip] == 0) ++skip;
    std::vector<std::uint8_t> out{0x02};
    const bool pad = (value[skip] & 0x80) != 0;
    out.push_back(static_cast<std::uint8_t>(32 - skip + (pad ? 1 : 0)));
    if (pad) out.push_back(0);
    out.insert(out.end(), value + skip, value + 32);
    return out;
  };
  const std::vector<std::uint8_t> r = integer(raw.data());
  const std::vector<std::uint8_t> s = integer(raw.data() + 32);
  std::vector<std::uint8_t> der{0x30, static_cast<std::uint8_t>(r.size() + s.size())};
  der.insert(der.end(), r.begin(), r.end());
  der.insert(der.end(), s.begin(), s.end());
  return der;
}

}  // namespace

TEST(Sha256, KnownAnswers) {
  EXPECT_EQ(BufferHex("", 0), kEmptySha);
  EXPECT_EQ(BufferHex(nullptr, 0), kEmptySha);
  EXPECT_EQ(BufferHex("abc", 3), kAbcSha);
  const std::vector<std::uint8_t> pattern = Pattern();
  EXPECT_EQ(BufferHex(pattern.data(), pattern.size()), kPatternSha);
}

TEST(Sha256, IncrementalMatchesOneShot) {
  const std::vector<std::uint8_t> pattern = Pattern();
  orvex_update::Sha256 hasher;
  std::size_t offset = 0;
  // Odd piece sizes around the 64-byte block and the 65536-byte chunk.
  for (const std::size_t piece : {0u, 1u, 63u, 64u, 65u, 65535u, 65536u, 65537u}) {
    ASSERT_TRUE(hasher.Update(pattern.data() + offset, piece));
    offset += piece;
  }
  ASSERT_TRUE(hasher.Update(pattern.data() + offset, pattern.size() - offset));
  Digest digest{};
  ASSERT_TRUE(hasher.Finish(digest));
  EXPECT_EQ(HexDigest(digest), kPatternSha);

  orvex_update::Sha256 empty;
  ASSERT_TRUE(empty.Finish(digest));
  EXPECT_EQ(HexDigest(digest), kEmptySha);
}

TEST(Sha256, DigestText) {
  Digest digest{};
  for (std::size_t i = 0; i < digest.size(); ++i) digest[i] = static_cast<std::uint8_t>(i * 8 + 7);
  EXPECT_EQ(HexDigest(digest), "070f171f272f373f474f575f676f777f878f979fa7afb7bfc7cfd7dfe7eff7ff");

  EXPECT_TRUE(orvex_update::IsHexDigest(kEmptySha, 64));
  EXPECT_TRUE(orvex_update::IsHexDigest("0", 1));  // the length is the caller's to check
  EXPECT_FALSE(orvex_update::IsHexDigest("", 0));
  EXPECT_FALSE(orvex_update::IsHexDigest(nullptr, 0));
  for (const char* text : {"A", "F", "g", " ", "0x", "-"}) {
    EXPECT_FALSE(orvex_update::IsHexDigest(text, std::strlen(text))) << text;
  }
  EXPECT_FALSE(orvex_update::IsHexDigest("ab\0c", 4));
}

TEST(Sha256OpenFile, SizeMustMatchExactly) {
  ScratchFolder folder("sha-open");
  const std::filesystem::path file = folder.Path() / "pattern.bin";
  testutil::WriteBytes(file, Pattern());
  const std::uint64_t size = 1 << 20;
  Digest digest{};

  for (const std::uint64_t wrong : {size - 1, size + 1, std::uint64_t{0}}) {
    const win::UniqueFile handle = OpenForReading(file);
    ASSERT_TRUE(handle);
    EXPECT_FALSE(orvex_update::Sha256OpenFile(handle.Get(), wrong, digest)) << wrong;
    // Nothing was read: the position is still at the start.
    LARGE_INTEGER position{};
    ASSERT_TRUE(::SetFilePointerEx(handle.Get(), LARGE_INTEGER{}, &position, FILE_CURRENT));
    EXPECT_EQ(position.QuadPart, 0);
  }

  const win::UniqueFile handle = OpenForReading(file);
  ASSERT_TRUE(orvex_update::Sha256OpenFile(handle.Get(), size, digest));
  EXPECT_EQ(HexDigest(digest), kPatternSha);
  // The caller still owns a working handle.
  LARGE_INTEGER start{};
  EXPECT_TRUE(::SetFilePointerEx(handle.Get(), start, nullptr, FILE_BEGIN));

  EXPECT_FALSE(orvex_update::Sha256OpenFile(INVALID_HANDLE_VALUE, size, digest));
  EXPECT_FALSE(orvex_update::Sha256OpenFile(nullptr, 0, digest));
}

TEST(Sha256OpenFile, ReadsFromTheCurrentPosition) {
  ScratchFolder folder("sha-position");
  const std::filesystem::path file = folder.Path() / "pattern.bin";
  testutil::WriteBytes(file, Pattern());
  const win::UniqueFile handle = OpenForReading(file);
  LARGE_INTEGER offset{};
  offset.QuadPart = 10;
  ASSERT_TRUE(::SetFilePointerEx(handle.Get(), offset, nullptr, FILE_BEGIN));
  Digest digest{};
  EXPECT_FALSE(orvex_update::Sha256OpenFile(handle.Get(), 1 << 20, digest));  // 10 bytes short
}

TEST(HashFileHex, FilesOfEverySize) {
  ScratchFolder folder("hash-file");
  testutil::WriteText(folder.Path() / "empty", "");
  EXPECT_EQ(orvex_update::HashFileHex(folder.Path() / "empty"), kEmptySha);
  testutil::WriteText(folder.Path() / "abc", "abc");
  EXPECT_EQ(orvex_update::HashFileHex(folder.Path() / "abc"), kAbcSha);
  // Non-ASCII name, several 65536-byte chunks and a short last one.
  const std::filesystem::path pattern = folder.Path() / L"Y\u00F6netim.bin";
  testutil::WriteBytes(pattern, Pattern());
  EXPECT_EQ(orvex_update::HashFileHex(pattern), kPatternSha);
}

TEST(HashFileHex, UnreadablePathsThrow) {
  ScratchFolder folder("hash-missing");
  EXPECT_EQ(ThrownBy([&] { orvex_update::HashFileHex(folder.Path() / "missing"); }), "Cannot hash update file.");
  EXPECT_EQ(ThrownBy([&] { orvex_update::HashFileHex(folder.Path()); }), "Cannot hash update file.");
}

class UpdateSignature : public ::testing::Test {
 protected:
  std::vector<std::uint8_t> message_ = ReadBytes(SignedFixture("message.bin"));
  std::vector<std::uint8_t> signature_ = ReadBytes(SignedFixture("message.bin.sig"));
  void SetUp() override {
    ASSERT_EQ(message_.size(), 1285u) << "fixtures missing: " << SignedFixture("message.bin").string();
    ASSERT_EQ(signature_.size(), 384u);
  }
};

TEST_F(UpdateSignature, PublisherSignatureVerifies) {
  EXPECT_TRUE(orvex_update::VerifyUpdateSignature(message_, signature_));
}

TEST_F(UpdateSignature, AnyChangedByteFails) {
  for (const std::size_t index : {std::size_t{0}, message_.size() / 2, message_.size() - 1}) {
    std::vector<std::uint8_t> changed = message_;
    changed[index] ^= 0x01;
    EXPECT_FALSE(orvex_update::VerifyUpdateSignature(changed, signature_)) << index;
  }
  for (const std::size_t index : {std::size_t{0}, std::size_t{200}, std::size_t{383}}) {
    std::vector<std::uint8_t> changed = signature_;
    changed[index] ^= 0x80;
    EXPECT_FALSE(orvex_update::VerifyUpdateSignature(message_, changed)) << index;
  }
  std::vector<std::uint8_t> longer = message_;
  longer.push_back(0);
  EXPECT_FALSE(orvex_update::VerifyUpdateSignature(longer, signature_));
  EXPECT_FALSE(orvex_update::VerifyUpdateSignature({}, signature_));
}

TEST_F(UpdateSignature, WrongLengthsFail) {
  std::vector<std::uint8_t> shorter(signature_.begin(), signature_.end() - 1);
  EXPECT_FALSE(orvex_update::VerifyUpdateSignature(message_, shorter));  // 383
  std::vector<std::uint8_t> longer = signature_;
  longer.push_back(0);
  EXPECT_FALSE(orvex_update::VerifyUpdateSignature(message_, longer));  // 385
  std::vector<std::uint8_t> leadingZero = signature_;
  leadingZero.insert(leadingZero.begin(), 0);
  EXPECT_FALSE(orvex_update::VerifyUpdateSignature(message_, leadingZero));
  EXPECT_FALSE(orvex_update::VerifyUpdateSignature(message_, {}));
}

class ManifestSignature : public ::testing::Test {
 protected:
  std::vector<std::uint8_t> data_ = ReadBytes(SignedFixture("blob.bin"));
  std::vector<std::uint8_t> signature_ = ReadBytes(SignedFixture("blob.bin.sig"));
  void SetUp() override {
    ASSERT_FALSE(data_.empty()) << "fixtures missing: " << SignedFixture("blob.bin").string();
    ASSERT_EQ(signature_.size(), 64u);
  }
  bool Verify(const std::vector<std::uint8_t>& data, const std::vector<std::uint8_t>& signature) {
    return orvex_update::VerifyManifestSignature(data.data(), data.size(), signature.data(), signature.size());
  }
};

TEST_F(ManifestSignature, PublisherSignatureVerifies) { EXPECT_TRUE(Verify(data_, signature_)); }

TEST_F(ManifestSignature, ChangesFail) {
  std::vector<std::uint8_t> data = data_;
  data[data.size() / 2] ^= 0x01;
  EXPECT_FALSE(Verify(data, signature_));
  for (const std::size_t index : {std::size_t{0}, std::size_t{31}, std::size_t{32}, std::size_t{63}}) {
    std::vector<std::uint8_t> signature = signature_;
    signature[index] ^= 0x01;
    EXPECT_FALSE(Verify(data_, signature)) << index;
  }
  // The update key's RSA signature of other data is no manifest signature.
  EXPECT_FALSE(Verify(ReadBytes(SignedFixture("message.bin")), ReadBytes(SignedFixture("message.bin.sig"))));
}

TEST_F(ManifestSignature, OnlyTheRawFormIsAccepted) {
  const std::vector<std::uint8_t> der = DerFromRaw(signature_);
  ASSERT_GE(der.size(), 8u);
  ASSERT_LE(der.size(), 72u);
  EXPECT_FALSE(Verify(data_, der));
  std::vector<std::uint8_t> shorter(signature_.begin(), signature_.end() - 1);
  EXPECT_FALSE(Verify(data_, shorter));
  std::vector<std::uint8_t> longer = signature_;
  longer.push_back(0);
  EXPECT_FALSE(Verify(data_, longer));
  EXPECT_FALSE(orvex_update::VerifyManifestSignature(data_.data(), data_.size(), nullptr, 64));
}
