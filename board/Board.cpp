#include "board/Board.h"

#include "common/WinHttpHandles.h"

#include <thread>
#include <utility>

#include "board/BoardFeed.h"
#include "board/Links.h"

namespace launcher_board {
namespace {

constexpr wchar_t kUserAgent[] = L"ORVEX Launcher";
constexpr wchar_t kFeedPath[] = L"/api/launcher/announcements";
constexpr int kResolveTimeoutMs = 1800;
constexpr int kConnectTimeoutMs = 2000;
constexpr int kSendTimeoutMs = 2000;
constexpr int kReceiveTimeoutMs = 2000;
// Cookies, redirects and automatic authentication off: the feed is one plain GET.
constexpr DWORD kDisabledFeatures =
    WINHTTP_DISABLE_COOKIES | WINHTTP_DISABLE_REDIRECTS | WINHTTP_DISABLE_AUTHENTICATION;
static_assert(kDisabledFeatures == 7);
constexpr std::uint64_t kFetchPeriodMs = 60000;

}  // namespace

std::optional<AnnouncementList> FetchAnnouncements(std::wstring origin) {
  const std::optional<LinkOrigin> target = CrackLinkOrigin(origin);
  if (!target) return std::nullopt;

  // Synchronous session with the system's proxy setting and, for https, the
  // system's normal certificate checks (the feed carries no pin).
  win::UniqueInternet session(::WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                            WINHTTP_NO_PROXY_BYPASS, 0));
  if (!session) return std::nullopt;
  if (!::WinHttpSetTimeouts(session.Get(), kResolveTimeoutMs, kConnectTimeoutMs, kSendTimeoutMs,
                            kReceiveTimeoutMs)) {
    return std::nullopt;
  }
  win::UniqueInternet connection(::WinHttpConnect(session.Get(), target->host.c_str(), target->port, 0));
  if (!connection) return std::nullopt;
  win::UniqueInternet request(::WinHttpOpenRequest(connection.Get(), L"GET", kFeedPath, nullptr,
                                                   WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                   target->secure ? WINHTTP_FLAG_SECURE : 0));
  if (!request) return std::nullopt;
  DWORD features = kDisabledFeatures;
  // A redirect that could not be switched off might lead anywhere: no fetch then.
  if (!::WinHttpSetOption(request.Get(), WINHTTP_OPTION_DISABLE_FEATURE, &features, sizeof features)) {
    return std::nullopt;
  }
  if (!::WinHttpSendRequest(request.Get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
      !::WinHttpReceiveResponse(request.Get(), nullptr)) {
    return std::nullopt;
  }
  DWORD status = 0;
  DWORD size = sizeof status;
  if (!::WinHttpQueryHeaders(request.Get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX) ||
      status != 200) {
    return std::nullopt;
  }

  const std::optional<std::string> body = ReadFeedBody(
      [&request](char* buffer, std::size_t capacity, std::size_t& count) {
        DWORD read = 0;
        const BOOL ok = ::WinHttpReadData(request.Get(), buffer, static_cast<DWORD>(capacity), &read);
        count = read;
        return ok != FALSE;
      },
      [] { return static_cast<std::uint64_t>(::GetTickCount64()); });
  if (!body) return std::nullopt;
  return ParseAnnouncementFeed(*body);
}

std::future<std::optional<AnnouncementList>> StartAnnouncementFetch(std::wstring origin) {
  // A detached thread with a packaged task rather than std::async: the future of
  // std::async blocks in its destructor, so a fetch in flight at shutdown (up to
  // several seconds of WinHTTP time-outs) would hold the closing launcher.
  std::packaged_task<std::optional<AnnouncementList>(std::wstring)> task(FetchAnnouncements);
  auto result = task.get_future();
  std::thread(std::move(task), std::move(origin)).detach();
  return result;
}

void PollAnnouncements(BoardState& state, const std::string& websiteLink) {
  if (state.task.valid()) {
    if (state.task.wait_for(std::chrono::seconds(0)) != std::future_status::ready) return;
    auto task = std::move(state.task);
    try {
      std::optional<AnnouncementList> result = task.get();
      if (result) {
        state.announcements = std::move(*result);
        state.loaded = true;
      }
    } catch (...) {
      // The fetch failed inside (memory, the JSON library): same as no value.
    }
    state.fetchFinished = true;
    return;
  }
  const std::uint64_t now = ::GetTickCount64();
  if (now < state.nextFetchTime) return;
  state.nextFetchTime = now + kFetchPeriodMs;
  try {
    state.task = StartAnnouncementFetch(ReadLinkOrigin(websiteLink));
  } catch (...) {
    // No thread could be started: a failed fetch; the next try is a minute away.
    state.fetchFinished = true;
  }
}

}  // namespace launcher_board
