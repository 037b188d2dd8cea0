// Taking the game radio over when the player's own music starts, and handing
// the game back what playback took when it stops; the pauses that playback
// keeps with it.
#pragma once

namespace kestro {

class CustomThread;

// The game's radio off while music plays: the front-end radio, then the
// mobile phone radio, then the mobile radio during gameplay.
void turnGameRadioOff();

// The game's radio may play again; the mobile radio too when music may play
// on foot.
void giveRadioBack();

// The end of an automatic stop on foot: the times restart and the player
// rests for 2.5 s of timer A before keys count again.
void restAfterStopOnFoot(CustomThread& thread);

// Whatever stops a song or the stream ends its pauses: the pause flags
// clear, and a cutscene's pause is over for this playback. A panel that the
// cutscene hid is shown again, so the panel is back as it was before the
// cutscene; the cutscene's end then has nothing of this playback to resume
// (a new song would otherwise be resumed with the old song's times).
void endPlaybackPauses();

// At a pause (the pause key, a cutscene): elapsedMs becomes the time the
// song or stream has played (game timer - startTime), so the resume goes on
// from there whether or not the panel was drawn (a hidden panel refreshes
// nothing).
void notePlayedTimeAtPause();

}  // namespace kestro
