#include "playback/TrackSelection.h"

#include "playback/MciSongPlayer.h"
#include "playback/SongStart.h"
#include "plugin/CustomThread.h"

namespace kestro {

// Not built yet: the choice of the next song (sequential with wrap-around,
// random with history) comes with track selection. Until then the current
// song stays selected.
void AdvanceTrack() {}

void SwitchToCurrentSong(CustomThread& thread) {
    closeSong(thread);
    startSong(thread);
}

}  // namespace kestro
