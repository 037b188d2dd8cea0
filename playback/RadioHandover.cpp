#include "playback/RadioHandover.h"

#include "game/Natives.h"
#include "plugin/CustomThread.h"
#include "plugin/PlayerState.h"

namespace kestro {

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

}  // namespace kestro
