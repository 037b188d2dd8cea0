#include "platform/tags/MediaTagsMpeg.h"

#include <algorithm>
#include <cstring>

#include "platform/tags/MediaTagsStream.h"

namespace kestro::platform::mediatags {

namespace {

// Bitrates in kbit/s by [MPEG-1 ? 0 : 1][layer - 1][index]; 0 is free format.
constexpr int kBitrates[2][3][15] = {
    {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
     {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
     {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
    {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}},
};
constexpr int kRates[3] = {44100, 48000, 32000};  // MPEG-1; /2 MPEG-2, /4 MPEG-2.5

bool sameStream(const MpegHeader& a, const MpegHeader& b) {
    return a.version == b.version && a.layer == b.layer && a.sampleRate == b.sampleRate;
}

// The header at `pos` when it is valid and of the stream's kind (read on
// in large pieces: the frame count walks the whole stream). `memo` keeps
// the last header decoded, but for its padding bit: a stream repeats a few
// headers (one per bitrate) thousands of times.
struct HeaderMemo {
    std::uint32_t bits = 0;  // the four bytes without the padding bit; 0: none
    MpegHeader unpadded;
};
bool headerAt(FastFileStream& s, long pos, long end, const MpegHeader& kind, MpegHeader& h, HeaderMemo& memo) {
    if (pos + 4 > end) return false;
    long got = 0;
    const unsigned char* p = s.span(pos, 4, got, kSpanSize);
    if (!p || got != 4) return false;
    constexpr std::uint32_t kPadding = 0x200;
    const std::uint32_t bits = be32(p) & ~kPadding;
    if (bits != memo.bits) {
        const unsigned char unpadded[4] = {p[0], p[1], static_cast<unsigned char>(p[2] & ~0x02), p[3]};
        memo.bits = parseMpegHeader(unpadded, memo.unpadded) ? bits : 0;
        if (memo.bits == 0) return false;
    }
    h = memo.unpadded;
    if (p[2] & 0x02) h.frameLength += h.layer == 1 ? 4 : 1;
    return sameStream(h, kind);
}

// The next frame at or after `from` (before `limit`) that is followed by
// another good header (or by the end of the audio): -1 when none.
long resync(FastFileStream& s, long from, long limit, long end, const MpegHeader& kind) {
    limit = std::min(limit, end - 4);
    if (from > limit) return -1;
    // A copy: checking a candidate's successor may move the stream's window.
    unsigned char buf[kResyncWindow + 4];
    long got = 0;
    const unsigned char* p = s.span(from, std::min<long>(limit + 4 - from, sizeof buf), got);
    if (!p || got < 4) return -1;
    std::copy(p, p + got, buf);
    for (long i = 0; i + 4 <= got; ++i) {
        MpegHeader h, next;
        if (buf[i] != 0xFF || !parseMpegHeader(buf + i, h) || !sameStream(h, kind)) continue;
        const long at = from + i;
        HeaderMemo memo;
        if (at + h.frameLength >= end || headerAt(s, at + h.frameLength, end, kind, next, memo)) return at;
    }
    return -1;
}

// The frame count of a Xing/Info or VBRI header in the first frame's
// `n` bytes, read as TagLib's XingHeader reads it: "Xing" anywhere in the
// frame, else "Info" (16 bytes from there, flags with frames and size),
// else "VBRI" (32 bytes); valid when frames and size are not 0. 0 for none.
// (TagLib's reader makes a byte vector of the frame and searches it three
// times: a twentieth of a scan.)
std::uint32_t vbrHeaderFrames(const unsigned char* p, long n) {
    const auto find = [p, n](const char* id) -> long {
        const unsigned char* end = p + n;
        const unsigned char* at = std::search(p, end, id, id + 4);
        return at == end ? -1 : at - p;
    };
    std::uint32_t frames = 0, size = 0;
    long at = find("Xing");
    if (at < 0) at = find("Info");
    if (at >= 0) {
        if (n < at + 16 || (p[at + 7] & 0x03) != 0x03) return 0;
        frames = be32(p + at + 8);
        size = be32(p + at + 12);
    } else if ((at = find("VBRI")) >= 0) {
        if (n < at + 32) return 0;
        frames = be32(p + at + 14);
        size = be32(p + at + 10);
    }
    return size > 0 ? frames : 0;
}

}  // namespace

bool parseMpegHeader(const unsigned char* p, MpegHeader& out) {
    if (p[0] != 0xFF || (p[1] & 0xE0) != 0xE0) return false;
    const int versionBits = (p[1] >> 3) & 3;  // 0: 2.5, 1: reserved, 2: 2, 3: 1
    const int layerBits = (p[1] >> 1) & 3;    // 0: reserved, 1: III, 2: II, 3: I
    const int bitrateIndex = p[2] >> 4;
    const int rateIndex = (p[2] >> 2) & 3;
    const int padding = (p[2] >> 1) & 1;
    if (versionBits == 1 || layerBits == 0 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3) {
        return false;
    }
    MpegHeader h;
    h.version = versionBits == 3 ? 1 : versionBits == 2 ? 2 : 25;
    h.layer = 4 - layerBits;
    h.sampleRate = kRates[rateIndex] / (h.version == 1 ? 1 : h.version == 2 ? 2 : 4);
    const long bitrate = 1000L * kBitrates[h.version == 1 ? 0 : 1][h.layer - 1][bitrateIndex];
    h.bitrate = bitrate;
    if (h.layer == 1) {
        h.samples = 384;
        h.frameLength = (12 * bitrate / h.sampleRate + padding) * 4;
    } else {
        h.samples = h.layer == 3 && h.version != 1 ? 576 : 1152;
        h.frameLength = h.samples / 8 * bitrate / h.sampleRate + padding;
    }
    out = h;
    return h.frameLength >= 4;
}

namespace {

struct FrameWalk {
    std::uint64_t frames = 0;
    long pos = 0;       // after the last frame counted
    bool lost = false;  // no further frame found: the audio ends there
};

// Counts the frames from the one at `pos` on while they start before
// `stopAt`. `resyncBytes` adds up the bytes searched after bad headers
// (kResyncBudget for the whole file).
FrameWalk walkFrames(FastFileStream& s, long pos, long stopAt, long end, const MpegHeader& kind,
                     long& resyncBytes) {
    FrameWalk w;
    HeaderMemo memo;
    while (pos + 4 <= end && pos < stopAt) {
        MpegHeader h;
        if (headerAt(s, pos, end, kind, h, memo)) {
            ++w.frames;
            pos += h.frameLength;
            continue;
        }
        // Lost sync: a damaged frame, or the end of the audio (junk, an APE
        // tag).
        resyncBytes += kResyncWindow;
        const long next = resyncBytes > kResyncBudget ? -1 : resync(s, pos + 1, pos + kResyncWindow, end, kind);
        if (next < 0) {
            w.lost = true;
            break;
        }
        pos = next;
    }
    w.pos = pos;
    return w;
}

}  // namespace

bool countMpegFrames(FastFileStream& s, long first, long end, MpegFrameCount& out) {
    out = MpegFrameCount{};
    MpegHeader kind;
    {
        long got = 0;
        const unsigned char* p = s.span(first, 4, got);
        if (!p || got < 4 || !parseMpegHeader(p, kind)) return false;
    }
    long resyncBytes = 0;
    std::uint64_t frames = 0;
    if (end - first <= kFrameCountBudget) {
        frames = walkFrames(s, first, end, end, kind, resyncBytes).frames;
        out.complete = true;
    } else {
        // Half the budget counts the start; the other half is spread over
        // the rest in kFrameSamples pieces, whose mean frame size gives the
        // number of frames of the rest (the bitrate of a VBR file follows
        // its music, so the start alone says little of a long file's end).
        const FrameWalk head = walkFrames(s, first, first + kFrameCountBudget / 2, end, kind, resyncBytes);
        frames = head.frames;
        out.complete = head.lost;
        if (!head.lost) {
            const long rest = end - head.pos;
            const long pieceLength = kFrameCountBudget / 2 / kFrameSamples;
            long sampledBytes = 0;
            std::uint64_t sampledFrames = 0;
            for (int k = 0; k < kFrameSamples; ++k) {
                const long start = head.pos + static_cast<long>(static_cast<double>(rest) * k / kFrameSamples);
                const long at = k == 0 ? start : resync(s, start, start + kResyncWindow, end, kind);
                if (at < 0) continue;
                const FrameWalk piece = walkFrames(s, at, at + pieceLength, end, kind, resyncBytes);
                sampledBytes += piece.pos - at;
                sampledFrames += piece.frames;
            }
            if (sampledFrames == 0) {  // (no piece had a frame: the mean of the start)
                sampledBytes = head.pos - first;
                sampledFrames = head.frames;
            }
            if (sampledBytes > 0) {
                frames += static_cast<std::uint64_t>(static_cast<double>(rest) * static_cast<double>(sampledFrames) /
                                                         static_cast<double>(sampledBytes) +
                                                     0.5);
            }
        }
    }
    out.frames = frames;
    // samples x 10^7 / rate, without the product's overflow.
    const std::uint64_t samples = frames * static_cast<std::uint64_t>(kind.samples);
    const std::uint64_t rate = static_cast<std::uint64_t>(kind.sampleRate);
    out.durationHundredNs = samples / rate * 10000000u + samples % rate * 10000000u / rate;
    return true;
}

bool mpegFrameAt(FastFileStream& s, long pos) {
    long got = 0;
    const unsigned char* p = s.span(pos, 4, got);
    MpegHeader h;
    if (!p || got < 4 || !parseMpegHeader(p, h)) return false;
    const std::uint32_t first = (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8);
    p = s.span(pos + h.frameLength, 4, got);
    if (!p || got < 4) return false;
    const std::uint32_t next = (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8);
    // Sync, version, layer, protection and sample rate.
    constexpr std::uint32_t kSameStream = 0xFFFE0C00u;
    return (first & kSameStream) == (next & kSameStream);
}

long findMpegStart(FastFileStream& s, long from, bool orId3) {
    // In pieces (the start is mostly at once), each a copy: mpegFrameAt may
    // move the stream's window.
    constexpr long kPiece = 4096;
    unsigned char bytes[kPiece + 2];
    for (long base = from; base < from + kMpegSearch; base += kPiece) {
        long got = 0;
        const unsigned char* p = s.span(base, kPiece + 2, got);
        if (!p || got < 3) return -1;
        std::memcpy(bytes, p, static_cast<std::size_t>(got));
        for (long i = 0; i < kPiece && i + 2 < got; ++i) {
            if (orId3 && bytes[i] == 'I' && bytes[i + 1] == 'D' && bytes[i + 2] == '3') return base + i;
            if (bytes[i] == 0xFF && mpegFrameAt(s, base + i)) return base + i;
        }
    }
    return -1;
}

long skipId3v2Tags(FastFileStream& s, long pos) {
    for (int tags = 0; tags < 8; ++tags) {
        long got = 0;
        const unsigned char* p = s.span(pos, 10, got);
        if (!p || got < 10 || std::memcmp(p, "ID3", 3) != 0) break;
        long size = 0;
        for (int i = 6; i < 10; ++i) {
            if (p[i] & 0x80) return pos;  // not a tag TagLib reads
            size = (size << 7) | p[i];
        }
        pos += 10 + size + ((p[5] & 0x10) ? 10 : 0);  // a footer
    }
    return pos;
}

namespace {

// The first frame's header at `first` and the length its Xing/Info or VBRI
// header gives (0 without one).
bool firstFrame(FastFileStream& s, long first, MpegHeader& h, std::uint64_t& vbrHundredNs) {
    long got = 0;
    const unsigned char* p = s.span(first, 4, got);
    if (!p || got < 4 || !parseMpegHeader(p, h)) return false;
    p = s.span(first, h.frameLength, got);
    if (!p) return false;
    vbrHundredNs = 0;
    if (const std::uint32_t frames = vbrHeaderFrames(p, got)) {
        const double timePerFrame = h.samples * 1000.0 / h.sampleRate;
        const auto ms = static_cast<std::uint64_t>(timePerFrame * frames + 0.5);
        vbrHundredNs = ms * 10000u;
    }
    return true;
}

}  // namespace

bool mpegDuration(FastFileStream& s, long first, long end, std::uint64_t& hundredNs) {
    MpegHeader h;
    std::uint64_t stated = 0;
    if (!firstFrame(s, first, h, stated)) return false;
    if (stated != 0) {
        hundredNs = stated;
        return true;
    }
    MpegFrameCount count;
    if (!countMpegFrames(s, first, end, count)) return false;
    hundredNs = count.durationHundredNs;
    return true;
}

bool mpegStatedLength(FastFileStream& s, long first, long end, std::uint64_t& hundredNs) {
    MpegHeader h;
    std::uint64_t stated = 0;
    if (!firstFrame(s, first, h, stated) || h.bitrate <= 0) return false;
    const auto bytes = static_cast<std::uint64_t>(end > first ? end - first : 0);
    hundredNs = stated != 0 ? stated
                            : static_cast<std::uint64_t>(static_cast<double>(bytes) * 8e7 / static_cast<double>(h.bitrate));
    return true;
}

}  // namespace kestro::platform::mediatags
