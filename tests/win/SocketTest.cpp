// CAPISocket against a loopback server on 127.0.0.1:15100. The port is shared
// with other tests, which CTest serialises through the login_port lock.
#include "session/net/APISocket.h"
#include "session/Launcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Upper bound for anything that should happen; on loopback it takes milliseconds.
constexpr milliseconds kDeadline{3000};

Bytes Frame(const Bytes& payload) { return BuildFrame(payload.data(), payload.size()); }

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

bool WaitReadable(SOCKET s, milliseconds timeout) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(s, &set);
  timeval tv{static_cast<long>(timeout.count() / 1000), static_cast<long>((timeout.count() % 1000) * 1000)};
  return ::select(0, &set, nullptr, nullptr, &tv) == 1;
}

struct ReadResult {
  Bytes bytes;
  bool ended = false;  // the peer closed or reset the connection
};

// Reads until `count` bytes, the end of the connection or the timeout.
ReadResult ReadFor(SOCKET s, std::size_t count, milliseconds timeout) {
  ReadResult result;
  const auto end = Clock::now() + timeout;
  while (result.bytes.size() < count) {
    const auto left = std::chrono::duration_cast<milliseconds>(end - Clock::now());
    if (left.count() <= 0 || !WaitReadable(s, left)) break;
    char chunk[512];
    const int want = static_cast<int>(std::min<std::size_t>(sizeof chunk, count - result.bytes.size()));
    const int n = ::recv(s, chunk, want, 0);
    if (n <= 0) {
      result.ended = true;
      break;
    }
    result.bytes.insert(result.bytes.end(), chunk, chunk + n);
  }
  return result;
}

void WriteAll(SOCKET s, const Bytes& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const int n = ::send(s, reinterpret_cast<const char*>(bytes.data() + sent), static_cast<int>(bytes.size() - sent), 0);
    if (n <= 0) return;
    sent += static_cast<std::size_t>(n);
  }
}

bool WaitFlag(const std::atomic<bool>& flag, milliseconds timeout) {
  const auto end = Clock::now() + timeout;
  while (!flag.load()) {
    if (Clock::now() >= end) return false;
    std::this_thread::sleep_for(milliseconds(1));
  }
  return true;
}

// Plain blocking listener on the login port that serves one connection with
// a script on its own thread. Bound before the constructor returns, so the
// client never races the listen.
class LoopbackServer {
 public:
  using Script = std::function<void(SOCKET client)>;

  explicit LoopbackServer(Script script) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (listener_ == INVALID_SOCKET) return;
    // Earlier tests leave their connections in TIME_WAIT on this port.
    const BOOL reuse = TRUE;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse), sizeof reuse);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = ::htons(kLoginPort);
    address.sin_addr.s_addr = ::inet_addr("127.0.0.1");
    if (::bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == SOCKET_ERROR ||
        ::listen(listener_, 1) == SOCKET_ERROR) {
      ::closesocket(listener_);
      listener_ = INVALID_SOCKET;
      return;
    }
    thread_ = std::thread([this, script = std::move(script)] { Serve(script); });
  }

  ~LoopbackServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (listener_ != INVALID_SOCKET) ::closesocket(listener_);
  }

  bool Listening() const { return listener_ != INVALID_SOCKET; }

 private:
  void Serve(const Script& script) {
    // accept() is polled through select() so that a test whose client never
    // connects can still end the thread.
    while (!stop_.load()) {
      if (!WaitReadable(listener_, milliseconds(20))) continue;
      const SOCKET client = ::accept(listener_, nullptr, nullptr);
      if (client == INVALID_SOCKET) return;
      // Every write leaves at once, so a split frame really arrives in parts.
      const BOOL noDelay = TRUE;
      ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
      script(client);
      ::closesocket(client);
      return;
    }
  }

  SOCKET listener_ = INVALID_SOCKET;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// What the test window saw; the window forwards FD_READ like the launcher's,
// through the launcher's own handling when a session is set.
struct WindowState {
  CAPISocket* socket = nullptr;
  Launcher* session = nullptr;
  int readEvents = 0;
  int closeEvents = 0;
};

LRESULT CALLBACK TestWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_SOCKETMSG) {
    auto* state = reinterpret_cast<WindowState*>(::GetWindowLongPtrA(window, GWLP_USERDATA));
    if (state != nullptr) {
      switch (WSAGETSELECTEVENT(lParam)) {
        case FD_READ:
          ++state->readEvents;
          if (state->session) {
            HandleSocketNotification(state->session, state->socket, lParam);
          } else if (state->socket) {
            static_cast<void>(state->socket->Receive());
          }
          break;
        case FD_CLOSE:
          ++state->closeEvents;
          break;
        default:
          break;
      }
    }
  }
  return ::DefWindowProcA(window, message, wParam, lParam);
}

class SocketTest : public testing::Test {
 protected:
  void SetUp() override {
    WSADATA data{};
    ASSERT_EQ(::WSAStartup(MAKEWORD(2, 2), &data), 0);
    static const ATOM windowClass = [] {
      WNDCLASSEXA wc{};
      wc.cbSize = sizeof wc;
      wc.lpfnWndProc = TestWindowProc;
      wc.hInstance = ::GetModuleHandleA(nullptr);
      wc.lpszClassName = "OrvexSocketTestWindow";
      return ::RegisterClassExA(&wc);
    }();
    ASSERT_NE(windowClass, 0);
    // Message-only: Winsock posts to it like to any window, nothing is shown.
    window_ = ::CreateWindowExA(0, "OrvexSocketTestWindow", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                ::GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(window_, nullptr);
    ::SetWindowLongPtrA(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&state_));
    socket_ = std::make_unique<CAPISocket>();
    state_.socket = socket_.get();
  }

  void TearDown() override {
    state_.socket = nullptr;
    socket_.reset();
    if (window_) ::DestroyWindow(window_);
    ::WSACleanup();
  }

  // Dispatches this thread's messages until done() holds or the deadline passes.
  bool PumpUntil(const std::function<bool()>& done, milliseconds timeout = kDeadline) {
    const auto end = Clock::now() + timeout;
    for (;;) {
      MSG msg;
      while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
      }
      if (done()) return true;
      if (Clock::now() >= end) return false;
      ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    }
  }

  // Pumps until `count` packets have been taken from the queue.
  std::vector<std::unique_ptr<Packet>> TakePackets(std::size_t count) {
    std::vector<std::unique_ptr<Packet>> packets;
    PumpUntil([&] {
      while (auto packet = socket_->PopPacket()) packets.push_back(std::move(packet));
      return packets.size() >= count;
    });
    return packets;
  }

  HWND window_ = nullptr;
  WindowState state_;
  std::unique_ptr<CAPISocket> socket_;
};

TEST_F(SocketTest, SendWritesExactFrames) {
  std::promise<ReadResult> seen;
  LoopbackServer server([&](SOCKET client) { seen.set_value(ReadFor(client, 16, kDeadline)); });
  ASSERT_TRUE(server.Listening());
  ASSERT_EQ(socket_->Connect(window_, "127.0.0.1"), 0);
  EXPECT_TRUE(socket_->IsConnected());

  const std::uint8_t versionRequest = 0x01;
  socket_->Send(&versionRequest, 1);
  const std::uint8_t downloadInfoRequest[3] = {0x02, 0x34, 0x12};
  socket_->Send(downloadInfoRequest, sizeof downloadInfoRequest);
  socket_->Send(nullptr, 0);  // an empty frame would mean "close" to the peer

  auto result = seen.get_future();
  ASSERT_EQ(result.wait_for(kDeadline), std::future_status::ready);
  EXPECT_EQ(result.get().bytes, (Bytes{0xAA, 0x55, 0x01, 0x00, 0x01, 0x55, 0xAA,  //
                                       0xAA, 0x55, 0x03, 0x00, 0x02, 0x34, 0x12, 0x55, 0xAA}));
}

TEST_F(SocketTest, PayloadOf194IsSentAnd195IsDropped) {
  std::promise<ReadResult> seen;
  // Asks for one byte more than a 200-byte frame and waits a moment for it:
  // the 195-byte payload must not show up before or after the 194-byte one.
  LoopbackServer server([&](SOCKET client) { seen.set_value(ReadFor(client, 201, milliseconds(300))); });
  ASSERT_TRUE(server.Listening());
  ASSERT_EQ(socket_->Connect(window_, "127.0.0.1"), 0);

  Bytes tooLong(195, 0x11);
  Bytes longest(194, 0x22);
  longest[0] = 0x20;
  socket_->Send(tooLong.data(), tooLong.size());
  socket_->Send(longest.data(), longest.size());
  socket_->Send(tooLong.data(), tooLong.size());

  auto result = seen.get_future();
  ASSERT_EQ(result.wait_for(kDeadline), std::future_status::ready);
  EXPECT_EQ(result.get().bytes, Frame(longest));
}

TEST_F(SocketTest, SplitAndCoalescedFramesArriveInOrder) {
  const Bytes versionReply = Frame({0x01, 0x05, 0x00});
  const Bytes textList = Frame({0x03, 0x01, 0x00, 0x02, 0x00, 'h', 'i'});
  const Bytes downloadInfo = Frame({0x02, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x04, 0x00, '7', '.', 'z', 'p'});
  std::atomic<bool> firstPartHandled{false};
  std::atomic<bool> serverWaited{false};
  LoopbackServer server([&](SOCKET client) {
    WriteAll(client, Bytes(versionReply.begin(), versionReply.begin() + 5));
    // Hold the rest back until the client has taken the first part, so the
    // ring really holds half a frame between two receives.
    serverWaited = WaitFlag(firstPartHandled, kDeadline);
    WriteAll(client, Bytes(versionReply.begin() + 5, versionReply.end()));
    WriteAll(client, Concat({textList, downloadInfo}));
    ReadFor(client, 1, kDeadline);  // until the client is done with us
  });
  ASSERT_TRUE(server.Listening());
  ASSERT_EQ(socket_->Connect(window_, "127.0.0.1"), 0);

  ASSERT_TRUE(PumpUntil([&] { return state_.readEvents >= 1; }));
  EXPECT_EQ(socket_->PopPacket(), nullptr);  // half a frame is no packet
  firstPartHandled = true;

  auto packets = TakePackets(3);
  EXPECT_TRUE(serverWaited.load());
  ASSERT_EQ(packets.size(), 3u);
  EXPECT_EQ(packets[0]->Opcode(), 0x01);
  EXPECT_EQ(packets[0]->ReadUInt16(), 5);
  EXPECT_EQ(packets[1]->Opcode(), 0x03);
  EXPECT_EQ(packets[1]->ReadUInt16(), 1);
  EXPECT_EQ(packets[1]->ReadString(), "hi");
  EXPECT_EQ(packets[2]->Opcode(), 0x02);
  EXPECT_EQ(packets[2]->ReadString(), "");
  EXPECT_EQ(packets[2]->ReadString(), "");
  EXPECT_EQ(packets[2]->ReadUInt16(), 1);
  EXPECT_EQ(packets[2]->ReadString(), "7.zp");
  EXPECT_EQ(socket_->PopPacket(), nullptr);
  socket_->Close();  // lets the server's last read end now
}

TEST_F(SocketTest, ServerCloseDropsQueuedPacketsAndReportsDisconnected) {
  LoopbackServer server([&](SOCKET client) {
    WriteAll(client, Concat({Frame({0x01, 0x02, 0x00}), Frame({0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00})}));
  });
  ASSERT_TRUE(server.Listening());
  ASSERT_EQ(socket_->Connect(window_, "127.0.0.1"), 0);
  ASSERT_TRUE(PumpUntil([&] { return state_.closeEvents > 0; }));
  // The socket layer itself does not close on FD_CLOSE; the window does.
  EXPECT_TRUE(socket_->IsValid());

  // Both packets were received but nobody has taken them yet when the close
  // is handled: they must never reach the session. The new text is reported
  // (the window repaints) once; the same text again is not.
  int reports = 0;
  session::SessionSetup setup;
  setup.statusChanged = [&reports] { ++reports; };
  Launcher session(std::move(setup));
  session.SetReady(true);
  HandleSocketNotification(&session, socket_.get(), WSAMAKESELECTREPLY(FD_CLOSE, 0));
  EXPECT_EQ(session.GetStatus(), "Disconnected.");
  EXPECT_FALSE(session.Ready());
  session.SetStatus("Disconnected.");
  EXPECT_EQ(reports, 1);
  EXPECT_FALSE(socket_->IsValid());
  EXPECT_EQ(socket_->PopPacket(), nullptr);
  // A late FD_READ after the close does nothing.
  HandleSocketNotification(&session, socket_.get(), WSAMAKESELECTREPLY(FD_READ, 0));
  EXPECT_EQ(socket_->PopPacket(), nullptr);
}

TEST_F(SocketTest, FloodOfSmallFramesClosesTheLinkAtTheQueueBound) {
  std::promise<ReadResult> afterwards;
  LoopbackServer server([&](SOCKET client) {
    // Twice as many frames as the queue may hold, in one burst, then stay
    // connected: only the client can end this link.
    Bytes flood;
    for (std::size_t i = 0; i < 2 * kMaxQueuedPackets; ++i) {
      const Bytes frame = Frame({0x7F});
      flood.insert(flood.end(), frame.begin(), frame.end());
    }
    WriteAll(client, flood);
    afterwards.set_value(ReadFor(client, 1, kDeadline));
  });
  ASSERT_TRUE(server.Listening());
  Launcher session;
  session.SetReady(true);
  state_.session = &session;
  ASSERT_EQ(socket_->Connect(window_, "127.0.0.1"), 0);

  // Nobody takes packets, as while a patch downloads.
  std::size_t mostQueued = 0;
  EXPECT_TRUE(PumpUntil([&] {
    mostQueued = std::max(mostQueued, socket_->QueuedPackets());
    return !socket_->IsValid();
  }));
  state_.session = nullptr;
  EXPECT_LE(mostQueued, kMaxQueuedPackets);
  EXPECT_EQ(session.GetStatus(), "Disconnected.");
  EXPECT_FALSE(session.Ready());
  EXPECT_EQ(socket_->QueuedPackets(), 0u);

  auto result = afterwards.get_future();
  ASSERT_EQ(result.wait_for(kDeadline), std::future_status::ready);
  EXPECT_TRUE(result.get().ended);
}

TEST_F(SocketTest, ZeroLengthFrameClosesTheLink) {
  std::promise<ReadResult> afterwards;
  LoopbackServer server([&](SOCKET client) {
    WriteAll(client, Concat({Frame({0x01, 0x02, 0x00}), Frame({}), Bytes{0x00}}));
    afterwards.set_value(ReadFor(client, 1, kDeadline));
  });
  ASSERT_TRUE(server.Listening());
  ASSERT_EQ(socket_->Connect(window_, "127.0.0.1"), 0);

  ASSERT_TRUE(PumpUntil([&] { return !socket_->IsValid(); }));
  EXPECT_FALSE(socket_->IsConnected());
  // The frame ahead of the empty one was delivered; the queue is the caller's.
  auto packet = socket_->PopPacket();
  ASSERT_NE(packet, nullptr);
  EXPECT_EQ(packet->ReadUInt16(), 2);
  EXPECT_EQ(socket_->PopPacket(), nullptr);

  auto result = afterwards.get_future();
  ASSERT_EQ(result.wait_for(kDeadline), std::future_status::ready);
  const ReadResult seen = result.get();
  EXPECT_TRUE(seen.ended);
  EXPECT_TRUE(seen.bytes.empty());
}

TEST_F(SocketTest, CloseKeepsQueueAndLateReadDoesNothing) {
  std::atomic<bool> sendSecond{false};
  std::promise<ReadResult> afterClose;
  LoopbackServer server([&](SOCKET client) {
    WriteAll(client, Frame({0x01, 0x03, 0x00}));
    if (!WaitFlag(sendSecond, kDeadline)) return;
    WriteAll(client, Frame({0x01, 0x04, 0x00}));
    afterClose.set_value(ReadFor(client, 1, kDeadline));
  });
  ASSERT_TRUE(server.Listening());
  ASSERT_EQ(socket_->Connect(window_, "127.0.0.1"), 0);
  ASSERT_TRUE(PumpUntil([&] { return state_.readEvents >= 1; }));

  // Let the second frame sit unread in the socket, then close under it.
  sendSecond = true;
  ASSERT_TRUE(WaitReadable(socket_->Handle(), kDeadline));
  socket_->Close();
  EXPECT_FALSE(socket_->IsValid());
  EXPECT_EQ(socket_->Handle(), INVALID_SOCKET);

  // An FD_READ that was already posted, and any other late call, find nothing to do.
  static_cast<void>(socket_->Receive());
  PumpUntil([] { return false; }, milliseconds(50));
  const std::uint8_t request = 0x01;
  socket_->Send(&request, 1);

  auto first = socket_->PopPacket();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->ReadUInt16(), 3);
  EXPECT_EQ(socket_->PopPacket(), nullptr);

  auto result = afterClose.get_future();
  ASSERT_EQ(result.wait_for(kDeadline), std::future_status::ready);
  const ReadResult seen = result.get();
  EXPECT_TRUE(seen.ended);  // reset rather than closed: unread data was discarded
  EXPECT_TRUE(seen.bytes.empty());  // the Send after Close wrote nothing
}

TEST_F(SocketTest, DropQueuedPacketsDiscardsOnlyWhatWasQueued) {
  std::atomic<bool> sendLast{false};
  LoopbackServer server([&](SOCKET client) {
    WriteAll(client, Concat({Frame({0x03, 0x00, 0x00}), Frame({0x03, 0x00, 0x00})}));
    if (!WaitFlag(sendLast, kDeadline)) return;
    WriteAll(client, Frame({0x01, 0x09, 0x00}));
    ReadFor(client, 1, kDeadline);
  });
  ASSERT_TRUE(server.Listening());
  ASSERT_EQ(socket_->Connect(window_, "127.0.0.1"), 0);
  ASSERT_TRUE(PumpUntil([&] { return state_.readEvents >= 1; }));
  socket_->DropQueuedPackets();
  sendLast = true;

  auto packets = TakePackets(1);
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0]->Opcode(), 0x01);  // both TextLists were dropped
  EXPECT_EQ(packets[0]->ReadUInt16(), 9);
  socket_->Close();
}

TEST_F(SocketTest, ConnectToClosedPortReturnsWinsockError) {
  EXPECT_EQ(socket_->Connect(window_, "127.0.0.1"), WSAECONNREFUSED);
  EXPECT_FALSE(socket_->IsValid());
  EXPECT_FALSE(socket_->IsConnected());
}

TEST_F(SocketTest, HostStartingWithDigitIsNeverResolvedByName) {
  // The resolver path reports -1; a Winsock error code means the text went
  // to inet_addr and the connect itself failed.
  const int result = socket_->Connect(window_, "1nvalid.example");
  EXPECT_NE(result, 0);
  EXPECT_NE(result, -1);
  EXPECT_FALSE(socket_->IsValid());

  EXPECT_EQ(socket_->Connect(window_, ""), -1);
}

}  // namespace
