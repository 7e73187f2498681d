#include "session/net/CircularBuffer.h"

#include "common/Errors.h"

#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

namespace {

constexpr std::uint8_t kHeader0 = 0xAA;
constexpr std::uint8_t kHeader1 = 0x55;
constexpr std::uint8_t kTail0 = 0x55;
constexpr std::uint8_t kTail1 = 0xAA;
constexpr std::int32_t kFrameOverhead = 6;  // header, length, tail
// Below this nothing is examined: the shortest acceptable frame has a
// one-byte payload. Six bytes of an empty frame therefore wait for a seventh.
constexpr std::int32_t kMinExamined = 7;

}  // namespace

BB_CircularBuffer::BB_CircularBuffer(std::int32_t capacity)
    : capacity_(capacity > 0 ? capacity : kInitialCapacity), buffer_(new std::uint8_t[capacity_]) {}

BB_CircularBuffer::~BB_CircularBuffer() {
  if (!buffer_) fail::Log("1", fail::kApiSocketSource, __LINE__);
}

std::int32_t BB_CircularBuffer::Used() const {
  const std::int32_t used = tail_ - head_;
  return used >= 0 ? used : used + capacity_;
}

void BB_CircularBuffer::Append(const std::uint8_t* data, std::int32_t n) {
  if (data == nullptr || n <= 0) return;
  if (tail_ == capacity_) fail::Log("1", fail::kApiSocketSource, __LINE__);

  // Strictly below the free room, so the ring never fills completely and
  // head == tail keeps meaning "empty".
  while (n >= capacity_ - Used()) {
    if (capacity_ > std::numeric_limits<std::int32_t>::max() / 2) {
      // Cannot double any further; dropping the chunk is the only way to
      // keep the indices meaningful. Unreachable for login traffic: a frame
      // is at most 65541 bytes and anything bigger is dropped as broken.
      fail::Log("1", fail::kApiSocketSource, __LINE__);
      return;
    }
    const std::int32_t oldCapacity = capacity_;
    std::unique_ptr<std::uint8_t[]> grown(new std::uint8_t[static_cast<std::size_t>(oldCapacity) * 2]);
    std::memcpy(grown.get(), buffer_.get(), static_cast<std::size_t>(oldCapacity));
    if (tail_ < head_) {
      // Unwrap: the part that sat at the start of the old array now follows
      // the end of it, so head..tail is contiguous in the larger array.
      std::memcpy(grown.get() + oldCapacity, buffer_.get(), static_cast<std::size_t>(tail_));
      tail_ += oldCapacity;
    }
    buffer_ = std::move(grown);
    capacity_ = oldCapacity * 2;
  }

  if (tail_ + n < capacity_) {
    std::memcpy(buffer_.get() + tail_, data, static_cast<std::size_t>(n));
    tail_ += n;
  } else {
    const std::int32_t first = capacity_ - tail_;
    std::memcpy(buffer_.get() + tail_, data, static_cast<std::size_t>(first));
    std::memcpy(buffer_.get(), data + first, static_cast<std::size_t>(n - first));
    tail_ = n - first;
  }
}

void BB_CircularBuffer::CopyOut(std::uint8_t* out, std::int32_t n) const {
  if (n <= 0) return;
  const std::int32_t used = Used();
  if (n > used) {
    fail::Log("GetData error", fail::kApiSocketSource, __LINE__);
    n = used;
  }
  const std::int32_t first = capacity_ - head_ < n ? capacity_ - head_ : n;
  std::memcpy(out, buffer_.get() + head_, static_cast<std::size_t>(first));
  if (n > first) std::memcpy(out + first, buffer_.get(), static_cast<std::size_t>(n - first));
}

void BB_CircularBuffer::Advance(std::int32_t n) {
  if (n <= 0) return;
  if (n > Used()) {
    fail::Log("1", fail::kApiSocketSource, __LINE__);
    Clear();
    return;
  }
  head_ += n;
  if (head_ >= capacity_) head_ -= capacity_;
}

void BB_CircularBuffer::Clear() { head_ = tail_; }

FrameStatus ExtractFrame(BB_CircularBuffer& ring, std::unique_ptr<Packet>& packet) {
  packet.reset();
  const std::int32_t used = ring.Used();
  if (used < kMinExamined) return FrameStatus::None;

  // Only the bytes a decision needs are copied out, not the whole ring: a
  // chunk of many small frames would otherwise be copied once per frame.
  std::uint8_t head[4];
  ring.CopyOut(head, sizeof head);
  if (head[0] != kHeader0 || head[1] != kHeader1) {
    // No way to find the next frame boundary in a byte stream without a
    // header: drop everything and restart with what arrives next.
    fail::Log("broken packet header.. skip!", fail::kApiSocketSource, __LINE__);
    ring.Clear();
    return FrameStatus::None;
  }

  const std::int32_t length = head[2] | (head[3] << 8);
  if (length == 0) {
    ring.Clear();
    return FrameStatus::Close;
  }

  const std::int32_t frameSize = length + kFrameOverhead;
  if (used < frameSize) return FrameStatus::None;

  std::vector<std::uint8_t> frame(static_cast<std::size_t>(frameSize));
  ring.CopyOut(frame.data(), frameSize);
  if (frame[4 + length] != kTail0 || frame[5 + length] != kTail1) {
    // Header and length look right but the frame does not end where the
    // length says. Waiting cannot help (the bytes are all here) and leaving
    // them would stall the link for good, since nothing behind them is ever
    // looked at. Treat it like a broken header: drop what is buffered and
    // resynchronise on the next arrival, keeping the connection usable.
    fail::Log("broken packet tail.. skip!", fail::kApiSocketSource, __LINE__);
    ring.Clear();
    return FrameStatus::None;
  }

  packet = std::make_unique<Packet>(frame[4], frame.data() + 5, static_cast<std::size_t>(length - 1));
  ring.Advance(frameSize);
  return FrameStatus::Taken;
}

std::vector<std::uint8_t> BuildFrame(const std::uint8_t* payload, std::size_t length) {
  if (length > 0xFFFF || (payload == nullptr && length > 0)) return {};
  std::vector<std::uint8_t> frame;
  frame.reserve(length + kFrameOverhead);
  frame.push_back(kHeader0);
  frame.push_back(kHeader1);
  frame.push_back(static_cast<std::uint8_t>(length & 0xFF));
  frame.push_back(static_cast<std::uint8_t>(length >> 8));
  if (length > 0) frame.insert(frame.end(), payload, payload + length);
  frame.push_back(kTail0);
  frame.push_back(kTail1);
  return frame;
}
