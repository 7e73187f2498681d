#include "update/apply/Checkpoints.h"

#include <atomic>

namespace orvex_update {
namespace {

std::atomic<InstallCheckpointHook> g_checkpointHook{nullptr};

}  // namespace

ScopedInstallCheckpointHookForTesting::ScopedInstallCheckpointHookForTesting(InstallCheckpointHook hook)
    : previous_(g_checkpointHook.exchange(hook)) {}

ScopedInstallCheckpointHookForTesting::~ScopedInstallCheckpointHookForTesting() { g_checkpointHook.store(previous_); }

void Checkpoint(const char* name) {
  if (const InstallCheckpointHook hook = g_checkpointHook.load()) hook(name);
}

}  // namespace orvex_update
