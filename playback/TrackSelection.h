// Choosing the next and previous song, and switching the device to it.
#pragma once

#include <cstdint>

namespace kestro {

class CustomThread;

// Chooses the song after the current one (sequential or random order).
void AdvanceTrack();
// Chooses the song before the current one (sequential, or back through the
// history of random draws).
void PreviousTrack();
// Closes the open song and starts currentSong.
void SwitchToCurrentSong(CustomThread& thread);

// A random draw from 0 to lastIndex into randomIndex: currentSong becomes
// that entry and the draw is recorded in the history (the oldest draw is
// dropped when the history is full).
void drawRandomSong();
// The same for a chosen index (0 when outside the table).
void selectRandomSong(std::uint32_t index);

// `index` when it names a song from 0 to lastIndex, else 0: a game whose
// random numbers leave their range cannot point the player outside its
// library.
std::uint32_t validIndex(std::int32_t index);

}  // namespace kestro
