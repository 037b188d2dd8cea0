#include "library/SongTable.h"

namespace kestro {

SongEntry SongTable[MaxSongs];
std::int32_t songCount = 0;
std::int32_t lastSongIndex = 0;

}  // namespace kestro
