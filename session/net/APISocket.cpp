#include "session/net/APISocket.h"

#include "common/Errors.h"

#include <cctype>
#include <cstring>

namespace {

constexpr int kScratchSize = 0x40000;
constexpr int kReceiveBufferSize = 0x40000;

// Winsock is started by the first live CAPISocket and cleaned up by the last;
// the count and the calls share one lock so a construction racing the last
// destruction cannot see Winsock torn down under it.
std::mutex& WinsockLock() {
  static std::mutex lock;
  return lock;
}
int g_liveSockets = 0;

void AddWinsockUser() {
  std::lock_guard lock(WinsockLock());
  if (g_liveSockets++ == 0) {
    WSADATA data{};
    ::WSAStartup(MAKEWORD(1, 1), &data);
  }
}

void ReleaseWinsockUser() {
  std::lock_guard lock(WinsockLock());
  if (--g_liveSockets == 0) ::WSACleanup();
}

}  // namespace

CAPISocket::CAPISocket() : scratch_(kScratchSize) { AddWinsockUser(); }

CAPISocket::~CAPISocket() {
  Close();
  DropQueuedPackets();
  ReleaseWinsockUser();
}

int CAPISocket::Connect(HWND window, const std::string& host) {
  if (host.empty()) return -1;
  if (IsValid()) Close();

  sockaddr_in address{};
  address.sin_family = AF_INET;
  if (!std::isdigit(static_cast<unsigned char>(host[0]))) {
    const hostent* entry = ::gethostbyname(host.c_str());
    if (entry == nullptr || entry->h_addr_list == nullptr || entry->h_addr_list[0] == nullptr) return -1;
    // gethostbyname only answers IPv4, but do not copy more than sin_addr holds.
    if (entry->h_addrtype != AF_INET || entry->h_length != static_cast<int>(sizeof address.sin_addr)) return -1;
    address.sin_family = static_cast<short>(entry->h_addrtype);
    std::memcpy(&address.sin_addr, entry->h_addr_list[0], sizeof address.sin_addr);
  } else {
    // A text that starts with a digit is taken as a dotted address and never
    // handed to the resolver. inet_addr gives INADDR_NONE for a bad one; that
    // is the broadcast address, to which connect() fails at once.
    address.sin_addr.s_addr = ::inet_addr(host.c_str());
  }
  address.sin_port = ::htons(kLoginPort);

  const SOCKET handle = ::socket(AF_INET, SOCK_STREAM, 0);
  if (handle == INVALID_SOCKET) return ::WSAGetLastError();
  queue_.Reopen();  // a Close of an earlier link must not end this link's waits
  ring_.Clear();    // nor may a frame it left half received start this one
  socket_.store(handle);

  // Large enough that one recv() of the scratch area takes all the kernel holds.
  const int receiveBuffer = kReceiveBufferSize;
  ::setsockopt(handle, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receiveBuffer), sizeof receiveBuffer);

  if (::connect(handle, reinterpret_cast<const sockaddr*>(&address), sizeof address) == SOCKET_ERROR) {
    const int error = ::WSAGetLastError();
    Close();
    return error;
  }

  // Everything Receive() checks must be in place before WSAAsyncSelect: the
  // first FD_READ can reach the window thread before this call returns, and
  // Winsock posts no second FD_READ until recv() has been called.
  window_ = window;
  host_ = host;
  port_ = kLoginPort;
  connected_.store(1);
  if (::WSAAsyncSelect(handle, window, WM_SOCKETMSG, FD_READ | FD_CONNECT | FD_CLOSE) == SOCKET_ERROR) {
    // Without notifications nothing would ever be received and the session
    // would wait forever on a silent link; report it like a failed connect.
    const int error = ::WSAGetLastError();
    Close();
    return error;
  }
  return 0;
}

void CAPISocket::Close() {
  {
    // The window thread closes on FD_CLOSE while the update thread may be in
    // Send(); the lock keeps the handle from being closed, and its number
    // reused by another socket of the process, in the middle of a send loop.
    std::lock_guard lock(sendLock_);
    const SOCKET handle = socket_.exchange(INVALID_SOCKET);
    if (handle != INVALID_SOCKET) ::closesocket(handle);
  }
  connected_.store(0);
  queue_.CloseWaits();  // the update thread's wait for the next packet ends now
  window_ = nullptr;
  host_.clear();
  port_ = 0;
}

void CAPISocket::Send(const std::uint8_t* payload, std::size_t length) {
  if (!IsConnected()) return;
  // A frame of length 0 means "close" to the receiver; never send one.
  if (payload == nullptr || length == 0) return;
  if (length + 6 > kMaxSendFrame) return;

  const std::vector<std::uint8_t> frame = BuildFrame(payload, length);
  std::lock_guard lock(sendLock_);
  const SOCKET handle = socket_.load();
  if (handle == INVALID_SOCKET) return;
  std::size_t sent = 0;
  while (sent < frame.size()) {
    // The socket is non-blocking after WSAAsyncSelect; a full send buffer
    // (WSAEWOULDBLOCK) ends the attempt like any other error. Login requests
    // are a few bytes, far below what the kernel buffers.
    const int n = ::send(handle, reinterpret_cast<const char*>(frame.data() + sent),
                         static_cast<int>(frame.size() - sent), 0);
    if (n < 1) {
      fail::Log("socket send error!", fail::kApiSocketSource, __LINE__);
      return;
    }
    sent += static_cast<std::size_t>(n);
  }
}

bool CAPISocket::Receive() {
  if (!IsConnected()) return true;
  const SOCKET handle = socket_.load();

  u_long readable = 0;
  if (::ioctlsocket(handle, FIONREAD, &readable) == SOCKET_ERROR) readable = 0;

  u_long taken = 0;
  while (taken < readable) {
    const int n = ::recv(handle, scratch_.data(), kScratchSize, 0);
    if (n <= 0) {
      fail::Log("socket receive error!", fail::kApiSocketSource, __LINE__);
      break;
    }
    ring_.Append(reinterpret_cast<const std::uint8_t*>(scratch_.data()), n);
    taken += static_cast<u_long>(n);
  }

  for (;;) {
    std::unique_ptr<Packet> packet;
    const FrameStatus status = ExtractFrame(ring_, packet);
    if (status == FrameStatus::Taken) {
      if (queue_.Push(std::move(packet))) continue;
      // Nobody is taking packets (a patch is downloading, or the session has
      // ended) and the peer keeps sending. Close rather than grow: what is
      // still buffered would only fill the queue again.
      fail::Log("packet queue full.. closing!", fail::kApiSocketSource, __LINE__);
      ring_.Clear();
      Close();
      return false;
    }
    // A zero-length frame is the server's way of ending the link; the ring
    // was already emptied. Winsock posts no FD_CLOSE for our own close, so
    // the update thread learns of it from the invalid handle.
    if (status == FrameStatus::Close) Close();
    break;
  }
  return true;
}

std::unique_ptr<Packet> CAPISocket::PopPacket() { return queue_.Pop(); }

void CAPISocket::DropQueuedPackets() { queue_.Clear(); }
