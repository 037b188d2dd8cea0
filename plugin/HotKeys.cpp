#include "plugin/HotKeys.h"

#include "game/Natives.h"
#include "library/Catalogue.h"
#include "platform/system/Keyboard.h"
#include "playback/MciSongPlayer.h"
#include "playback/RadioHandover.h"
#include "playback/SongStart.h"
#include "playback/TrackSelection.h"
#include "playback/UrlStreamPlayer.h"
#include "plugin/CustomThread.h"
#include "plugin/PlayerState.h"

namespace kestro {

namespace {

constexpr std::int16_t kPressedBit = 0x0001;
constexpr std::int16_t kHeldBit = static_cast<std::int16_t>(0x8000);

bool pressed(int vk) { return (platform::GetAsyncKeyState(vk) & kPressedBit) != 0; }
void discard(int vk) { platform::GetAsyncKeyState(vk); }

bool playerHasControl() { return IS_PLAYER_CONTROL_ON(GET_PLAYER_ID()); }

void startKey(CustomThread& thread) {
    PlayerState& s = playerState;
    if (s.songActive || s.streamActive) return;
    if (s.OnFootEnabled == 0) {
        if (!IS_CHAR_IN_ANY_CAR(playerCharacter())) return;
    } else if (s.OnFootEnabled != 1) {
        return;
    }
    discard(s.StopKey);
    discard(s.PauseKey);
    discard(s.PreviousKey);
    discard(s.NextKey);
    startPlayback(thread);
    s.vehicleWatch = 0;
    if (s.startChain.pending) s.startChain.startedByKey = 1;
}

// The panel toggle gives 1 from 0 and 0 from anything else; the random
// toggle gives 0 from 1 and 1 from anything else.
void toggleDisplay() { playerState.displayOn = playerState.displayOn == 0 ? 1 : 0; }
void toggleRandom() { playerState.randomOn = playerState.randomOn == 1 ? 0 : 1; }

}  // namespace

// The keys of Idle, in order; the first one that reports a press is the only
// one tested further this tick.
void pollIdleKeys(CustomThread& thread) {
    PlayerState& s = playerState;
    if (!playerHasControl()) return;
    if (pressed(StartKey)) {
        startKey(thread);
        return;
    }
    if (pressed(s.RandomKey)) {
        toggleRandom();
        return;
    }
    // Right Ctrl with any bit set, and F10 held down now.
    if (platform::GetAsyncKeyState(CatalogueModifierKey) != 0 &&
        (platform::GetAsyncKeyState(CatalogueKey) & kHeldBit) != 0) {
        PRINT_STRING_WITH_LITERAL_STRING_NOW(writeCatalogue() ? "Song List Created" : "Song List Not Created");
        return;
    }
    if (pressed(s.EnableUrl)) {
        s.urlEnabled = s.urlEnabled ? 0 : 1;
        PRINT_STRING_WITH_LITERAL_STRING_NOW(s.urlEnabled ? "Url Enabled" : "Url Disabled");
    }
}

// ---- PlayingSong ------------------------------------------------------------

namespace {

constexpr float kSeekMs = 2000.0f;
constexpr double kSeekGuardMs = 2001.0;

// The step the times move for a device seek of 2000 ms: 2000 / lengthRatio as
// a 32-bit float, truncated. A ratio of 0 (no song timed by its duration
// yet; song start no longer leaves it so) or one that is not finite moves
// the times by the device's 2000 ms.
std::int32_t seekStep() {
    const float ratio = playerState.lengthRatio;
    if (!(ratio > 0.0f) || ratio != ratio) return static_cast<std::int32_t>(kSeekMs);
    const float d = kSeekMs / ratio;
    if (!(d < 2147483647.0f)) return static_cast<std::int32_t>(kSeekMs);
    return static_cast<std::int32_t>(d);
}

std::int32_t wrapAdd(std::int32_t a, std::int32_t b) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

// The time format and the position; false when an MCI error was reported.
bool position(std::uint32_t& p) {
    MciResult rc = setTimeFormatMs();
    if (rc != 0) {
        ReportMciError(rc);
        return false;
    }
    std::int32_t pos = 0;
    rc = queryPosition(&pos);
    if (rc != 0) {
        ReportMciError(rc);
        return false;
    }
    p = static_cast<std::uint32_t>(pos);
    return true;
}

// The seek keys: the device 2000 ms forward or back (forward only past
// 2001 / lengthRatio ms, back only past 2001 ms; with a ratio of 0 the
// forward guard is infinite and nothing happens), and the times by seekStep().
void seek(bool forward) {
    PlayerState& s = playerState;
    if (s.paused) return;
    s.vehicleWatch = 1;
    std::uint32_t p = 0;
    if (!position(p)) return;
    const bool far = forward ? static_cast<double>(p) > kSeekGuardMs / static_cast<double>(s.lengthRatio)
                             : p > static_cast<std::uint32_t>(kSeekGuardMs);
    if (!far) return;
    if (MciResult rc = playFrom(static_cast<std::int32_t>(forward ? p + 2000u : p - 2000u)); rc != 0) {
        ReportMciError(rc);
        return;
    }
    const std::int32_t d = forward ? seekStep() : -seekStep();
    s.endTime -= static_cast<std::uint32_t>(d);
    s.startTime = wrapAdd(s.startTime, -d);
}

void stopSong(CustomThread& thread) {
    closeSong(thread);
    giveRadioBack();
    discard(StartKey);
    RETUNE_RADIO_UP();
    thread.playerMode = Idle;
}

// The song volume steps (device scale 0 to 1000), or -1 for "unchanged".
std::int32_t volumeUp(std::uint32_t v) { return v <= 974u ? static_cast<std::int32_t>(((v + 25u) / 100u + 1u) * 100u) : -1; }
std::int32_t volumeDown(std::uint32_t v) {
    return v >= 111u && v <= 1000u ? static_cast<std::int32_t>(((v - 11u) / 100u) * 100u) : -1;
}

void changeSongVolume(std::int32_t (*step)(std::uint32_t)) {
    const std::int32_t level = step(static_cast<std::uint32_t>(queryVolume()));
    if (level < 0) return;
    setVolume(level);
    playerState.volume = level;
}

// The resume of the pause key: the times are recomputed from the time the
// song had played when it paused, then the player resumes.
void recomputeTimesForResume() {
    PlayerState& s = playerState;
    s.endTime = static_cast<std::uint32_t>(s.lengthMs) - static_cast<std::uint32_t>(s.elapsedMs);
    SETTIMERA();
    s.startTime = wrapAdd(static_cast<std::int32_t>(gameTimer()), -s.elapsedMs);
}

void markPaused() {
    PlayerState& s = playerState;
    notePlayedTimeAtPause();
    s.paused = 1;
    s.endTime = PausedEndTime;
    s.running = 0;
    SETTIMERA();
}

// The stream volume steps: from a multiple of 10 that stays within 0 to 100,
// by `step`; any other level stays.
void stepStreamVolume(std::int32_t step) {
    const std::int32_t v = streamVolume();
    const std::int32_t to = v + step;
    if (v % 10 != 0 || v < 0 || v > 100 || to < 0 || to > 100) return;
    setStreamVolume(to);
    playerState.volume = 10 * to;
}

// The pause key is tested only while playing, or while paused by a pause
// that has not been resumed (running clear).
bool pauseKeyTested() { return !playerState.paused || !playerState.running; }

}  // namespace

// The keys of PlayingSong, in order, after the end-of-song check.
void pollSongKeys(CustomThread& thread) {
    PlayerState& s = playerState;
    if (pressed(s.FforwardKey)) return seek(true);
    if (pressed(s.FrewindKey)) return seek(false);
    if (!playerHasControl()) return;
    if (pressed(s.StopKey)) return stopSong(thread);
    if (pressed(s.NextKey)) {
        AdvanceTrack();
        SwitchToCurrentSong(thread);
        return;
    }
    if (pressed(s.PreviousKey)) {
        PreviousTrack();
        SwitchToCurrentSong(thread);
        return;
    }
    if (pressed(s.DisplayKey)) return toggleDisplay();
    if (pressed(s.RandomKey)) return toggleRandom();
    if (pressed(s.VolumeUpKey)) return changeSongVolume(&volumeUp);
    if (pressed(s.VolumeDownKey)) return changeSongVolume(&volumeDown);
    if (pauseKeyTested() && pressed(s.PauseKey)) {
        if (!s.paused) {
            s.vehicleWatch = 1;
            if (MciResult rc = pauseSong(); rc != 0) return ReportMciError(rc);
            markPaused();
        } else {
            recomputeTimesForResume();
            if (MciResult rc = resumeSong(); rc != 0) return ReportMciError(rc);
            s.running = 1;
            s.paused = 0;
        }
    }
}

// The keys of PlayingStream, in order, after the now-playing refresh; no
// player-control test.
void pollStreamKeys(CustomThread& thread) {
    PlayerState& s = playerState;
    if (pressed(s.StopKey)) return stopStreamByKey(thread);
    if (pressed(s.NextKey)) return nextStreamItem();
    if (pressed(s.PreviousKey)) return previousStreamItem();
    if (pressed(s.DisplayKey)) return toggleDisplay();
    if (pressed(s.VolumeUpKey)) return stepStreamVolume(+10);
    if (pressed(s.VolumeDownKey)) return stepStreamVolume(-10);
    if (pauseKeyTested() && pressed(s.PauseKey)) {
        if (!s.paused) {
            pauseStream();
            s.vehicleWatch = 1;
            markPaused();
        } else {
            recomputeTimesForResume();
            resumeStream();
            s.running = 1;
            s.paused = 0;
        }
    }
}

}  // namespace kestro
