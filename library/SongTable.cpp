#include "library/SongTable.h"

#include "platform/system/LargePages.h"

namespace kestro {

SongEntry SongTable[MaxSongs];
std::int32_t songCount = 0;
std::int32_t lastSongIndex = 0;

void prepareSongTableMemory() {
    static const bool advised = [] {
        platform::adviseLargePages(SongTable, sizeof SongTable);
        return true;
    }();
    (void)advised;
}

}  // namespace kestro
