// The announcements feed as bytes and text: the bounded body read, the JSON
// rules, the strict text conversion and the display date. Portable: no Windows
// header, so the native build runs it under the sanitizers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "board/Announcement.h"

namespace launcher_board {

inline constexpr std::size_t kMaxAnnouncements = 12;
inline constexpr std::size_t kMaxFeedBytes = 65536;
inline constexpr std::size_t kFeedChunkBytes = 4096;
inline constexpr std::uint64_t kFeedReadMillis = 5000;
inline constexpr std::size_t kTitleByteLimit = 480;  // 120 characters of at most 4 bytes
inline constexpr std::size_t kDateByteLimit = 40;    // 10 characters of at most 4 bytes

// Strict UTF-8 to UTF-16 code units; no value for any invalid sequence
// (stray continuation, truncation, overlong form, surrogate, above U+10FFFF).
[[nodiscard]] std::optional<std::u16string> DecodeUtf8Strict(std::string_view utf8);

// UTF-16 code units widened one by one into a wide string. On Windows this is
// the text itself; on the native build each wchar_t holds one UTF-16 unit, so
// lengths and contents agree between the two builds.
std::wstring WidenUtf16Units(const std::u16string& units);

// The feed's text rule: empty when utf8 is longer than byteLimit bytes or is
// not strict UTF-8; otherwise its UTF-16 units with every unit below 32
// replaced by a blank.
std::wstring FeedText(std::string_view utf8, std::size_t byteLimit);

// "YYYY-MM-DD" (ten characters, digits around the dashes) becomes "DD.MM.YYYY";
// every other text is returned unchanged.
std::wstring DisplayDate(const std::wstring& date);

// The feed body as announcements in feed order, at most kMaxAnnouncements; no
// value when the body is not JSON, its root is not an object, "ok" is not the
// boolean true or "items" is not an array. Bad items are skipped one by one.
// Does not throw for malformed input.
std::optional<std::vector<Announcement>> ParseAnnouncementFeed(std::string_view body);

// Reads at most `capacity` bytes into `buffer`, sets `count` to the bytes read
// (0 at the end of the body); false when the read failed.
using FeedChunkReader = std::function<bool(char* buffer, std::size_t capacity, std::size_t& count)>;
// Current time in milliseconds on a monotonic clock.
using FeedClock = std::function<std::uint64_t()>;

// Reads a whole body in chunks of kFeedChunkBytes until a read of 0 bytes,
// within kFeedReadMillis of the first call to `now`. No value when a read
// fails, the body would exceed kMaxFeedBytes, or the time runs out first.
// Runs on the caller's thread.
[[nodiscard]] std::optional<std::string> ReadFeedBody(const FeedChunkReader& read, const FeedClock& now);

}  // namespace launcher_board
