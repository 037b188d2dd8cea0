// Starting the song that currentSong names.
#pragma once

namespace kestro {

class CustomThread;

void startSong(CustomThread& thread);

}  // namespace kestro
