#include "session/net/ByteBuffer.h"

#include <cstring>
#include <functional>

namespace {

constexpr std::size_t kDefaultReserve = 32;
constexpr std::size_t kPacketReserve = 4096;

// True when [data, data + count) touches the storage's allocation. Compared
// through std::less: a raw < between pointers into unrelated objects has no
// guaranteed result.
[[nodiscard]] bool Overlaps(const std::uint8_t* data, std::size_t count, const std::vector<std::uint8_t>& storage) {
  if (storage.capacity() == 0) return false;
  const std::uint8_t* begin = storage.data();
  const std::uint8_t* end = begin + storage.capacity();
  const std::less<const std::uint8_t*> before;
  return before(data, end) && before(begin, data + count);
}

}  // namespace

ByteBuffer::ByteBuffer() : ByteBuffer(kDefaultReserve) {}

ByteBuffer::ByteBuffer(std::size_t reserve) { storage_.reserve(reserve); }

ByteBuffer::~ByteBuffer() = default;

std::uint32_t ByteBuffer::Append(const void* data, std::size_t count) {
  if (data == nullptr || count == 0) return 0;
  if (writePos_ > kMaxSize) return 0;
  const std::uint32_t room = kMaxSize - writePos_;
  if (count > room) return room;

  const auto* bytes = static_cast<const std::uint8_t*>(data);
  if (Overlaps(bytes, count, storage_)) {
    // Growing the vector would free the range we are reading from, and
    // vector::insert from its own elements is not allowed anyway.
    const std::vector<std::uint8_t> aside(bytes, bytes + count);
    storage_.insert(storage_.end(), aside.begin(), aside.end());
  } else {
    storage_.insert(storage_.end(), bytes, bytes + count);
  }
  writePos_ = static_cast<std::uint32_t>(storage_.size());
  return writePos_;
}

void ByteBuffer::AppendUInt8(std::uint8_t value) { Append(&value, 1); }

void ByteBuffer::AppendUInt16(std::uint16_t value) {
  const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(value & 0xFF), static_cast<std::uint8_t>(value >> 8)};
  Append(bytes, sizeof bytes);
}

void ByteBuffer::AppendString(const std::string& text) {
  // The prefix cannot describe more than its width allows; cut the text there
  // rather than write a prefix that disagrees with the bytes after it.
  const std::size_t limit = longPrefix_ ? 0xFFFF : 0xFF;
  const std::size_t length = text.size() < limit ? text.size() : limit;
  const std::size_t prefix = longPrefix_ ? 2 : 1;
  // All or nothing: a prefix without its text would misframe every later field.
  if (writePos_ > kMaxSize || kMaxSize - writePos_ < prefix + length) return;
  if (longPrefix_) {
    AppendUInt16(static_cast<std::uint16_t>(length));
  } else {
    AppendUInt8(static_cast<std::uint8_t>(length));
  }
  Append(text.data(), length);
}

bool ByteBuffer::Take(void* out, std::size_t count) {
  const std::size_t size = storage_.size();
  if (readPos_ > size || size - readPos_ < count) {
    // Poison the buffer: size + 1 makes every later read fail as well, so a
    // short packet reads as zeros and empty strings from here on.
    readPos_ = static_cast<std::uint32_t>(size + 1);
    std::memset(out, 0, count);
    return false;
  }
  if (count > 0) std::memcpy(out, storage_.data() + readPos_, count);
  readPos_ += static_cast<std::uint32_t>(count);
  return true;
}

std::uint8_t ByteBuffer::ReadUInt8() {
  std::uint8_t value = 0;
  static_cast<void>(Take(&value, 1));  // past the end the value stays 0
  return value;
}

std::uint16_t ByteBuffer::ReadUInt16() {
  std::uint8_t bytes[2] = {};
  if (!Take(bytes, sizeof bytes)) return 0;
  return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}

std::string ByteBuffer::ReadString() {
  const std::size_t length = longPrefix_ ? ReadUInt16() : ReadUInt8();
  if (readPos_ > storage_.size()) return {};
  std::string text(length, '\0');
  if (!Take(text.data(), length)) return {};
  return text;
}

Packet::Packet(std::uint8_t opcode, const std::uint8_t* data, std::size_t length)
    : ByteBuffer(kPacketReserve), opcode_(opcode) {
  Append(data, length);
}

Packet::~Packet() = default;

DataPack::~DataPack() = default;
