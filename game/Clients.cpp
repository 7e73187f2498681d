#include "game/Clients.h"

#include "common/Processes.h"

namespace game {

unsigned CountRunningClients() {
  return win::CountProcessesNamed(L"Vantrell.exe").value_or(kClientLimit);
}

bool IsGameRunning() { return CountRunningClients() > 0; }

}  // namespace game
