// The received packets of the login link that the update thread has not yet
// taken: filled by the window thread, emptied by the update thread. Portable.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>

#include "session/net/ByteBuffer.h"

// Nothing takes packets while the update thread downloads or installs a patch
// (which can last an hour), nor after the session has ended, so the queue
// must carry its own bound or a peer that keeps sending frames grows it until
// the process runs out of memory. A well-behaved login server sends three
// packets per connection (VersionReply, TextList, DownloadInfo), each at most
// 65535 bytes by the 16-bit frame length; the bounds leave a thousandfold
// headroom over that. Bytes are the heap storage of the packets, and every
// received packet reserves 4096 bytes however short it is, so a flood of
// one-byte frames meets both bounds together.
inline constexpr std::size_t kMaxQueuedPackets = 4096;
inline constexpr std::size_t kMaxQueuedBytes = 16 * 1024 * 1024;

class PacketQueue {
 public:
  explicit PacketQueue(std::size_t maxPackets = kMaxQueuedPackets, std::size_t maxBytes = kMaxQueuedBytes)
      : maxPackets_(maxPackets), maxBytes_(maxBytes) {}
  PacketQueue(const PacketQueue&) = delete;
  PacketQueue& operator=(const PacketQueue&) = delete;

  // Appends at the back. False, and the packet is deleted, when the queue
  // would then hold more than maxPackets packets or maxBytes bytes.
  [[nodiscard]] bool Push(std::unique_ptr<Packet> packet);
  // The oldest packet, or null.
  std::unique_ptr<Packet> Pop();
  // The oldest packet, waiting up to timeout for one; null when none came in
  // time or the queue is closed (waits then return at once). The update
  // thread sleeps here instead of polling, so an idle session costs nothing.
  std::unique_ptr<Packet> WaitPop(std::chrono::milliseconds timeout);
  // The link is gone: wakes every wait, present and later, until Reopen.
  void CloseWaits();
  void Reopen();
  // Deletes every queued packet (outside the lock).
  void Clear();

  std::size_t Count() const;
  std::size_t Bytes() const;

  // What one packet counts against the byte bound.
  static std::size_t Cost(const Packet& packet) { return packet.Capacity(); }

 private:
  const std::size_t maxPackets_;
  const std::size_t maxBytes_;
  mutable std::mutex lock_;
  std::deque<std::unique_ptr<Packet>> packets_;
  std::size_t bytes_ = 0;
  bool closed_ = false;
  std::condition_variable arrived_;
};
