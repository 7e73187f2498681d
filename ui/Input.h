// Mouse and keyboard input of the main window: hit-testing, hover, press and
// scroll. What an element does is not decided here: the window's owner
// carries out the actions reported through ActionSink.
#pragma once

#include "common/Windows.h"

#include <cstddef>

#include "ui/Layout.h"

namespace ui {

// The window's own view: what the pointer is over or pressing, the calendar
// and the board's scroll offset. Window thread.
struct ViewState {
  ElementId hovered = ElementId::None;
  ElementId pressed = ElementId::None;
  bool calendarOpen = false;
  std::size_t boardOffset = 0;
  // The pointer is over the status line or the percentage, and whether it
  // moved there since the owner last looked (the owner clears it).
  bool statusHovered = false;
  bool statusPointerMoved = false;
  StatusTip statusTip;
};

// What the input asks of the window's owner.
class ActionSink {
 public:
  // Whether the element can be used now (the hand cursor shows over it).
  [[nodiscard]] virtual bool IsEnabled(ElementId id) const = 0;
  // The player clicked the element or pressed its key.
  virtual void Perform(ElementId id) = 0;
  // How many announcements the board holds; the wheel scrolls within them.
  virtual std::size_t AnnouncementCount() const = 0;

 protected:
  ~ActionSink() = default;
};

// Handles erasing, sizing, keys and mouse input; false (not handled) for any
// other message.
[[nodiscard]] bool HandleInputMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam, ViewState& view,
                                      ActionSink& actions, LRESULT& result);

}  // namespace ui
