#include "board/BoardFeed.h"

#include <array>
#include <limits>

#include <nlohmann/json.hpp>

#include "common/Utf8.h"

namespace launcher_board {
namespace {

constexpr std::uint64_t kMaxId = std::numeric_limits<std::uint32_t>::max();

[[nodiscard]] bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

// The member's text under the text rule; a missing or non-string member is empty.
std::wstring MemberText(const nlohmann::json& item, const char* name, std::size_t byteLimit) {
  const auto found = item.find(name);
  if (found == item.end() || !found->is_string()) return {};
  return FeedText(found->get_ref<const std::string&>(), byteLimit);
}

// A JSON integer literal from 0 to 4294967295. Fractions, exponents (which the
// library reads as floating point) and out-of-range values are not ids.
[[nodiscard]] std::optional<std::uint32_t> MemberId(const nlohmann::json& item) {
  const auto found = item.find("id");
  if (found == item.end() || !found->is_number_integer()) return std::nullopt;
  if (found->is_number_unsigned()) {
    const std::uint64_t value = found->get<std::uint64_t>();
    if (value > kMaxId) return std::nullopt;
    return static_cast<std::uint32_t>(value);
  }
  const std::int64_t value = found->get<std::int64_t>();  // "-0" lands here as 0
  if (value < 0 || static_cast<std::uint64_t>(value) > kMaxId) return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

}  // namespace

std::optional<std::u16string> DecodeUtf8Strict(std::string_view text) { return utf8::DecodeStrict(text); }

std::wstring WidenUtf16Units(const std::u16string& units) {
  std::wstring out;
  out.reserve(units.size());
  for (const char16_t unit : units) out.push_back(static_cast<wchar_t>(unit));
  return out;
}

std::wstring FeedText(std::string_view utf8, std::size_t byteLimit) {
  if (utf8.size() > byteLimit) return {};
  const std::optional<std::u16string> units = DecodeUtf8Strict(utf8);
  if (!units) return {};
  std::wstring text = WidenUtf16Units(*units);
  for (wchar_t& c : text) {
    if (static_cast<std::uint32_t>(c) < 32) c = L' ';
  }
  return text;
}

std::wstring DisplayDate(const std::wstring& date) {
  if (date.size() != 10 || date[4] != L'-' || date[7] != L'-') return date;
  // Only a numeric year-month-day is rearranged; "abcd-ef-gh" is not a date.
  for (const std::size_t at : {0u, 1u, 2u, 3u, 5u, 6u, 8u, 9u}) {
    if (!IsDigit(date[at])) return date;
  }
  return date.substr(8, 2) + L"." + date.substr(5, 2) + L"." + date.substr(0, 4);
}

std::optional<std::vector<Announcement>> ParseAnnouncementFeed(std::string_view body) {
  const nlohmann::json root = nlohmann::json::parse(body.begin(), body.end(), nullptr, /*allow_exceptions=*/false);
  if (root.is_discarded() || !root.is_object()) return std::nullopt;
  const auto ok = root.find("ok");
  if (ok == root.end() || !ok->is_boolean() || !ok->get<bool>()) return std::nullopt;
  const auto items = root.find("items");
  if (items == root.end() || !items->is_array()) return std::nullopt;

  std::vector<Announcement> list;
  for (const nlohmann::json& item : *items) {
    if (list.size() == kMaxAnnouncements) break;
    if (!item.is_object()) continue;
    std::wstring title = MemberText(item, "title", kTitleByteLimit);
    if (title.empty()) continue;
    const std::optional<std::uint32_t> id = MemberId(item);
    if (!id) continue;
    list.push_back(Announcement{*id, DisplayDate(MemberText(item, "date", kDateByteLimit)), std::move(title)});
  }
  return list;
}

std::optional<std::string> ReadFeedBody(const FeedChunkReader& read, const FeedClock& now) {
  const std::uint64_t deadline = now() + kFeedReadMillis;
  std::string body;
  std::array<char, kFeedChunkBytes> chunk{};
  while (now() < deadline) {
    std::size_t count = 0;
    if (!read(chunk.data(), chunk.size(), count)) return std::nullopt;
    if (count > chunk.size()) return std::nullopt;  // a reader that overran its buffer is broken
    if (body.size() + count > kMaxFeedBytes) return std::nullopt;
    if (count == 0) return body;
    body.append(chunk.data(), count);
  }
  return std::nullopt;
}

}  // namespace launcher_board
