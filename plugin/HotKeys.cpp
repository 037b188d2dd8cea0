#include "plugin/HotKeys.h"

#include "game/Natives.h"
#include "library/Catalogue.h"
#include "platform/Keyboard.h"
#include "playback/SongStart.h"
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
}

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
        s.randomOn = s.randomOn == 1 ? 0 : 1;
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

// Not built yet: the keys of PlayingSong and PlayingStream (seek, stop,
// next, previous, pause, volume, panel) come with the hot-key controls.
void pollSongKeys(CustomThread&) {}
void pollStreamKeys(CustomThread&) {}

}  // namespace kestro
