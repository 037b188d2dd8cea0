// The song table: the player's whole knowledge of the user's music. A fixed,
// process-wide array filled by the library scan, never cleared.
#pragma once

#include <cstdint>

namespace kestro {

inline constexpr int MaxSongs = 10000;
inline constexpr int ShortTagChars = 36;

inline constexpr int kPathSize = 2048;
inline constexpr int kFullTitleSize = 2048;
inline constexpr int kShortTextSize = 1024;
inline constexpr int kYearSize = 6;

struct SongEntry {
    char path[kPathSize];            // full path; empty marks a free slot
    char fullTitle[kFullTitleSize];  // whole "Title" tag
    char title[kShortTextSize];      // first 36 bytes of "Title"
    char artist[kShortTextSize];     // first 36 bytes of "Author"
    char album[kShortTextSize];      // first 36 bytes of "WM/AlbumTitle"
    char year[kYearSize];            // "WM/Year", at most 5 characters
    std::int32_t durationMs;         // (whole seconds + 1) * 1000; 0 if never set
};

// Zero-initialised static storage: pages are touched only as entries are
// written.
extern SongEntry SongTable[MaxSongs];
extern std::int32_t songCount;
extern std::int32_t lastSongIndex;

// The table is 72 MB, of which a full scan writes into every 4 KiB page (an
// entry spans two or three pages and writes at several places in each): one
// page fault per page cost a 10000-song scan about a fifth of its time. The
// scan calls this first, so that the table is backed by large pages where
// the system has them. Called once or many times, it does the same.
void prepareSongTableMemory();

}  // namespace kestro
