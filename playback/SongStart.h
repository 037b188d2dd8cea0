// Starting the song that currentSong names.
#pragma once

#include <cstdint>

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
// The song that started (PlayingSong) failed later, with `error`: reported
// and replaced as a failed play is, going on with the chain of its start
// (this tick has made no open yet). A chain that ends without a song closes
// the failed one.
void replaceLateFailedSong(CustomThread& thread, std::uint32_t error);
// The start key's action: the stream when urlEnabled is set, else the first
// song.
void startPlayback(CustomThread& thread);

}  // namespace kestro
