// FLAC, Ogg Vorbis and Opus files: which of them a file is, and their
// length and Vorbis comments, read within bounds of their own.
//
// A file counts as one of these only when its name asks for it and its
// start holds it (the one rule of the tag reader and the song device):
//   .flac  "fLaC" and a STREAMINFO block, after ID3v2 tags of at most
//          kMaxTagsBeforeFlac in all (some taggers put one there);
//   .ogg   an Ogg page at byte 0 that begins a stream whose first packet is
//          a Vorbis identification header ("\x01vorbis");
//   .opus  the same with an Opus head ("OpusHead").
// Extensions are compared without regard to case (the text after the last
// "." of the name, or the whole name). So an Opus stream named .ogg, an Ogg
// Speex, FLAC or Theora stream, or a FLAC file named .mp3 is none of them.
//
// What is read, and what is never read:
//   - FLAC: the metadata blocks are walked by their 4-byte headers (at most
//     kMaxFlacBlocks); the STREAMINFO gives the length (total samples /
//     rate); the first VORBIS_COMMENT block gives the texts. A PICTURE block
//     (which may announce 16 MiB) is stepped over, never read.
//   - Ogg: pages are walked by their headers (at most kMaxOggPages) to find
//     the comment packet of the first stream; the length is the granule
//     position of that stream's last page (within the file's last 16 KiB,
//     else its last kOggTailSearch bytes) over the rate (Vorbis), or less the pre-skip
//     over 48 kHz (Opus).
//   - The comment, wherever it lies, is walked field by field (at most
//     kMaxXiphFields); only TITLE, ARTIST, ALBUM, DATE and YEAR fields of at
//     most kMaxXiphText bytes each are read, at most kMaxXiphKept bytes in
//     all; every other field (an embedded METADATA_BLOCK_PICTURE, lyrics) is
//     stepped over. TagLib's XiphComment then reads the fields kept, so the
//     texts are TagLib's: several values of a key joined with " ", the year
//     the number that DATE starts with ("2008-05-01" gives 2008).
// TagLib's own FLAC and Ogg readers read every metadata block and the whole
// comment packet into memory (a 16 MiB picture, or many), which is why they
// are not used here.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "platform/tags/MediaTags.h"

namespace TagLib::Ogg {
class XiphComment;
}

namespace kestro::platform {

class FastFileStream;

namespace mediatags {

constexpr long kMaxTagsBeforeFlac = 16L * 1024 * 1024;
constexpr int kMaxFlacBlocks = 256;
constexpr long kMaxFlacMetadataPlayed = 128L * 1024 * 1024;
constexpr int kMaxOggPages = 1024;
constexpr long kOggTailSearch = 128 * 1024;
constexpr std::uint32_t kMaxXiphFields = 4096;
constexpr std::uint32_t kMaxXiphText = 64 * 1024;
constexpr std::uint32_t kMaxXiphKept = 256 * 1024;

// Which of the three a file name asks for (Unknown: none).
MediaFormat xiphFormatNamed(std::string_view name);

// Which of the three the bytes where the audio starts hold (`n` of them).
MediaFormat xiphFormatOf(const unsigned char* start, long n);

// The rule above over a name, the bytes where the audio starts and the
// bytes of ID3v2 tags before them: the format, or Unknown.
MediaFormat xiphSongFormat(std::string_view name, const unsigned char* start, long n, long tagBytes);

// The same over a file in `s`; `audioStart` is where its audio starts
// (after the tags; 0 when Unknown).
MediaFormat xiphSongFormat(FastFileStream& s, std::string_view name, long& audioStart);

// The song device's check over a file in `s` (inspectSongFile): the same,
// and a FLAC file whose metadata blocks take more than
// kMaxFlacMetadataPlayed bytes in all, run past its end or number more than
// kMaxFlacBlocks is refused too: libavformat keeps every picture block in
// memory while the song plays.
MediaFormat xiphPlayableFormat(FastFileStream& s, std::string_view name, long& audioStart);

struct XiphRead {
    std::unique_ptr<TagLib::Ogg::XiphComment> comment;  // the fields kept; null: none
    bool hasDuration = false;
    std::uint64_t duration = 0;  // 100 ns units
    bool limited = false;        // a cap cut what was read
    XiphRead();
    ~XiphRead();
};

// Reads a file that xiphSongFormat found to be `format`.
void readXiph(FastFileStream& s, MediaFormat format, long audioStart, XiphRead& out);

}  // namespace mediatags
}  // namespace kestro::platform
