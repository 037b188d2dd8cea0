#include "playback/UrlStreamPlayer.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "game/Natives.h"
#include "platform/system/Keyboard.h"
#include "platform/system/Sleep.h"
#include "platform/audio/StreamPlayer.h"
#include "platform/system/Text.h"
#include "playback/RadioHandover.h"
#include "plugin/CustomThread.h"
#include "plugin/PlayerState.h"
#include "scripthook/ScriptHook.h"

namespace kestro {

namespace {

void closePlayerObjects() {
    platform::StreamPlayer& player = platform::streamPlayer();
    player.stop();
    player.destroy();
}

void copyTag(const char* name, char* dest, std::size_t capacity) {
    std::string value;
    if (!platform::streamPlayer().attribute(name, value)) return;
    platform::copyBounded(dest, capacity, value);
}

// The entry's length is read from a player that learns it when the entry
// has loaded: right after a start or a move it may not be known yet. Until
// it is, each tick's tag read asks again (live streams never have one).
bool timingPending = false;

// A known duration becomes the length and end time, in milliseconds like a
// song's (the panel reads both as milliseconds). 0 (a live stream, or not
// known yet) keeps the last values; returns false then.
bool takeDuration() {
    PlayerState& s = playerState;
    const double seconds = platform::streamPlayer().durationSeconds();
    if (!(seconds > 0.0)) return false;  // 0, negative or not a number
    const double ms = std::floor(seconds * 1000.0);
    const std::int32_t length = ms >= static_cast<double>(std::numeric_limits<std::int32_t>::max())
                                    ? std::numeric_limits<std::int32_t>::max()
                                    : static_cast<std::int32_t>(ms);
    if (length == 0) return false;
    s.lengthMs = length;
    s.endTime = static_cast<std::uint32_t>(length);
    return true;
}

// The now-playing texts of a new stream entry start empty: the tags the
// player reports for it fill them again (a tag it never reports would
// otherwise show the last song's or entry's text as this one's).
void clearStreamTexts() {
    PlayerState& s = playerState;
    s.nowTitle[0] = s.nowArtist[0] = s.nowAlbum[0] = s.nowYear[0] = '\0';
}

// The timing refresh after every start and move: startTime restarts and the
// entry's duration is taken, now or as soon as the player knows it.
void refreshTiming() {
    playerState.startTime = static_cast<std::int32_t>(gameTimer());
    timingPending = !takeDuration();
}

// What both stops share after the player is gone.
void endStream() {
    timingPending = false;
    playerState.streamActive = 0;
    endPlaybackPauses();
    giveRadioBack();
}

}  // namespace

void startStream(CustomThread& thread) {
    PlayerState& s = playerState;
    if (s.streamUrl[0] == '\0') return;
    RETUNE_RADIO_TO_STATION_NAME();
    turnGameRadioOff();
    platform::StreamPlayer& player = platform::streamPlayer();
    if (!player.create()) {
        // Without a player nothing plays: the game gets its radio back, the
        // station tuned away above included, as the stream's stop key does.
        Log::Info("Stream Player Not Available: %s", s.streamUrl);
        PRINT_STRING_WITH_LITERAL_STRING_NOW("Stream Not Available");
        giveRadioBack();
        RETUNE_RADIO_UP();
        return;
    }
    clearStreamTexts();
    player.setLoop(true);
    player.setAutoStart(true);
    player.setVolume(s.volume / 10);
    player.setUrl(s.streamUrl);
    platform::Sleep(kStreamStartWaitMs);
    player.play();
    refreshTiming();
    thread.playerMode = PlayingStream;
    s.streamActive = 1;
    const std::int32_t character = playerCharacter();
    if (IS_CHAR_IN_ANY_CAR(character)) GET_CAR_CHAR_IS_USING(character, &s.startVehicle);
    s.vehicleWatch = 1;
}

void pauseStream() { platform::streamPlayer().pause(); }

// Plays the entry now current again (after a move, the entry moved to).
void resumeStream() { platform::streamPlayer().play(); }

void nextStreamItem() {
    platform::streamPlayer().next();
    clearStreamTexts();
    refreshTiming();
}

void previousStreamItem() {
    platform::streamPlayer().previous();
    clearStreamTexts();
    refreshTiming();
}

std::int32_t streamVolume() { return platform::streamPlayer().volume(); }

void setStreamVolume(std::int32_t volume0to100) { platform::streamPlayer().setVolume(volume0to100); }

void stopStreamOnFoot(CustomThread& thread) {
    thread.playerMode = Idle;
    closePlayerObjects();
    endStream();
    restAfterStopOnFoot(thread);
}

void stopStreamByKey(CustomThread& thread) {
    closePlayerObjects();
    platform::GetAsyncKeyState(StartKey);  // the stop is no start press
    endStream();
    RETUNE_RADIO_UP();
    thread.playerMode = Idle;
}

void readStreamTags() {
    if (timingPending) timingPending = !takeDuration();
    copyTag("Title", playerState.nowTitle, sizeof playerState.nowTitle);
    copyTag("Author", playerState.nowArtist, sizeof playerState.nowArtist);
    copyTag("WM/AlbumTitle", playerState.nowAlbum, sizeof playerState.nowAlbum);
    copyTag("WM/Year", playerState.nowYear, sizeof playerState.nowYear);
}

}  // namespace kestro
