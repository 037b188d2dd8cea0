#include "plugin/InfoPanel.h"

namespace kestro {

// Not built yet: the panel's lines (times, tags, volume, random marker) come
// with the info panel.
void drawSongPanel() {}
void drawStreamPanel() {}

}  // namespace kestro
