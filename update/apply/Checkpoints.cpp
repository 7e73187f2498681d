#include "update/apply/Checkpoints.h"

#include <utility>

namespace orvex_update {
namespace {

InstallCheckpointHook g_checkpointHook = nullptr;

}  // namespace

InstallCheckpointHook SetInstallCheckpointHook(InstallCheckpointHook hook) {
  return std::exchange(g_checkpointHook, hook);
}

void Checkpoint(const char* name) {
  if (g_checkpointHook) g_checkpointHook(name);
}

}  // namespace orvex_update
