#include "game/Launch.h"

#include <shellapi.h>

#include <utility>

#include "common/WinHandles.h"
#include "game/BackgroundRepair.h"
#include "game/Clients.h"
#include "game/RepairSchedule.h"
#include "session/Launcher.h"

namespace game {
namespace {

constexpr std::uint64_t kGameStartWaitMs = 20000;

// The guard ended: 0 starts the game; 2 asks once for a repair pass and a
// new start; anything else is a failure the player must read.
void OnGuardExit(LaunchState& state, Launcher* session, HWND window, DWORD code) {
  if (code == 0) {
    StartGameClient(state, session, window);
    return;
  }
  state.lastPassClean = false;
  state.nextPassTime = 0;
  if (code == 2 && !state.guardRepairRequested) {
    state.guardRepairRequested = true;
    state.startPending = true;
    if (session) session->SetStatus("Repairing game files in the background...");
  } else if (session) {
    session->SetFailureStatus("ORVEX GUARD kontrolu tamamlanamadi. Lutfen hata mesajini kontrol edin.");
  }
  ::ShowWindow(window, SW_SHOW);
}

}  // namespace

void RequestGameStart(LaunchState& state, Launcher* session, HWND window) {
  if (!session || !session->Ready() || !state.LaunchIdle()) return;
  if (CountRunningClients() >= kClientLimit) {
    session->SetFailureStatus(kClientLimitText);
    return;
  }
  state.guardRepairRequested = false;
  state.startPending = true;
  if (!state.lastPassClean) state.nextPassTime = 0;
  session->SetStatus("Preparing game...");
  ServiceBackgroundRepair(state, session, window);
}

void StartGuard(LaunchState& state, Launcher* session, HWND window) {
  if (!session) return;
  session->SetStatus("Starting ORVEX GUARD...");
  if (window) {
    ::InvalidateRect(window, nullptr, FALSE);
    ::UpdateWindow(window);
  }
  const std::string folder = session->ClientFolder();
  const std::string path = folder + "\\ORVEXGuard.exe";
  std::string commandLine = "\"" + path + "\"";
  if (!state.guardRepairRequested) commandLine += " --launcher-repair";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  // CreateProcessA may write into the command line: it gets a mutable copy.
  if (::CreateProcessA(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(),
                       &startup, &process)) {
    win::UniqueHandle thread(process.hThread);
    state.guardProcess.Reset(process.hProcess);
    if (window) ::ShowWindow(window, SW_HIDE);
    return;
  }
  ::MessageBoxA(nullptr, "ORVEX GUARD could not be started. Run launcher repair.", "ORVEX", MB_OK | MB_ICONERROR);
}

void StartGameClient(LaunchState& state, Launcher* session, HWND window) {
  if (!session || !session->Ready()) {
    if (session) session->SetFailureStatus(kStartLostConnectionText);
    ::ShowWindow(window, SW_SHOW);
    return;
  }
  if (CountRunningClients() >= kClientLimit) {
    session->SetFailureStatus(kClientLimitText);
    ::ShowWindow(window, SW_SHOW);
    return;
  }
  session->SetStatus("Starting game...");
  const std::string folder = session->ClientFolder();
  const std::string path = folder + "\\Vantrell.exe";
  const std::string parameters = std::to_string(::GetCurrentProcessId());
  SHELLEXECUTEINFOA execute{};
  execute.cbSize = sizeof execute;
  execute.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
  execute.hwnd = window;
  execute.lpVerb = "open";
  execute.lpFile = path.c_str();
  execute.lpParameters = parameters.c_str();
  execute.lpDirectory = folder.c_str();
  execute.nShow = SW_RESTORE;
  if (::ShellExecuteExA(&execute) && execute.hProcess) {
    state.gameProcess.Reset(execute.hProcess);
    state.gameDeadline = ::GetTickCount64() + kGameStartWaitMs;
    return;
  }
  ::ShowWindow(window, SW_SHOW);
  ::MessageBoxA(nullptr, "ORVEX client could not be started.", "ORVEX", MB_OK | MB_ICONERROR);
}

void RunLaunchWatch(LaunchState& state, Launcher* session, HWND window) {
  if (state.guardProcess && ::WaitForSingleObject(state.guardProcess.Get(), 0) == WAIT_OBJECT_0) {
    DWORD code = 1;
    if (!::GetExitCodeProcess(state.guardProcess.Get(), &code)) code = 1;
    state.guardProcess.Reset();
    OnGuardExit(state, session, window, code);
  }

  if (state.gameProcess) {
    const HANDLE game = state.gameProcess.Get();
    const bool exited = ::WaitForSingleObject(game, 0) == WAIT_OBJECT_0;
    const bool idle = !exited && ::WaitForInputIdle(game, 0) == 0;
    if (exited || idle || ::GetTickCount64() >= state.gameDeadline) {
      const bool stillRunning = ::WaitForSingleObject(game, 0) != WAIT_OBJECT_0;
      state.gameProcess.Reset();
      if (stillRunning) {
        state.stopFlag.exchange(true);
        ::PostMessageW(window, WM_CLOSE, 0, 0);
      } else {
        if (session) session->SetFailureStatus("Game closed before startup completed.");
        ::ShowWindow(window, SW_SHOW);
      }
    }
  }
}

}  // namespace game
