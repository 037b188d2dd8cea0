// Per-tick cost of the plug-in: one idle tick through the real native
// dispatch of the script hook and the host's simulated game.
#include <benchmark/benchmark.h>

#include "host/GameWorld.h"
#include "host/Natives.h"
#include "plugin/CustomThread.h"
#include "plugin/PlayerState.h"
#include "scripthook/HookHost.h"

namespace {

void BM_IdleTick(benchmark::State& state) {
    kestro::resetPlayerState();
    kestro::playerState.rescanPending = 0;  // the first-tick scan is measured elsewhere
    scripthook::clearNatives();
    scripthook::forgetThreads();
    kestro::host::GameWorld world;
    kestro::host::registerGameNatives(world, nullptr);
    kestro::CustomThread thread;
    ScriptHookManager::RegisterThread(&thread);
    for (auto _ : state) {
        world.beginTick();
        scripthook::tickThreads();
        world.endTick();
    }
    scripthook::forgetThreads();
    scripthook::clearNatives();
}
BENCHMARK(BM_IdleTick);

}  // namespace
