// The current time in Turkey, for the event calendar.
#pragma once

#include "common/Windows.h"

#include <optional>

namespace ui {

// Current local time of the "Turkey Standard Time" zone; nullopt when the zone
// is unknown to the system or the conversion fails.
[[nodiscard]] std::optional<SYSTEMTIME> CurrentTurkeyTime();

}  // namespace ui
