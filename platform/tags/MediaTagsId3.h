// The tags of an MPEG file (and the ID3 chunk of a WAV or AIFF file) read
// without TagLib, when they are of the plain kind nearly every file has: an
// ID3v2.3 or 2.4 tag without unsynchronisation, extended header or footer,
// frames without format flags, and, in an MPEG file, an ID3v1 tag or none
// at the end (no APE tag).
//
// TagLib makes a heap object of every frame, byte block and text it meets
// (some 600 allocations for a plain MP3 file): that was two thirds of a
// library scan's work. This reader takes the same four texts from the same
// bytes with a few small copies, and gives exactly what TagLib gives through
// MediaTags (TagLib 1.13 with our frame factory): the same frames parsed and
// skipped, the same ends of the frame list, the same text decoding, fields
// joined with " ", the ID3v1 tag filling what the ID3v2 tag lacks. Where
// TagLib's result is not certain to be reproduced (another tag version, a
// flag, an unusual encoding or byte order mark, text that is not valid
// UTF-8 or UTF-16, a year that does not start with a digit or a letter, a
// tag over 1 MiB), the reader declines and TagLib reads the file.
#pragma once

#include <cstdint>
#include <string>

namespace kestro::platform {

class FastFileStream;

namespace mediatags {

// An ID3v2 text frame larger than this is never parsed (TagLib keeps a text
// as 32-bit characters: four times its bytes); the next frame of that name
// is taken instead.
constexpr std::uint32_t kMaxId3TextFrame = 64 * 1024;

struct Id3Texts {
    std::string title, author, album, year;  // UTF-8; empty: missing
};

struct MpegTagTexts : Id3Texts {
    bool hasId3v1 = false;  // the file ends in an ID3v1 tag
};

// Reads the tags of an MPEG file that starts with an ID3v2 tag, when they
// are of the plain kind above: the ID3v2 tag's texts, then the ID3v1 tag's
// for what it lacks. False, with `out` as it was, for any other file.
bool readPlainMpegTags(FastFileStream& s, MpegTagTexts& out);

// Reads the plain ID3v2 tag at `offset` (a WAV or AIFF file's ID3 chunk),
// as TagLib's ID3v2 tag reader reads it there. False, with `out` as it
// was, when the tag is not of the plain kind.
bool readPlainId3v2Tag(FastFileStream& s, long offset, Id3Texts& out);

}  // namespace mediatags
}  // namespace kestro::platform
