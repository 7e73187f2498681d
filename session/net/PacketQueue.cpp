#include "session/net/PacketQueue.h"

bool PacketQueue::Push(std::unique_ptr<Packet> packet) {
  if (!packet) return true;
  const std::size_t cost = Cost(*packet);
  bool queued = false;
  {
    std::lock_guard lock(lock_);
    // Written as differences so that no cost can wrap the sum.
    if (packets_.size() < maxPackets_ && bytes_ <= maxBytes_ && cost <= maxBytes_ - bytes_) {
      bytes_ += cost;
      packets_.push_back(std::move(packet));
      queued = true;
    }
  }
  if (queued) arrived_.notify_one();
  return queued;  // a refused packet is deleted here, outside the lock
}

void PacketQueue::CloseWaits() {
  {
    std::lock_guard lock(lock_);
    closed_ = true;
  }
  arrived_.notify_all();
}

void PacketQueue::Reopen() {
  std::lock_guard lock(lock_);
  closed_ = false;
}

std::unique_ptr<Packet> PacketQueue::WaitPop(std::chrono::milliseconds timeout) {
  std::unique_lock lock(lock_);
  arrived_.wait_for(lock, timeout, [this] { return !packets_.empty() || closed_; });
  if (packets_.empty()) return nullptr;
  std::unique_ptr<Packet> packet = std::move(packets_.front());
  packets_.pop_front();
  bytes_ -= Cost(*packet);
  return packet;
}

std::unique_ptr<Packet> PacketQueue::Pop() {
  std::lock_guard lock(lock_);
  if (packets_.empty()) return nullptr;
  std::unique_ptr<Packet> packet = std::move(packets_.front());
  packets_.pop_front();
  bytes_ -= Cost(*packet);
  return packet;
}

void PacketQueue::Clear() {
  std::deque<std::unique_ptr<Packet>> dropped;
  std::lock_guard lock(lock_);
  dropped.swap(packets_);
  bytes_ = 0;
}

std::size_t PacketQueue::Count() const {
  std::lock_guard lock(lock_);
  return packets_.size();
}

std::size_t PacketQueue::Bytes() const {
  std::lock_guard lock(lock_);
  return bytes_;
}
