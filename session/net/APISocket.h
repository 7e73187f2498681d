// The launcher's one TCP client to the login server (port 15100): blocking
// connect, then window-message notification; packets are handed from the
// window thread to the update thread through a locked, bounded queue.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "session/net/CircularBuffer.h"
#include "session/net/PacketQueue.h"

inline constexpr UINT WM_SOCKETMSG = WM_USER + 1;
inline constexpr unsigned short kLoginPort = 15100;
inline constexpr std::size_t kMaxSendFrame = 200;

class CAPISocket {
 public:
  CAPISocket();
  virtual ~CAPISocket();
  CAPISocket(const CAPISocket&) = delete;
  CAPISocket& operator=(const CAPISocket&) = delete;

  // Connects (blocking) to host:15100 and registers WM_SOCKETMSG with the
  // window. 0 on success; -1 for a missing or unresolvable host; otherwise the
  // Winsock error of socket() or connect(). Update thread.
  [[nodiscard]] int Connect(HWND window, const std::string& host);
  // Closes the socket if open; the ring and the queue are kept.
  void Close();
  // Frames and sends one payload (opcode first); frames over 200 bytes are
  // dropped silently. Update thread.
  void Send(const std::uint8_t* payload, std::size_t length);
  // Reads what is readable and queues every complete frame. Window thread,
  // FD_READ. False when a frame found the packet queue at its bound: the link
  // has then been closed (and what was buffered dropped), and the caller
  // treats it like the server's close.
  [[nodiscard]] bool Receive();
  // The oldest queued packet, or null.
  std::unique_ptr<Packet> PopPacket();
  // The oldest queued packet, waiting up to timeout for one; null at once
  // after Close. Update thread.
  std::unique_ptr<Packet> WaitPacket(std::chrono::milliseconds timeout) { return queue_.WaitPop(timeout); }
  // Deletes every queued packet.
  void DropQueuedPackets();
  // Packets queued and not yet taken.
  std::size_t QueuedPackets() const { return queue_.Count(); }

  // Socket handle is open (read lock-free from the update thread).
  [[nodiscard]] bool IsValid() const { return socket_.load() != INVALID_SOCKET; }
  [[nodiscard]] bool IsConnected() const { return IsValid() && connected_.load() != 0; }
  SOCKET Handle() const { return socket_.load(); }

 private:
  std::atomic<SOCKET> socket_{INVALID_SOCKET};
  HWND window_ = nullptr;
  std::string host_;
  int port_ = 0;
  std::vector<char> scratch_;
  std::atomic<int> connected_{0};
  BB_CircularBuffer ring_;
  PacketQueue queue_;
  // Held by Send() for its send loop and by Close() around closesocket().
  std::mutex sendLock_;
};
