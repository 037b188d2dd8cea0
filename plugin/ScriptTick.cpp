// The script tick: the player's whole control loop, run once per script tick
// by the script hook. The order of the steps below is the order in which the
// player reacts to the game within one tick.
#include "game/Natives.h"
#include "library/LibraryScan.h"
#include "platform/system/Keyboard.h"
#include "playback/MciSongPlayer.h"
#include "playback/RadioHandover.h"
#include "playback/SongStart.h"
#include "playback/TrackSelection.h"
#include "playback/UrlStreamPlayer.h"
#include "plugin/CustomThread.h"
#include "plugin/HotKeys.h"
#include "plugin/InfoPanel.h"
#include "plugin/PlayerState.h"
#include "settings/Settings.h"

namespace kestro {

namespace {

// Wrapping millisecond arithmetic on the 32-bit clocks (no signed overflow).
std::int32_t msDifference(std::uint32_t a, std::int32_t b) {
    return static_cast<std::int32_t>(a - static_cast<std::uint32_t>(b));
}

// Step 5/6 for one kind of playback: pause at the moment a cutscene begins,
// resume once it has finished.
template <class Pause, class Resume>
void followCutscene(Pause pause, Resume resume) {
    PlayerState& s = playerState;
    if (!s.paused && GET_CUTSCENE_TIME() == 1) {
        pause();
        notePlayedTimeAtPause();
        s.cutscenePaused = 1;
        s.endTime = PausedEndTime;
        s.running = 0;
        s.paused = 1;
        if (s.displayOn == 1) {
            s.displayOn = 0;
            s.panelHiddenByCutscene = 1;
        }
    }
    if (HAS_CUTSCENE_FINISHED() && s.cutscenePaused) {
        resume();
        DISABLE_FRONTEND_RADIO();
        SET_MOBILE_PHONE_RADIO_STATE(false);
        SET_MOBILE_RADIO_ENABLED_DURING_GAMEPLAY(false);
        s.cutscenePaused = 0;
        s.endTime = static_cast<std::uint32_t>(s.lengthMs) - static_cast<std::uint32_t>(s.elapsedMs);
        SETTIMERA();
        s.startTime = msDifference(gameTimer(), s.elapsedMs);
        s.running = 1;
        s.paused = 0;
        if (s.panelHiddenByCutscene) {
            s.displayOn = 1;
            s.panelHiddenByCutscene = 0;
        }
    }
}

// Step 8 for one kind of playback.
void watchVehicle() {
    PlayerState& s = playerState;
    std::int32_t character = playerCharacter();
    if (IS_CHAR_IN_ANY_CAR(character)) {
        GET_CAR_CHAR_IS_USING(character, &s.currentVehicle);
        if (s.currentVehicle != s.startVehicle) RETUNE_RADIO_TO_STATION_NAME();
    }
}

}  // namespace

void CustomThread::ScriptBody() {
    PlayerState& s = playerState;

    // 1-2. On foot while music may play only in a vehicle: stop and rest.
    // A start whose replacement waits for its open stops the same way.
    if ((s.songActive || s.startChain.pending) && s.OnFootEnabled == 0) {
        if (IS_CHAR_ON_FOOT(playerCharacter())) {
            s.vehicleWatch = 0;
            abandonSongStart();
            stopSongAndRestoreRadio(*this);
        }
    }
    if (s.streamActive && s.OnFootEnabled == 0) {
        if (IS_CHAR_ON_FOOT(playerCharacter())) {
            s.vehicleWatch = 0;
            stopStreamOnFoot(*this);
        }
    }

    // 3. Pause menu: pause while the front end fades, resume after.
    bool skipFadeResume = false;
    if (IS_FRONTEND_FADING() && s.songActive && !s.fadePaused && !s.paused) {
        MciResult rc = pauseSong();
        if (rc != 0) {
            ReportMciError(rc);
            return;
        }
        s.fadePaused = 1;
    }
    if (IS_FRONTEND_FADING() && s.streamActive && !s.fadePaused) {
        if (s.paused) {
            skipFadeResume = true;
        } else {
            pauseStream();
            s.fadePaused = 1;
        }
    }
    // The fade's end resumes only what the fade paused: a pause by the key
    // or a cutscene made during the fade stays (it ends the fade's pause).
    if (!skipFadeResume && s.fadePaused && s.paused && !IS_FRONTEND_FADING()) {
        s.fadePaused = 0;
    } else if (!skipFadeResume && s.fadePaused) {
        if (!IS_FRONTEND_FADING() && s.streamActive) {
            resumeStream();
            s.fadePaused = 0;
        } else if (!IS_FRONTEND_FADING() && s.songActive) {
            MciResult rc = resumeSong();
            if (rc != 0) {
                ReportMciError(rc);
                return;
            }
            s.fadePaused = 0;
        }
    }

    // 4. Library scan (normally the first tick only), then the stream address.
    if (s.rescanPending) {
        scanLibrary();
        readStreamUrl();
    }

    // 5-6. Cutscenes.
    if (s.songActive) followCutscene([] { pauseSong(); }, [] { resumeSong(); });
    if (s.streamActive) followCutscene([] { pauseStream(); }, [] { resumeStream(); });

    // 7. Keep the game radio off while something plays.
    if (IS_RADIO_RETUNING() && s.songActive) RETUNE_RADIO_TO_STATION_NAME();
    if (IS_RADIO_RETUNING() && s.streamActive) RETUNE_RADIO_TO_STATION_NAME();

    // 8. Another vehicle than the one playback started in: radio off.
    if (s.songActive && s.vehicleWatch) watchVehicle();
    if (s.streamActive && s.vehicleWatch) watchVehicle();

    // 9. The panel. elapsedMs is refreshed only here.
    drawPanel();

    // 10. The work of the current mode.
    switch (playerMode) {
        case Idle:
            // A start whose replacement waits opens it now.
            if (s.startChain.pending)
                continueSongStart(*this);
            else
                pollIdleKeys(*this);
            break;
        case Resting:
            if (TIMERA() > static_cast<std::int32_t>(RestPeriodMs)) {
                platform::GetAsyncKeyState(StartKey);  // drop a press made while resting
                playerMode = Idle;
            }
            break;
        case PlayingSong:
            // The device loads a song after its start's tick: a failure it
            // learnt since is reported and replaced as a failed play is.
            if (const MciResult late = takeLateFailure(); late != 0) {
                replaceLateFailedSong(*this, late);
                return;
            }
            if (static_cast<std::uint32_t>(TIMERA()) > s.endTime) {
                AdvanceTrack();
                SwitchToCurrentSong(*this);
                return;
            }
            pollSongKeys(*this);
            break;
        case PlayingStream:
            readStreamTags();
            s.vehicleWatch = 1;
            pollStreamKeys(*this);
            break;
        default:
            break;
    }
}

}  // namespace kestro
