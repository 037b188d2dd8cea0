// Choosing the next and previous song, and switching the device to it.
#pragma once

namespace kestro {

class CustomThread;

// Chooses the song after the current one (sequential or random order).
void AdvanceTrack();
// Closes the open song and starts currentSong.
void SwitchToCurrentSong(CustomThread& thread);

}  // namespace kestro
