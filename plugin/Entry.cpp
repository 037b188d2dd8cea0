// The plug-in's load path. Static initialisation in this file runs in
// definition order: first the fifteen settings reads, then the one script
// thread, so every setting is in place before the thread exists. The loader
// then calls DllMain, which hands the thread to the script hook on process
// attach. At unload the thread object is destroyed by static destruction.
#include "plugin/CustomThread.h"
#include "library/SongTable.h"
#include "plugin/PlayerState.h"
#include "scripthook/ScriptHook.h"
#include "settings/Settings.h"

namespace {

[[maybe_unused]] const bool settingsRead = (kestro::readLoadTimeSettings(), true);

kestro::CustomThread theScriptThread;

constexpr unsigned long kProcessAttach = 1;

}  // namespace

// The entry routine the loader calls with the reasons 0 (process detach),
// 1 (process attach), 2 (thread attach) and 3 (thread detach). Only process
// attach does anything. It never fails.
extern "C" __attribute__((visibility("default"))) int DllMain(void* instance, unsigned long reason,
                                                              void* reserved) {
    (void)instance;
    (void)reserved;
    if (reason == kProcessAttach) ScriptHookManager::RegisterThread(&theScriptThread);
    return 1;
}

// A read-only view of the player state for the host's diagnostics (settings
// display, tests). Not part of the loader's contract.
extern "C" __attribute__((visibility("default"))) const kestro::PlayerState* KestroPlayerState() {
    return &kestro::playerState;
}

// The number of songs in the table (the host's status line shows it after
// the scan). Read-only, like the view above.
extern "C" __attribute__((visibility("default"))) std::int32_t KestroSongCount() { return kestro::songCount; }
