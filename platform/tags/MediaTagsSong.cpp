#include "platform/tags/MediaTagsSong.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "platform/tags/MediaTagsMpeg.h"
#include "platform/tags/MediaTagsStream.h"
#include "platform/tags/MediaTagsXiph.h"

namespace kestro::platform {

using mediatags::be32;

namespace {

// Chunks or atoms looked at per level of a file: real files have a few
// dozen; the walk of a crafted one stays bounded.
constexpr int kMaxWalked = 1024;

std::uint32_t le32(const unsigned char* p) {
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[3]} << 24);
}

void addMask(SongFileView& v, long offset, const char (&bytes)[5]) {
    if (v.maskCount == SongFileView::kMaxMasks) {
        v.tooManyItems = true;
        return;
    }
    SongFileView::Mask& m = v.masks[v.maskCount++];
    m.offset = offset;
    std::memcpy(m.bytes, bytes, 4);
}

void setPieces(SongFileView& v, long from, long to) {
    v.pieces[0] = {from, to};
    v.pieceCount = 1;
}

// WAV (little-endian sizes) and AIFF (big-endian): each chunk after the
// 12-byte header that is larger than kLargestItemRead and not the sound data
// is read as "JUNK", which both demuxers pass over (an ID3 chunk holding a
// picture, a huge INFO list or text chunk).
void maskLargeChunks(FastFileStream& s, bool bigEndian, SongFileView& v) {
    const long size = s.length();
    long pos = 12;
    for (int n = 0; n < kMaxWalked && pos <= size - 8; ++n) {
        long got = 0;
        const unsigned char* p = s.span(pos, 8, got);
        if (!p || got < 8) return;
        const long length = static_cast<long>(bigEndian ? be32(p + 4) : le32(p + 4));
        const bool sound = std::memcmp(p, "data", 4) == 0 || std::memcmp(p, "SSND", 4) == 0;
        if (!sound && length > kLargestItemRead) addMask(v, pos, "JUNK");
        pos += 8 + length + (length & 1);
    }
}

struct Atom {
    long pos = 0;
    long end = 0;      // the atom's end, at most its parent's
    long body = 0;
    long claimed = 0;  // the size it states (0 or 1 resolved)
    char type[4] = {};
    bool is(const char* t) const { return std::memcmp(type, t, 4) == 0; }
};

bool atomAt(FastFileStream& s, long pos, long parentEnd, Atom& a) {
    if (pos > parentEnd - 8) return false;
    long got = 0;
    const unsigned char* p = s.span(pos, 16, got);
    if (!p || got < 8) return false;
    long size = static_cast<long>(be32(p));
    long header = 8;
    if (size == 1) {
        if (got < 16 || be32(p + 8) > 0x7FFFFFFFu / 2) return false;  // beyond any file here
        size = static_cast<long>((std::uint64_t{be32(p + 8)} << 32) | be32(p + 12));
        header = 16;
    } else if (size == 0) {
        size = parentEnd - pos;  // to the end
    }
    if (size < header) return false;
    a.pos = pos;
    a.claimed = size;
    a.end = size > parentEnd - pos ? parentEnd : pos + size;
    a.body = pos + header;
    std::memcpy(a.type, p + 4, 4);
    return true;
}

// The movie header's duration in ms; -1 when it states none.
long long movieHeaderMs(FastFileStream& s, const Atom& mvhd) {
    long got = 0;
    const unsigned char* p = s.span(mvhd.body, 32, got);
    if (!p || got < 20) return -1;
    std::uint64_t scale = 0, duration = 0;
    if (p[0] == 0) {
        scale = be32(p + 12);
        duration = be32(p + 16);
    } else if (p[0] == 1 && got >= 32) {
        scale = be32(p + 20);
        duration = (std::uint64_t{be32(p + 24)} << 32) | be32(p + 28);
    }
    if (scale == 0 || duration == 0 || duration == 0xFFFFFFFFu || duration == ~std::uint64_t{0}) return -1;
    return std::llround(static_cast<double>(duration) * 1000.0 / static_cast<double>(scale));
}

// MP4: the user data and metadata boxes (where the cover and the other
// tags live) that are larger than kLargestItemRead, at the top level, in
// the movie box and in its tracks, are read as "free", which libavformat
// passes over; and the movie header's length.
long long walkMp4(FastFileStream& s, SongFileView& v) {
    long long lengthMs = -1;
    const auto isMetadata = [](const Atom& a) { return a.is("udta") || a.is("meta"); };
    const auto walk = [&](long from, long end, int depth, const auto& self) -> void {
        Atom a;
        for (int n = 0; n < kMaxWalked && atomAt(s, from, end, a); ++n, from = a.end) {
            if (isMetadata(a) && a.claimed > kLargestItemRead) {
                addMask(v, a.pos + 4, "free");
            } else if (depth == 0 && a.is("moov")) {
                self(a.body, a.end, 1, self);
            } else if (depth == 1 && a.is("trak")) {
                self(a.body, a.end, 2, self);
            } else if (depth == 1 && a.is("mvhd")) {
                lengthMs = movieHeaderMs(s, a);
            }
            if (a.end <= from) return;
        }
    };
    walk(0, s.length(), 0, walk);
    return lengthMs;
}

// The first byte of an APE tag at the end of an MP3 file (before its ID3v1
// tag, if any); `end` when there is none.
long apeTagStart(FastFileStream& s, long end) {
    if (end < 32) return end;
    long got = 0;
    const unsigned char* p = s.span(end - 32, 32, got);
    if (!p || got < 32 || std::memcmp(p, "APETAGEX", 8) != 0) return end;
    const long size = static_cast<long>(le32(p + 12));        // items and footer
    const long header = (le32(p + 20) & 0x80000000u) ? 32 : 0;  // a header before the items
    const long start = end - size - header;
    return start >= 0 && start < end ? start : end;
}

}  // namespace

off_t SongFileView::size() const {
    off_t total = 0;
    for (int i = 0; i < pieceCount; ++i) total += pieces[i].to - pieces[i].from;
    return total;
}

long SongFileView::read(int fd, off_t pos, char* out, long n) const {
    off_t base = 0;
    for (int i = 0; i < pieceCount; ++i) {
        const off_t length = pieces[i].to - pieces[i].from;
        if (pos >= base + length) {
            base += length;
            continue;
        }
        const off_t at = pieces[i].from + (pos - base);
        const auto want = static_cast<std::size_t>(std::min<off_t>(n, base + length - pos));
        ssize_t got;
        do {
            got = ::pread(fd, out, want, at);
        } while (got < 0 && errno == EINTR);
        if (got < 0) return -1;
        for (int m = 0; m < maskCount; ++m) {
            for (off_t k = 0; k < 4; ++k) {
                const off_t where = masks[m].offset + k - at;
                if (where >= 0 && where < got) out[where] = masks[m].bytes[k];
            }
        }
        return static_cast<long>(got);
    }
    return 0;
}

SongFileFacts inspectSongFile(int fd, const char* name, bool extraFormats) {
    SongFileFacts facts;
    try {
        FastFileStream s;
        if (!s.openDescriptor(fd, name)) return facts;
        if (extraFormats && name && mediatags::xiphFormatNamed(name) != MediaFormat::Unknown) {
            long audioStart = 0;
            const MediaFormat format = mediatags::xiphPlayableFormat(s, name, audioStart);
            if (format != MediaFormat::Unknown) {
                facts.kind.format = format;
                facts.kind.audioStart = audioStart;
                setPieces(facts.view, 0, s.length());
                mediatags::XiphRead read;
                mediatags::readXiph(s, format, audioStart, read);
                if (read.hasDuration && read.duration > 0)
                    facts.lengthMs = static_cast<long long>((read.duration + 5000) / 10000);
                return facts;
            }
        }
        facts.kind = mediatags::sniffAudioStream(s);
        const long size = s.length();
        SongFileView& v = facts.view;
        setPieces(v, 0, size);
        long long mp4Ms = -1;
        switch (facts.kind.format) {
            case MediaFormat::Unknown:
                return facts;
            case MediaFormat::Flac:
            case MediaFormat::OggVorbis:
            case MediaFormat::OggOpus:
                // The content check finds only the six formats of old; the
                // formats a setting adds are the song device's own check
                // (platform/audio/mpv/SongFormats.h).
                return facts;
            case MediaFormat::Mpeg: {
                // The length as libmpv takes it (the tag reader counts the
                // frames of a file without a VBR header: up to 16 MB read).
                long end = size;
                long got = 0;
                if (size >= 128 + facts.kind.audioStart) {
                    const unsigned char* t = s.span(size - 128, 3, got);
                    if (t && got == 3 && std::memcmp(t, "TAG", 3) == 0) end -= 128;
                }
                const long ape = apeTagStart(s, end);
                const long first = mediatags::findMpegStart(s, facts.kind.audioStart, false);
                std::uint64_t hundredNs = 0;
                if (first >= 0 && mediatags::mpegStatedLength(s, first, ape, hundredNs))
                    facts.lengthMs = static_cast<long long>((hundredNs + 5000) / 10000);
                setPieces(v, facts.kind.audioStart > kLargestItemRead ? facts.kind.audioStart : 0,
                          end - ape > kLargestItemRead ? ape : size);
                break;
            }
            case MediaFormat::Au: {
                long got = 0;
                const unsigned char* h = s.span(0, 24, got);
                const long dataOffset = h && got == 24 ? static_cast<long>(be32(h + 4)) : 0;
                if (dataOffset - 24 > kLargestItemRead && dataOffset < size) {
                    // The header, then the data: the annotation between
                    // them is left out, and the header says so.
                    v.pieces[0] = {0, 24};
                    v.pieces[1] = {dataOffset, size};
                    v.pieceCount = 2;
                    addMask(v, 4, "\0\0\0\x18");
                }
                break;
            }
            case MediaFormat::Wav:
            case MediaFormat::Aiff:
                maskLargeChunks(s, facts.kind.format == MediaFormat::Aiff, v);
                break;
            case MediaFormat::Mp4:
                mp4Ms = walkMp4(s, v);
                break;
            case MediaFormat::Asf:
                // libavformat reads no value larger than 64 KiB of an ASF
                // header (a 100 MB picture grows the process by 5 MB).
                break;
        }
        if (facts.kind.format == MediaFormat::Mpeg) return facts;
        MediaTags tags;
        std::uint64_t hundredNs = 0;
        if (tags.parse(s, name) && tags.duration(hundredNs) && hundredNs > 0) {
            // (An m4a's track length counts the encoder's priming samples;
            // the movie's does not, and is libmpv's.)
            facts.lengthMs = mp4Ms > 0 ? mp4Ms : static_cast<long long>((hundredNs + 5000) / 10000);
        }
    } catch (...) {
        facts.lengthMs = -1;
    }
    return facts;
}

}  // namespace kestro::platform
