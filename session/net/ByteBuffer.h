// Byte containers of the login protocol: ByteBuffer builds and parses payloads,
// Packet is one received frame's payload, DataPack holds a transformed payload.
// Portable: no Windows header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class ByteBuffer {
 public:
  static constexpr std::uint32_t kMaxSize = 10'000'000;

  ByteBuffer();
  explicit ByteBuffer(std::size_t reserve);
  virtual ~ByteBuffer();

  // Appends count bytes and returns the new write position. Nothing is written
  // and 0 is returned for a null pointer, a count of 0 or a write position
  // already above kMaxSize; when fewer than count bytes of room remain below
  // kMaxSize nothing is written and the remaining room is returned. A range
  // inside this buffer's own storage is copied aside first.
  std::uint32_t Append(const void* data, std::size_t count);

  // Payload builders (little-endian; strings with a 16-bit length prefix).
  void AppendUInt8(std::uint8_t value);
  void AppendUInt16(std::uint16_t value);
  void AppendString(const std::string& text);

  // Readers: a field that does not fit yields 0 or empty and moves the read
  // position to size + 1, so that every later read yields 0 or empty too.
  std::uint8_t ReadUInt8();
  std::uint16_t ReadUInt16();
  std::string ReadString();

  std::size_t Size() const { return storage_.size(); }
  // Bytes the storage holds on the heap (at least Size(); a received Packet reserves 4096).
  std::size_t Capacity() const { return storage_.capacity(); }
  const std::uint8_t* Data() const { return storage_.data(); }
  std::uint32_t ReadPosition() const { return readPos_; }
  std::uint32_t WritePosition() const { return writePos_; }

 private:
  [[nodiscard]] bool Take(void* out, std::size_t count);

  bool longPrefix_ = true;  // 16-bit string length prefix (8-bit when false)
  std::uint32_t readPos_ = 0;
  std::uint32_t writePos_ = 0;
  std::vector<std::uint8_t> storage_;
};

class Packet : public ByteBuffer {
 public:
  // A received packet: the opcode apart, the remaining payload bytes as data.
  Packet(std::uint8_t opcode, const std::uint8_t* data, std::size_t length);
  ~Packet() override;

  std::uint8_t Opcode() const { return opcode_; }

 private:
  std::uint8_t opcode_;
};

// Holder for a transformed send payload; the login protocol never transforms,
// so the send path keeps it empty.
class DataPack {
 public:
  DataPack() = default;
  virtual ~DataPack();

  std::int32_t length = 0;
  std::unique_ptr<std::uint8_t[]> data;
};
