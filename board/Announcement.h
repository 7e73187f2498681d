// One announcement of the operator's feed as the window shows it. Portable.
#pragma once

#include <cstdint>
#include <string>

namespace launcher_board {

struct Announcement {
  std::uint32_t id = 0;  // number on the website, used in its link
  std::wstring date;     // display date
  std::wstring title;    // never empty
};

}  // namespace launcher_board
