// Starting the song that currentSong names.
#pragma once

namespace kestro {

class CustomThread;

void startSong(CustomThread& thread);
// The start key's action: the stream when urlEnabled is set, else the first
// song.
void startPlayback(CustomThread& thread);

}  // namespace kestro
