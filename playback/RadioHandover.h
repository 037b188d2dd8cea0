// Handing the game radio back when the player's own music stops.
#pragma once

namespace kestro {

class CustomThread;

// The game's radio may play again; the mobile radio too when music may play
// on foot.
void giveRadioBack();

// The end of an automatic stop on foot: the times restart and the player
// rests for 2.5 s of timer A before keys count again.
void restAfterStopOnFoot(CustomThread& thread);

}  // namespace kestro
