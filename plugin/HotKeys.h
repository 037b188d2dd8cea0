// The hot keys of each mode. At most one key acts per tick; a handler that
// reports an MCI error ends the tick.
#pragma once

namespace kestro {

class CustomThread;

void pollIdleKeys(CustomThread& thread);
void pollSongKeys(CustomThread& thread);
void pollStreamKeys(CustomThread& thread);

}  // namespace kestro
