// The now-playing panel drawn on the game screen.
#pragma once

#include <cstdint>

namespace kestro {

// The panel step of a tick: when displayOn is exactly 1, the song panel
// (songActive) and then the stream panel (streamActive), each refreshing
// elapsedMs and the time texts first unless paused. Besides this, only a
// pause sets elapsedMs (to the time played when it paused).
void drawPanel();

// A millisecond count (taken as unsigned 32-bit) as "HH:MM:SS", hours modulo
// 24, into a 70-byte text.
void formatPanelTime(char* dest, std::uint32_t ms);

}  // namespace kestro
