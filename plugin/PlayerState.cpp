#include "plugin/PlayerState.h"

namespace kestro {

SongEntry placeholderSong = {" ", "", "", "", "", "", 0};

namespace {

// The load-time values. Constant-initialised, so they are in place before
// any dynamic initialisation (the settings reads) runs.
constexpr PlayerState initialPlayerState() {
    PlayerState s{};
    s.currentSong = &placeholderSong;
    s.firstStart = 1;
    s.rescanPending = 1;
    s.running = 1;
    s.lengthRatio = 0.0f;
    s.PauseKey = 179;
    s.DisplayKey = 85;
    s.PreviousKey = 177;
    s.NextKey = 176;
    s.FforwardKey = 99;
    s.FrewindKey = 97;
    s.StopKey = 178;
    s.RandomKey = 82;
    s.displayOn = 1;
    s.DisplayTitle = 1;
    s.OnFootEnabled = 1;
    s.VolumeUpKey = 105;
    s.VolumeDownKey = 103;
    s.EnableUrl = 84;
    s.volume = 500;
    s.ExtraFormats = 0;
    return s;
}

}  // namespace

constinit PlayerState playerState = initialPlayerState();

void resetPlayerState() {
    playerState = initialPlayerState();
    placeholderSong = SongEntry{" ", "", "", "", "", "", 0};
}

}  // namespace kestro
