// The process-wide record of the player: selection, playback flags, timing,
// now-playing texts and live settings. Read and written only on the script
// thread, directly (no accessors).
#pragma once

#include <cstdint>

#include "library/SongTable.h"

namespace kestro {

enum PlayerMode : std::int32_t {
    Idle = 0,
    Resting = 1,
    PlayingSong = 2,
    PlayingStream = 3,
};

inline constexpr std::uint32_t RestPeriodMs = 2500;
inline constexpr std::uint32_t PausedEndTime = 10000000;
inline constexpr int kHistorySize = 10000;
inline constexpr int kStreamUrlSize = 1024;
inline constexpr int kNowTextSize = 1024;
inline constexpr int kTimeTextSize = 70;

// The fixed keys: X starts playback; right Ctrl with F10 writes the catalogue.
inline constexpr int StartKey = 0x58;
inline constexpr int CatalogueModifierKey = 0xA3;
inline constexpr int CatalogueKey = 0x79;

// The chain of one song start: the songs that could not be played and the
// replacements chosen in their place. A tick opens at most one song, so a
// replacement chosen after a failed open waits here for the next tick
// (`pending`); the record also remembers which entries failed, so the chain
// ends once every entry has failed, and counts its picks, so a random chain
// ends whatever the game's generator returns.
struct SongStartChain {
    std::uint8_t pending;
    std::uint8_t openedThisTick;
    std::uint8_t startedByKey;  // the start key began it
    std::uint32_t failures;
    std::uint32_t attempts;
    std::uint8_t failed[(MaxSongs + 7) / 8];
};

struct PlayerState {
    // Selection and order.
    SongEntry* currentSong;
    std::uint32_t currentIndex;
    std::uint32_t lastIndex;
    std::int32_t randomIndex;
    std::int32_t randomOn;
    std::int32_t history[kHistorySize];
    std::int32_t historyCount;
    std::uint8_t firstStart;
    std::uint8_t rescanPending;

    // Playback status.
    std::uint8_t songActive;
    std::uint8_t streamActive;
    std::uint8_t urlEnabled;
    char streamUrl[kStreamUrlSize];
    std::uint8_t paused;
    std::uint8_t running;
    std::uint8_t fadePaused;
    std::uint8_t cutscenePaused;
    std::uint8_t panelHiddenByCutscene;
    std::uint8_t vehicleWatch;
    std::int32_t startVehicle;
    std::int32_t currentVehicle;

    SongStartChain startChain;

    // Timing, in milliseconds.
    std::int32_t startTime;
    std::int32_t elapsedMs;
    std::int32_t lengthMs;
    std::uint32_t endTime;
    float lengthRatio;
    std::int32_t mciLengthMs;
    std::int32_t songDurationMs;

    // Now-playing texts.
    char nowTitle[kNowTextSize];
    char nowArtist[kNowTextSize];
    char nowAlbum[kNowTextSize];
    char nowYear[kNowTextSize];
    char nowFullTitle[kNowTextSize];
    char playedText[kTimeTextSize];
    char remainingText[kTimeTextSize];

    // Settings, read at load; volume and displayOn change at run time.
    std::int32_t PauseKey;
    std::int32_t DisplayKey;
    std::int32_t PreviousKey;
    std::int32_t NextKey;
    std::int32_t FforwardKey;
    std::int32_t FrewindKey;
    std::int32_t StopKey;
    std::int32_t RandomKey;
    std::int32_t displayOn;
    std::int32_t DisplayTitle;
    std::int32_t OnFootEnabled;
    std::int32_t VolumeUpKey;
    std::int32_t VolumeDownKey;
    std::int32_t EnableUrl;
    std::int32_t volume;
    // Read at load after the fifteen: FLAC, Ogg Vorbis and Opus are songs
    // too when exactly 1.
    std::int32_t ExtraFormats;
};

// The placeholder that currentSong points at before anything else: its path
// is a single space.
extern SongEntry placeholderSong;

extern PlayerState playerState;

// Puts every field back to its load-time value (settings at their defaults).
// The plug-in itself starts from the static initial values; tests use this to
// start each case afresh.
void resetPlayerState();

}  // namespace kestro
