// The board fetch over WinHTTP against a one-connection HTTP server in this
// process, and the poller's handling of the board's state.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "board/Board.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "board/BoardFeed.h"
#include "tests/win/WinTestUtil.h"

namespace {

using launcher_board::FetchAnnouncements;

struct Piece {
  std::string bytes;
  DWORD delayMs = 0;  // before sending
};

// Accepts at most one connection on 127.0.0.1 (any free port) within
// acceptWaitMs, records the request head and sends the pieces.
class OneShotServer {
 public:
  explicit OneShotServer(std::vector<Piece> pieces, DWORD acceptWaitMs = 8000) : pieces_(std::move(pieces)) {
    WSADATA data{};
    ::WSAStartup(MAKEWORD(2, 2), &data);
    listener_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener_, 4);
    int length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    worker_ = std::thread([this, acceptWaitMs] { Serve(acceptWaitMs); });
  }
  ~OneShotServer() {
    Join();
    ::closesocket(listener_);
    ::WSACleanup();
  }
  void Join() {
    if (worker_.joinable()) worker_.join();
  }
  unsigned short Port() const { return port_; }
  std::wstring Origin(const std::wstring& rest = L"") const {
    return L"http://127.0.0.1:" + std::to_wstring(port_) + rest;
  }
  // Valid after Join().
  bool Connected() const { return connected_; }
  const std::string& Request() const { return request_; }

 private:
  void Serve(DWORD acceptWaitMs) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(listener_, &readable);
    timeval wait{static_cast<long>(acceptWaitMs / 1000), static_cast<long>(acceptWaitMs % 1000) * 1000};
    if (::select(0, &readable, nullptr, nullptr, &wait) != 1) return;
    SOCKET client = ::accept(listener_, nullptr, nullptr);
    if (client == INVALID_SOCKET) return;
    connected_ = true;
    char buffer[2048];
    while (request_.find("\r\n\r\n") == std::string::npos) {
      const int got = ::recv(client, buffer, sizeof buffer, 0);
      if (got <= 0) break;
      request_.append(buffer, static_cast<std::size_t>(got));
    }
    for (const Piece& piece : pieces_) {
      if (piece.delayMs) ::Sleep(piece.delayMs);
      if (::send(client, piece.bytes.data(), static_cast<int>(piece.bytes.size()), 0) < 0) break;
    }
    ::shutdown(client, SD_SEND);
    ::Sleep(50);
    ::closesocket(client);
  }

  std::vector<Piece> pieces_;
  SOCKET listener_ = INVALID_SOCKET;
  unsigned short port_ = 0;
  std::thread worker_;
  bool connected_ = false;
  std::string request_;
};

std::string Head(int status, std::size_t length, const std::string& extra = "") {
  return "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Type: application/json\r\nContent-Length: " +
         std::to_string(length) + "\r\nConnection: close\r\n" + extra + "\r\n";
}

std::vector<Piece> Answer(const std::string& body, int status = 200) {
  return {{Head(status, body.size()) + body}};
}

const std::string kFeed =
    "{\"ok\":true,\"items\":[{\"id\":41,\"title\":\"Bak\xC4\xB1m\",\"date\":\"2026-02-01\"},"
    "{\"id\":42,\"title\":\"Etkinlik\"}]}";

TEST(BoardFetch, ReadsTheFeedPathOfTheOriginAndConvertsItems) {
  OneShotServer server(Answer(kFeed));
  // Any path, query or fragment of the origin is ignored.
  const auto list = FetchAnnouncements(server.Origin(L"/site/index.html?x=1#top"));
  server.Join();
  ASSERT_TRUE(list.has_value());
  ASSERT_EQ(list->size(), 2u);
  EXPECT_EQ((*list)[0].id, 41u);
  EXPECT_EQ((*list)[0].title, L"Bak\u0131m");
  EXPECT_EQ((*list)[0].date, L"01.02.2026");
  EXPECT_EQ((*list)[1].date, L"");
  EXPECT_EQ(server.Request().rfind("GET /api/launcher/announcements HTTP/1.1\r\n", 0), 0u) << server.Request();
  EXPECT_NE(server.Request().find("User-Agent: ORVEX Launcher\r\n"), std::string::npos) << server.Request();
}

TEST(BoardFetch, BodyWithoutLengthEndsAtClose) {
  OneShotServer server({{"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n"}, {kFeed.substr(0, 20), 100},
                        {kFeed.substr(20), 100}});
  const auto list = FetchAnnouncements(server.Origin());
  ASSERT_TRUE(list.has_value());
  EXPECT_EQ(list->size(), 2u);
}

TEST(BoardFetch, OnlyStatus200IsAccepted) {
  for (const int status : {201, 204, 404, 500}) {
    OneShotServer server(Answer(kFeed, status));
    EXPECT_FALSE(FetchAnnouncements(server.Origin()).has_value()) << status;
  }
}

TEST(BoardFetch, RedirectIsNotFollowed) {
  OneShotServer target(Answer(kFeed), 1500);
  const std::string location =
      "Location: http://127.0.0.1:" + std::to_string(target.Port()) + "/api/launcher/announcements\r\n";
  OneShotServer server({{Head(302, 0, location)}});
  EXPECT_FALSE(FetchAnnouncements(server.Origin()).has_value());
  target.Join();
  EXPECT_FALSE(target.Connected());
}

TEST(BoardFetch, BodySizeLimit) {
  std::string exact = kFeed + std::string(launcher_board::kMaxFeedBytes - kFeed.size(), ' ');
  OneShotServer fits(Answer(exact));
  EXPECT_TRUE(FetchAnnouncements(fits.Origin()).has_value());
  OneShotServer over(Answer(exact + " "));
  EXPECT_FALSE(FetchAnnouncements(over.Origin()).has_value());
}

TEST(BoardFetch, BodyArrivingOverMoreThanFiveSecondsIsRejected) {
  // Each piece within the 2 s receive time-out, the whole beyond 5 s.
  std::vector<Piece> slow{{Head(200, kFeed.size())}};
  const std::size_t step = kFeed.size() / 6 + 1;
  for (std::size_t at = 0; at < kFeed.size(); at += step) slow.push_back({kFeed.substr(at, step), 1100});
  OneShotServer server(slow);
  const auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(FetchAnnouncements(server.Origin()).has_value());
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(9));
}

TEST(BoardFetch, BadAnswersGiveNoValue) {
  for (const std::string& body : {std::string("{\"ok\":false,\"items\":[]}"), std::string("{\"ok\":true}"),
                                 std::string("{\"ok\":true,\"items\":["), std::string("<html></html>")}) {
    OneShotServer server(Answer(body));
    EXPECT_FALSE(FetchAnnouncements(server.Origin()).has_value()) << body;
  }
  OneShotServer empty(Answer("{\"ok\":true,\"items\":[]}"));
  const auto list = FetchAnnouncements(empty.Origin());
  ASSERT_TRUE(list.has_value());
  EXPECT_TRUE(list->empty());
}

TEST(BoardFetch, UnusableOriginsAreRejectedWithoutConnecting) {
  OneShotServer server(Answer(kFeed), 1500);
  const std::wstring port = std::to_wstring(server.Port());
  const std::vector<std::wstring> origins{std::wstring(),
                                          L"http://user@127.0.0.1:" + port,
                                          L"http://user:pw@127.0.0.1:" + port,
                                          L"http://:pw@127.0.0.1:" + port,
                                          L"ftp://127.0.0.1:" + port,
                                          L"127.0.0.1:" + port,
                                          L"http://:" + port,
                                          L"not a url"};
  for (const std::wstring& origin : origins) {
    EXPECT_FALSE(FetchAnnouncements(origin).has_value()) << std::string(origin.begin(), origin.end());
  }
  server.Join();
  EXPECT_FALSE(server.Connected());
}

TEST(BoardFetch, NothingListeningGivesNoValue) {
  unsigned short freePort = 0;
  {
    OneShotServer probe({}, 0);
    freePort = probe.Port();
  }
  EXPECT_FALSE(FetchAnnouncements(L"http://127.0.0.1:" + std::to_wstring(freePort)).has_value());
}

TEST(BoardTask, DroppingAFetchInFlightDoesNotWait) {
  OneShotServer server({{Head(200, kFeed.size()), 1800}, {kFeed}});
  const auto started = std::chrono::steady_clock::now();
  {
    auto task = launcher_board::StartAnnouncementFetch(server.Origin());
    EXPECT_EQ(task.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  }
  // Waiting for the fetch would take at least the server's 1800 ms.
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1500));
  server.Join();  // the detached fetch finishes by itself
  auto task = launcher_board::StartAnnouncementFetch(L"http://user@x");
  ASSERT_EQ(task.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_FALSE(task.get().has_value());
}

void PollUntilCollected(launcher_board::BoardState& state) {
  ASSERT_TRUE(state.task.valid());
  for (int i = 0; i < 200 && state.task.valid(); ++i) {
    ::Sleep(50);
    PollAnnouncements(state, "");
  }
  ASSERT_FALSE(state.task.valid());
}

TEST(BoardPoll, CollectsKeepsTheListOnFailureAndEmptiesOnAnEmptyFeed) {
  testutil::IniFolder folder("board-poll");
  launcher_board::BoardState state;
  auto serveAndPoll = [&](const std::string& body) {
    OneShotServer server(Answer(body));
    const std::wstring origin = server.Origin();
    folder.WriteIni("[ORVEX_LINKS]\r\nAnnouncementsOrigin=" + std::string(origin.begin(), origin.end()) + "\r\n");
    state.nextFetchTime = 0;
    PollAnnouncements(state, "");  // starts the task
    PollUntilCollected(state);
  };

  serveAndPoll("{\"ok\":false}");
  EXPECT_TRUE(state.fetchFinished);
  EXPECT_FALSE(state.loaded);
  EXPECT_TRUE(state.announcements.empty());

  serveAndPoll(kFeed);
  EXPECT_TRUE(state.loaded);
  ASSERT_EQ(state.announcements.size(), 2u);
  // The next fetch is a minute after the start of this one.
  const std::uint64_t now = ::GetTickCount64();
  EXPECT_GT(state.nextFetchTime, now + 50000);
  EXPECT_LE(state.nextFetchTime, now + 60000);
  PollAnnouncements(state, "");
  EXPECT_FALSE(state.task.valid());

  serveAndPoll("not json");
  EXPECT_EQ(state.announcements.size(), 2u);  // a failed fetch keeps the list
  EXPECT_TRUE(state.loaded);

  serveAndPoll("{\"ok\":true,\"items\":[]}");
  EXPECT_TRUE(state.announcements.empty());
  EXPECT_TRUE(state.loaded);
}

}  // namespace
