// Starting the song that currentSong names.
#pragma once

namespace kestro {

class CustomThread;

// Starts the song at currentSong; a song that cannot be played is replaced
// (PlayerState::startChain). A tick opens at most one song: when a
// replacement must wait, startChain.pending is set and the tick goes on with
// continueSongStart.
void startSong(CustomThread& thread);
// The tick's work while a replacement waits: the stop key abandons the start
// (the radio is given back as by the stop key), a press of the start key is
// used up, and otherwise the chain goes on with one more open.
void continueSongStart(CustomThread& thread);
// Forgets a waiting replacement (the on-foot stop).
void abandonSongStart();
// The start key's action: the stream when urlEnabled is set, else the first
// song.
void startPlayback(CustomThread& thread);

}  // namespace kestro
