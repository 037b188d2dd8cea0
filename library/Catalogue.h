// The song catalogue "songs.txt": the song table as a plain-text list.
#pragma once

#include <cstdint>

namespace kestro {

inline constexpr const char* kCatalogueFile = "songs.txt";

// Writes "songs.txt" in the current directory (created or truncated). Lines
// end with CR LF; the last line, the total, has no line end.
void writeCatalogue();

// The HH:MM:SS time field of a stored duration: the extra second the tag
// reader adds is taken off, hours wrap at 24. Writes into a 70-byte text.
void formatCatalogueTime(char* dest, std::int32_t durationMs);

}  // namespace kestro
