// The tag reader: fills the length and the title, artist, album
// and year texts of the song-table entry that the library scan is adding,
// from the file's attributes as the media-format reader gives them
// (platform/MediaTags.h, TagLib standing in for the Windows Media Format
// runtime).
#pragma once

namespace kestro {

// Reads the file named by playerState.currentSong->path and writes into
// SongTable[songCount]:
//   durationMs = (whole seconds of "Duration" + 1) * 1000 (32-bit, wrapping);
//     a file whose duration cannot be read counts as 0 seconds: 1000;
//   then empties nowTitle, nowArtist, nowAlbum, nowYear (in this order);
//   then "Title" → fullTitle (whole, cut to 2047 bytes) and title (36 bytes),
//   "Author" → artist, "WM/AlbumTitle" → album (36 bytes each),
//   "WM/Year" → year (5 bytes).
// Every cut falls on a UTF-8 character boundary. A missing attribute leaves
// its field(s) as they were. A songCount outside the table writes nothing
// into the table (the now-playing texts are still emptied).
void readTags();


}  // namespace kestro
