// The receive ring and frame extraction of the login link. Portable.
#pragma once

#include <cstdint>
#include <memory>

#include "session/net/ByteBuffer.h"

class BB_CircularBuffer {
 public:
  static constexpr std::int32_t kInitialCapacity = 0x40000;

  explicit BB_CircularBuffer(std::int32_t capacity = kInitialCapacity);
  virtual ~BB_CircularBuffer();
  BB_CircularBuffer(const BB_CircularBuffer&) = delete;
  BB_CircularBuffer& operator=(const BB_CircularBuffer&) = delete;

  // Bytes held, head to tail.
  [[nodiscard]] std::int32_t Used() const;
  [[nodiscard]] std::int32_t Capacity() const { return capacity_; }
  // Appends n > 0 bytes, doubling the capacity while n is not below the free room.
  void Append(const std::uint8_t* data, std::int32_t n);
  // Copies the first n held bytes in order (across the wrap) without consuming them.
  void CopyOut(std::uint8_t* out, std::int32_t n) const;
  // Consumes n bytes.
  void Advance(std::int32_t n);
  // Drops everything held (head = tail).
  void Clear();

 private:
  std::int32_t capacity_;
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::int32_t head_ = 0;
  std::int32_t tail_ = 0;
};

enum class FrameStatus {
  None,   // nothing to take now (too few bytes, or garbage dropped)
  Taken,  // one packet was cut out of the ring
  Close,  // a frame of length 0: the connection must be closed
};

// Cuts at most one frame (AA 55, 16-bit LE length, payload, 55 AA) out of the
// ring. On Taken, packet holds the new packet.
FrameStatus ExtractFrame(BB_CircularBuffer& ring, std::unique_ptr<Packet>& packet);

// Builds one frame around a payload.
std::vector<std::uint8_t> BuildFrame(const std::uint8_t* payload, std::size_t length);
