// libFuzzer target: the announcements feed parser on arbitrary bytes, with the
// properties every accepted announcement must have, and the strict UTF-8
// decoder on the same input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "board/BoardFeed.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

bool NoControlCharacters(const std::wstring& text) {
  for (const wchar_t c : text) {
    if (static_cast<std::uint32_t>(c) < 32) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  if (const auto feed = launcher_board::ParseAnnouncementFeed(bytes)) {
    Check(feed->size() <= launcher_board::kMaxAnnouncements);
    for (const launcher_board::Announcement& item : *feed) {
      Check(!item.title.empty() && item.title.size() <= launcher_board::kTitleByteLimit);
      Check(item.date.size() <= launcher_board::kDateByteLimit);
      Check(NoControlCharacters(item.title) && NoControlCharacters(item.date));
    }
  }

  // A decoded text never has more UTF-16 units than the input has bytes, and
  // encoding rules make a valid decode of ASCII input the same length.
  if (const auto units = launcher_board::DecodeUtf8Strict(bytes)) {
    Check(units->size() <= size);
    for (const char16_t unit : *units) Check(unit != 0 || bytes.find('\0') != std::string_view::npos);
  }
  return 0;
}
