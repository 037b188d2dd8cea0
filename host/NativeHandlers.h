// The game's side of the 24 natives the plug-in calls: a handler per native
// hash, registered with the script hook, that answers from the simulated
// world and reports what the player would see or hear to the transcript.
#pragma once

#include <cstdint>
#include <span>

#include "game/NativeTable.h"

namespace kestro::host {

class GameWorld;
class Transcript;

// The natives the host provides: the plug-in's own table of them
// (game/NativeTable.h), so that both sides use the same names, hashes and
// argument counts.
std::span<const NativeInfo> gameNatives();

// Registers a handler for every native of gameNatives(). The world (and the
// transcript, which may be null) must outlive the registration; call
// scripthook::clearNatives() before they go.
//
// A call with fewer argument slots than the native reads is not run: it is
// reported as "native-error" and the context is left as it is.
void registerGameNatives(GameWorld& world, Transcript* transcript);

}  // namespace kestro::host
