// The length of an MPEG audio stream by counting its frames (headers only,
// nothing decoded), for MP3 files without a Xing/Info or VBRI header: their
// length cannot be told from the first frame's bitrate when the bitrate
// varies (a 180 s VBR file was taken for 116 s).
#pragma once

#include <cstdint>

namespace kestro::platform {

class FastFileStream;

namespace mediatags {

// The counter reads at most about this many bytes of audio per file: a
// stream of this size or less (7 minutes at 320 kbit/s, 17 at 128) is
// counted whole; of a longer one, the first half of this and kFrameSamples
// pieces spread over the rest are counted, and the rest is estimated from
// the pieces' mean frame size (see countMpegFrames).
constexpr long kFrameCountBudget = 16L * 1024 * 1024;
constexpr int kFrameSamples = 16;
// After a frame whose successor is no valid header (a damaged frame), the
// next frame is looked for this far; further on the audio is taken to end.
constexpr long kResyncWindow = 4096;
// The searches for the next frame of one file look at this many bytes in
// all (a file of frames each followed by junk would otherwise cost a search
// of kResyncWindow per frame); then the audio is taken to end.
constexpr long kResyncBudget = 1024L * 1024;

// The first frame, or an ID3v2 tag before it, is looked for this far into
// the file (and this far past the ID3v2 tags at its start). TagLib would
// look through the whole file, at about 100 ns a byte: 10 MB of zeros named
// .mp3 took a second. Real files have their first frame right after their
// tags.
constexpr long kMpegSearch = 64 * 1024;

// One MPEG audio frame header (4 bytes), decoded.
struct MpegHeader {
    int version = 0;      // 1 (MPEG-1), 2 (MPEG-2), 25 (MPEG-2.5)
    int layer = 0;        // 1, 2, 3
    int sampleRate = 0;   // Hz
    int samples = 0;      // samples per frame
    long frameLength = 0; // bytes, header included
    long bitrate = 0;     // bits per second
};

// Decodes the header at `p`; false for no valid header (no sync, a reserved
// version, layer, bitrate or rate, or the free-format bitrate).
bool parseMpegHeader(const unsigned char* p, MpegHeader& out);

// True when a frame starts at `pos` as TagLib takes it: a valid header, and
// the next frame's header right after it, of the same version, layer,
// protection and sample rate.
bool mpegFrameAt(FastFileStream& s, long pos);

// The first position from `from` on, within kMpegSearch, where a frame
// starts (mpegFrameAt) or, when `orId3` is set, the text "ID3" stands (this
// is where TagLib's search for an ID3v2 tag stops). -1 when none.
long findMpegStart(FastFileStream& s, long from, bool orId3);

// The position after the ID3v2 tags that follow one another from `pos` on
// (a tagger that prepends a tag may leave the old one behind it); `pos`
// when there is none.
long skipId3v2Tags(FastFileStream& s, long pos);

// The length of the audio whose first frame is at `first`: from its
// Xing/Info or VBRI header when it has one (TagLib's reading of it, rounded
// to the millisecond as TagLib does), else by counting its frames up to
// `end` (countMpegFrames). False when there is no frame at `first`.
bool mpegDuration(FastFileStream& s, long first, long end, std::uint64_t& hundredNs);

// The length of the audio whose first frame is at `first` as that frame
// states it, reading nothing further: its Xing/Info or VBRI header, else the
// bytes up to `end` at the frame's bitrate (what libavformat, and so
// libmpv, takes for a file without such a header; exact for a constant
// bitrate). False when there is no frame at `first`.
bool mpegStatedLength(FastFileStream& s, long first, long end, std::uint64_t& hundredNs);

struct MpegFrameCount {
    std::uint64_t frames = 0;       // counted, or extrapolated when !complete
    std::uint64_t durationHundredNs = 0;
    bool complete = false;          // the whole stream was counted
};

// Counts the frames of the stream whose first frame is at `first`, up to
// `end` (the end of the audio: before an ID3v1 tag). Each frame must be of
// the first frame's version, layer and sample rate. A bad header after a
// frame starts a search for the next pair of good headers within
// kResyncWindow; none ends the count. A stream longer than
// kFrameCountBudget is counted in part and estimated for the rest (complete
// is false). False when there is no valid header at `first`.
bool countMpegFrames(FastFileStream& s, long first, long end, MpegFrameCount& out);

}  // namespace mediatags
}  // namespace kestro::platform
