// The normal run mode's process-wide state, wired together here and nowhere
// else: the main window, the session, the game start with the background
// repair, the board and the window's view. Written by start-up before the
// update thread starts; afterwards by the window thread only.
#pragma once

#include "common/Windows.h"

#include "board/Board.h"
#include "game/Launch.h"
#include "ui/Input.h"
#include "ui/Paint.h"

class Launcher;

namespace app {

struct AppState {
  HWND mainWindow = nullptr;
  Launcher* session = nullptr;
  game::LaunchState launch;
  launcher_board::BoardState board;
  ui::ViewState view;
};

AppState& State();

// What one frame shows: the session, the game start, the board, the view and
// the clock, read now.
ui::FrameInputs GatherFrameInputs(const AppState& app);

// Opens or closes the status line's tip for where the pointer is and what
// the line says now. Window thread: the timers and the pointer's moves.
void RefreshStatusTip(AppState& app);

}  // namespace app
