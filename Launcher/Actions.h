// The actions behind the window's elements: what Start, the links, the
// calendar, the board rows, Minimise and Close do, and when each can be used.
#pragma once

#include "Launcher/App.h"
#include "ui/Input.h"

namespace app {

// Whether the element can be used now.
[[nodiscard]] bool IsElementEnabled(const AppState& app, ui::ElementId id);

// Carries out the element's action (nothing when disabled or no session exists).
void PerformElementAction(AppState& app, HWND window, ui::ElementId id);

// The window input's view of the actions.
class WindowActions final : public ui::ActionSink {
 public:
  WindowActions(AppState& app, HWND window) : app_(app), window_(window) {}
  [[nodiscard]] bool IsEnabled(ui::ElementId id) const override { return IsElementEnabled(app_, id); }
  void Perform(ui::ElementId id) override { PerformElementAction(app_, window_, id); }
  std::size_t AnnouncementCount() const override { return app_.board.announcements.size(); }

 private:
  AppState& app_;
  HWND window_;
};

}  // namespace app
