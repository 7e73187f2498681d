#include "session/net/ByteBuffer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::uint8_t> Bytes(const ByteBuffer& buffer) {
  return std::vector<std::uint8_t>(buffer.Data(), buffer.Data() + buffer.Size());
}

TEST(ByteBufferAppend, ReturnsWritePositionAndIgnoresEmptyInput) {
  ByteBuffer buffer;
  const std::uint8_t bytes[3] = {1, 2, 3};
  EXPECT_EQ(buffer.Append(bytes, 3), 3u);
  EXPECT_EQ(buffer.Append(bytes, 2), 5u);
  EXPECT_EQ(buffer.Append(nullptr, 4), 0u);
  EXPECT_EQ(buffer.Append(bytes, 0), 0u);
  EXPECT_EQ(buffer.WritePosition(), 5u);
  EXPECT_EQ(Bytes(buffer), (std::vector<std::uint8_t>{1, 2, 3, 1, 2}));
}

TEST(ByteBufferAppend, BoundedAtTenMillionBytes) {
  ByteBuffer buffer;
  const std::vector<std::uint8_t> bulk(ByteBuffer::kMaxSize - 10, 0x5A);
  ASSERT_EQ(buffer.Append(bulk.data(), bulk.size()), ByteBuffer::kMaxSize - 10);

  // One byte too many: nothing is written, the remaining room comes back.
  const std::uint8_t tail[11] = {};
  EXPECT_EQ(buffer.Append(tail, 11), 10u);
  EXPECT_EQ(buffer.Size(), ByteBuffer::kMaxSize - 10);

  // Exactly filling the room is allowed.
  EXPECT_EQ(buffer.Append(tail, 10), ByteBuffer::kMaxSize);
  EXPECT_EQ(buffer.Append(tail, 1), 0u);
  EXPECT_EQ(buffer.Size(), ByteBuffer::kMaxSize);
  EXPECT_EQ(buffer.WritePosition(), ByteBuffer::kMaxSize);
}

TEST(ByteBufferAppend, StringNearTheBoundIsAllOrNothing) {
  ByteBuffer buffer;
  const std::vector<std::uint8_t> bulk(ByteBuffer::kMaxSize - 5, 0);
  ASSERT_EQ(buffer.Append(bulk.data(), bulk.size()), ByteBuffer::kMaxSize - 5);
  // Prefix (2) fits, text (4) does not: a lone prefix would misframe the payload.
  buffer.AppendString("abcd");
  EXPECT_EQ(buffer.WritePosition(), ByteBuffer::kMaxSize - 5);
  buffer.AppendString("abc");
  EXPECT_EQ(buffer.WritePosition(), ByteBuffer::kMaxSize);
}

TEST(ByteBufferAppend, FromOwnStorageWhileGrowing) {
  // Under AddressSanitizer a copy from the freed old storage would be reported.
  ByteBuffer buffer;
  std::vector<std::uint8_t> expected;
  for (std::uint8_t i = 0; i < 32; ++i) {
    buffer.AppendUInt8(i);
    expected.push_back(i);
  }
  for (int round = 0; round < 6; ++round) {
    const std::size_t size = buffer.Size();
    EXPECT_EQ(buffer.Append(buffer.Data(), size), 2 * size);
    expected.insert(expected.end(), expected.begin(), expected.begin() + static_cast<std::ptrdiff_t>(size));
  }
  // A range in the middle of the storage.
  buffer.Append(buffer.Data() + 5, 7);
  expected.insert(expected.end(), expected.begin() + 5, expected.begin() + 12);
  EXPECT_EQ(Bytes(buffer), expected);
}

TEST(ByteBufferFields, LittleEndianRoundTrip) {
  ByteBuffer buffer;
  buffer.AppendUInt8(0x7F);
  buffer.AppendUInt16(0x1234);
  buffer.AppendString("Vantrell");
  buffer.AppendString("");
  buffer.AppendUInt16(0xFFFF);
  EXPECT_EQ(Bytes(buffer), (std::vector<std::uint8_t>{0x7F, 0x34, 0x12, 8, 0, 'V', 'a', 'n', 't', 'r', 'e', 'l', 'l', 0,
                                                       0, 0xFF, 0xFF}));
  EXPECT_EQ(buffer.ReadUInt8(), 0x7F);
  EXPECT_EQ(buffer.ReadUInt16(), 0x1234);
  EXPECT_EQ(buffer.ReadString(), "Vantrell");
  EXPECT_EQ(buffer.ReadString(), "");
  EXPECT_EQ(buffer.ReadUInt16(), 0xFFFF);
  EXPECT_EQ(buffer.ReadPosition(), buffer.Size());
}

TEST(ByteBufferFields, OverlongStringIsCutToWhatThePrefixCanSay) {
  ByteBuffer buffer;
  buffer.AppendString(std::string(70000, 'x'));
  EXPECT_EQ(buffer.Size(), 2u + 0xFFFF);
  EXPECT_EQ(buffer.ReadString(), std::string(0xFFFF, 'x'));
}

TEST(ByteBufferRead, PastTheEndYieldsZeroAndPoisonsLaterReads) {
  const std::uint8_t data[3] = {0x01, 0x02, 0x03};
  Packet packet(0x02, data, sizeof data);
  EXPECT_EQ(packet.ReadUInt16(), 0x0201);
  // One byte left: the 16-bit read fails although a byte is there...
  EXPECT_EQ(packet.ReadUInt16(), 0);
  EXPECT_EQ(packet.ReadPosition(), packet.Size() + 1);
  // ...and from then on nothing is read, not even that byte.
  EXPECT_EQ(packet.ReadString(), "");
  EXPECT_EQ(packet.ReadUInt8(), 0);
  EXPECT_EQ(packet.ReadPosition(), packet.Size() + 1);
}

TEST(ByteBufferRead, StringWithMissingBytesIsEmptyAndPoisons) {
  ByteBuffer buffer;
  const std::uint8_t data[] = {5, 0, 'a', 'b', 'c', 0x09};  // claims 5 bytes, 4 follow
  buffer.Append(data, sizeof data);
  EXPECT_EQ(buffer.ReadString(), "");
  EXPECT_EQ(buffer.ReadPosition(), buffer.Size() + 1);
  EXPECT_EQ(buffer.ReadUInt8(), 0);
}

TEST(ByteBufferRead, ShortDownloadInfoReadsAsCountZero) {
  // A DownloadInfo cut inside its second text: both texts empty, count 0, so
  // the session installs nothing instead of reading garbage names.
  const std::uint8_t data[] = {3, 0, 'o', 'n', 'e', 9, 0, 't', 'w'};
  Packet packet(0x02, data, sizeof data);
  EXPECT_EQ(packet.ReadString(), "one");
  EXPECT_EQ(packet.ReadString(), "");
  EXPECT_EQ(packet.ReadUInt16(), 0);
}

TEST(PacketTest, HoldsOpcodeApartFromData) {
  const std::uint8_t data[2] = {0x34, 0x12};
  Packet packet(0x01, data, sizeof data);
  EXPECT_EQ(packet.Opcode(), 0x01);
  EXPECT_EQ(packet.Size(), 2u);
  EXPECT_EQ(packet.ReadPosition(), 0u);
  EXPECT_EQ(packet.ReadUInt16(), 0x1234);

  Packet bare(0x03, nullptr, 0);
  EXPECT_EQ(bare.Opcode(), 0x03);
  EXPECT_EQ(bare.Size(), 0u);
  EXPECT_EQ(bare.ReadUInt16(), 0);
}

}  // namespace
