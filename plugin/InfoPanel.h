// The now-playing panel drawn on the game screen.
#pragma once

namespace kestro {

void drawSongPanel();
void drawStreamPanel();

}  // namespace kestro
