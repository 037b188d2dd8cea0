#include "plugin/HotKeys.h"

#include "plugin/CustomThread.h"

namespace kestro {

// Not built yet: the key handlers of the three modes come with the hot-key
// controls.
void pollIdleKeys(CustomThread&) {}
void pollSongKeys(CustomThread&) {}
void pollStreamKeys(CustomThread&) {}

}  // namespace kestro
