// The song catalogue "songs.txt": the song table as a plain-text list.
#pragma once

#include <cstdint>

namespace kestro {

inline constexpr const char* kCatalogueFile = "songs.txt";

// Writes "songs.txt" in the current directory. Lines end with CR LF; the
// last line, the total, has no line end.
//
// The new catalogue is written to a temporary file in the same folder,
// synced, then renamed over "songs.txt" (a symbolic link of that name is
// replaced, never written through). Returns true when the new catalogue is
// in place. On any failure the temporary file is removed, the old
// "songs.txt" stays as it was, one log line "Song List Not Written: <why>"
// is written, and false is returned.
bool writeCatalogue();

// The HH:MM:SS time field of a stored duration: the extra second the tag
// reader adds is taken off, hours wrap at 24. Writes into a 70-byte text.
void formatCatalogueTime(char* dest, std::int32_t durationMs);

}  // namespace kestro
