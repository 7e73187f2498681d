// The announcements board's background fetch and its poller on the window thread.
#pragma once

#include <cstdint>
#include <future>
#include <optional>
#include <string>
#include <vector>

#include "board/Announcement.h"

namespace launcher_board {

using AnnouncementList = std::vector<Announcement>;

// GET "/api/launcher/announcements" on the scheme, host and port of origin
// (http or https, no credentials; its path is ignored). Returns the accepted
// list (possibly empty), or no value for any failure. Blocking; runs on
// whatever thread calls it and touches no shared state.
[[nodiscard]] std::optional<AnnouncementList> FetchAnnouncements(std::wstring origin);

// Starts FetchAnnouncements(origin) at once on a new detached worker thread.
// The returned future carries the result or the exception raised inside; unlike
// a future of std::async, dropping it never waits for the fetch. Throws
// std::system_error when no thread can be started.
std::future<std::optional<AnnouncementList>> StartAnnouncementFetch(std::wstring origin);

// The board as the window shows it, and its fetch in flight. Window thread.
struct BoardState {
  AnnouncementList announcements;
  bool loaded = false;         // a fetch has delivered a list at least once
  bool fetchFinished = false;  // a fetch has finished at least once
  std::future<std::optional<AnnouncementList>> task;
  std::uint64_t nextFetchTime = 0;
};

// Window thread, timer 103: collects a finished board fetch into state, or
// starts the next one (on the link origin, ReadLinkOrigin) when none is
// running and its time has come.
void PollAnnouncements(BoardState& state, const std::string& websiteLink);

}  // namespace launcher_board
