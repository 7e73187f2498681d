// libFuzzer target: the login link's receive side. The input is cut into
// chunks (each chunk is led by a byte that gives its length) and fed through a
// small receive ring, as CAPISocket::Receive does with what recv hands it;
// after each chunk every frame is extracted and queued in a bounded packet
// queue. The first byte picks the ring's first capacity and the queue's
// bounds. Besides the sanitizers it checks the ring against a plain byte
// queue (same bytes, never full), every extraction against a direct reading
// of the frame rules, that a frame never exceeds what the ring held, that the
// packet rebuilds its frame, that the queue never passes its bounds and keeps
// order, and that reads past a packet's end stay at zero.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "session/net/CircularBuffer.h"
#include "session/net/PacketQueue.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

void Check(bool condition) {
  if (!condition) std::abort();
}

// The ring holds exactly these bytes, in order. memcmp rather than a loop:
// the harness is compiled with coverage too and would crawl.
bool Holds(const BB_CircularBuffer& ring, const Bytes& held) {
  if (ring.Used() != static_cast<std::int32_t>(held.size())) return false;
  if (held.empty()) return true;
  Bytes out(held.size());
  ring.CopyOut(out.data(), ring.Used());
  return std::memcmp(out.data(), held.data(), held.size()) == 0;
}

struct Expected {
  FrameStatus status = FrameStatus::None;
  Bytes payload;  // of a Taken frame
};

// The frame rules read directly off the buffered bytes; consumes like the ring.
Expected ExtractModel(Bytes& held) {
  Expected result;
  if (held.size() < 7) return result;
  if (held[0] != 0xAA || held[1] != 0x55) {
    held.clear();
    return result;
  }
  const std::size_t length = held[2] | (held[3] << 8);
  if (length == 0) {
    held.clear();
    result.status = FrameStatus::Close;
    return result;
  }
  if (held.size() < length + 6) return result;
  if (held[4 + length] != 0x55 || held[5 + length] != 0xAA) {
    held.clear();
    return result;
  }
  result.status = FrameStatus::Taken;
  result.payload.assign(held.begin() + 4, held.begin() + 4 + static_cast<std::ptrdiff_t>(length));
  held.erase(held.begin(), held.begin() + 6 + static_cast<std::ptrdiff_t>(length));
  return result;
}

// Reads fields as the session does, driven by the packet's own bytes, and
// checks the reader's end-of-data rule.
void ReadFields(Packet& packet) {
  const std::size_t size = packet.Size();
  bool pastEnd = false;
  for (int i = 0; i < 8; ++i) {
    const std::uint32_t before = packet.ReadPosition();
    const int kind = (packet.Opcode() + i) % 3;
    if (kind == 0) {
      const std::uint8_t value = packet.ReadUInt8();
      if (pastEnd) Check(value == 0);
    } else if (kind == 1) {
      const std::uint16_t value = packet.ReadUInt16();
      if (pastEnd) Check(value == 0);
    } else {
      const std::string text = packet.ReadString();
      if (pastEnd) Check(text.empty());
      Check(text.size() <= size);
    }
    const std::uint32_t after = packet.ReadPosition();
    Check(after <= size + 1);
    Check(pastEnd ? after == size + 1 : after >= before);
    pastEnd = after == size + 1;
  }
}

}  // namespace

// The socket layer logs every dropped frame on standard output, which would
// bury the fuzzer's own report (on standard error) and slow it down.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::int32_t capacity = 1 + (data[0] & 0x3F);
  const std::size_t maxPackets = 1 + ((data[0] >> 6) & 3) * 4;
  PacketQueue queue(maxPackets, maxPackets * 5000);
  BB_CircularBuffer ring(capacity);
  Bytes held;
  std::deque<Bytes> queued;  // payloads in the queue, oldest first

  std::size_t offset = 1;
  bool closed = false;
  while (offset < size && !closed) {
    // A chunk byte of 0xF0 and above takes everything that is left.
    const std::uint8_t lead = data[offset++];
    const std::size_t want = lead >= 0xF0 ? size : 1 + lead % 48;
    const std::size_t n = std::min(want, size - offset);
    if (n == 0) break;
    ring.Append(data + offset, static_cast<std::int32_t>(n));
    held.insert(held.end(), data + offset, data + offset + n);
    offset += n;
    Check(ring.Used() < ring.Capacity());
    // Byte for byte while the ring is small; a long pending frame is compared
    // when it is taken, and everything once more at the end.
    if (ring.Used() <= 512) Check(Holds(ring, held));

    for (;;) {
      const std::int32_t before = ring.Used();
      std::unique_ptr<Packet> packet;
      const FrameStatus status = ExtractFrame(ring, packet);
      const Expected expected = ExtractModel(held);
      Check(status == expected.status);
      Check(ring.Used() == static_cast<std::int32_t>(held.size()));
      if (status != FrameStatus::Taken) {
        Check(packet == nullptr);
        if (status == FrameStatus::Close) closed = true;
        break;
      }
      Check(packet != nullptr);
      const std::size_t frameSize = packet->Size() + 1 + 6;
      Check(frameSize <= static_cast<std::size_t>(before) && frameSize <= 65535 + 6);
      Bytes whole{packet->Opcode()};
      whole.insert(whole.end(), packet->Data(), packet->Data() + packet->Size());
      Check(whole == expected.payload);
      const Bytes rebuilt = BuildFrame(whole.data(), whole.size());
      Check(rebuilt.size() == frameSize && rebuilt[4] == packet->Opcode());

      const std::size_t cost = PacketQueue::Cost(*packet);
      const bool fits = queue.Count() < maxPackets && queue.Bytes() + cost <= maxPackets * 5000;
      Check(queue.Push(std::move(packet)) == fits);
      if (fits) queued.push_back(whole);
      Check(queue.Count() == queued.size() && queue.Count() <= maxPackets && queue.Bytes() <= maxPackets * 5000);
      // The update thread takes one now and then.
      if (!queued.empty() && (whole.size() & 1) != 0) {
        std::unique_ptr<Packet> taken = queue.Pop();
        Check(taken != nullptr && taken->Opcode() == queued.front()[0]);
        Check(Bytes(taken->Data(), taken->Data() + taken->Size()) == Bytes(queued.front().begin() + 1, queued.front().end()));
        ReadFields(*taken);
        queued.pop_front();
      }
    }
  }
  Check(Holds(ring, held));
  queue.Clear();
  Check(queue.Count() == 0 && queue.Bytes() == 0);
  return 0;
}
