#include "playback/TrackSelection.h"

#include <cstring>

#include "game/Natives.h"
#include "library/SongTable.h"
#include "playback/MciSongPlayer.h"
#include "playback/SongStart.h"
#include "plugin/CustomThread.h"
#include "plugin/PlayerState.h"

namespace kestro {

namespace {

// Appends a draw to the history. A full history drops its oldest draw
// first, so the walk back keeps the most recent 10000 songs.
void recordDraw(std::int32_t index) {
    PlayerState& s = playerState;
    if (s.historyCount < 0) s.historyCount = 0;
    if (s.historyCount >= kHistorySize) {
        std::memmove(s.history, s.history + 1, sizeof s.history - sizeof s.history[0]);
        s.historyCount = kHistorySize - 1;
    }
    s.history[s.historyCount++] = index;
}

void selectSequential(std::uint32_t index) {
    playerState.currentIndex = index;
    playerState.currentSong = &SongTable[index < static_cast<std::uint32_t>(MaxSongs) ? index : 0];
}

}  // namespace

std::uint32_t validIndex(std::int32_t index) {
    const std::uint32_t last = playerState.lastIndex;
    if (index < 0 || static_cast<std::uint32_t>(index) > last || index >= MaxSongs) return 0;
    return static_cast<std::uint32_t>(index);
}

void drawRandomSong() {
    std::int32_t drawn = 0;
    GENERATE_RANDOM_INT_IN_RANGE(static_cast<std::int32_t>(playerState.lastIndex), &drawn);
    selectRandomSong(validIndex(drawn));
}

void selectRandomSong(std::uint32_t index) {
    PlayerState& s = playerState;
    s.randomIndex = static_cast<std::int32_t>(index < static_cast<std::uint32_t>(MaxSongs) ? index : 0);
    s.currentSong = &SongTable[s.randomIndex];
    recordDraw(s.randomIndex);
}

namespace {

// The current song starts again. In random order its tags and length come
// from randomIndex, so randomIndex names the song restarted.
void restartCurrentSong() {
    PlayerState& s = playerState;
    if (s.randomOn != 1) return;
    const SongEntry* song = s.currentSong;
    if (song >= SongTable && song < SongTable + MaxSongs) s.randomIndex = static_cast<std::int32_t>(song - SongTable);
}

}  // namespace

void AdvanceTrack() {
    PlayerState& s = playerState;
    if (s.currentIndex > s.lastIndex) return restartCurrentSong();
    if (s.randomOn == 1) {
        drawRandomSong();  // currentIndex keeps the sequential place
    } else {
        selectSequential(s.currentIndex < s.lastIndex ? s.currentIndex + 1 : 0);
    }
}

void PreviousTrack() {
    PlayerState& s = playerState;
    if (s.currentIndex > s.lastIndex) return restartCurrentSong();
    if (s.randomOn == 1) {
        // With no draw to go back to (right after the start, or after random
        // order was switched on), the current song starts again.
        if (s.historyCount <= 0) return restartCurrentSong();
        if (s.historyCount > kHistorySize) s.historyCount = kHistorySize;
        const std::int32_t h = s.history[--s.historyCount];
        s.randomIndex = h >= 0 && h < MaxSongs ? h : 0;
        s.currentSong = &SongTable[s.randomIndex];
        return;
    }
    selectSequential(s.currentIndex > 0 ? s.currentIndex - 1 : s.lastIndex);
}

void SwitchToCurrentSong(CustomThread& thread) {
    closeSong(thread);
    startSong(thread);
}

}  // namespace kestro
