#include "playback/RadioHandover.h"

#include "game/Natives.h"
#include "plugin/CustomThread.h"
#include "plugin/PlayerState.h"

namespace kestro {

void turnGameRadioOff() {
    DISABLE_FRONTEND_RADIO();
    SET_MOBILE_PHONE_RADIO_STATE(false);
    SET_MOBILE_RADIO_ENABLED_DURING_GAMEPLAY(false);
}

void giveRadioBack() {
    ENABLE_FRONTEND_RADIO();
    if (playerState.OnFootEnabled == 1) {
        SET_MOBILE_PHONE_RADIO_STATE(true);
        SET_MOBILE_RADIO_ENABLED_DURING_GAMEPLAY(true);
    }
}

void restAfterStopOnFoot(CustomThread& thread) {
    playerState.startTime = static_cast<std::int32_t>(gameTimer());
    SETTIMERA();
    thread.playerMode = Resting;
}

void endPlaybackPauses() {
    PlayerState& s = playerState;
    s.paused = 0;
    s.fadePaused = 0;
    s.running = 1;
    s.cutscenePaused = 0;
    if (s.panelHiddenByCutscene) {
        s.displayOn = 1;
        s.panelHiddenByCutscene = 0;
    }
}

void notePlayedTimeAtPause() {
    playerState.elapsedMs = static_cast<std::int32_t>(gameTimer() - static_cast<std::uint32_t>(playerState.startTime));
}

}  // namespace kestro
