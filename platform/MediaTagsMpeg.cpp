#include "platform/MediaTagsMpeg.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include <taglib/tbytevector.h>
#include <taglib/xingheader.h>

#include "platform/MediaTagsStream.h"

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

// The header at `pos` when it is valid and of the stream's kind.
bool headerAt(FastFileStream& s, long pos, long end, const MpegHeader& kind, MpegHeader& h) {
    if (pos + 4 > end) return false;
    long got = 0;
    const unsigned char* p = s.span(pos, 4, got);
    return p && got == 4 && parseMpegHeader(p, h) && sameStream(h, kind);
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
        if (at + h.frameLength >= end || headerAt(s, at + h.frameLength, end, kind, next)) return at;
    }
    return -1;
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

bool countMpegFrames(FastFileStream& s, long first, long end, MpegFrameCount& out) {
    out = MpegFrameCount{};
    MpegHeader kind;
    {
        long got = 0;
        const unsigned char* p = s.span(first, 4, got);
        if (!p || got < 4 || !parseMpegHeader(p, kind)) return false;
    }
    const long budgetEnd = first > end - kFrameCountBudget ? end : first + kFrameCountBudget;
    std::uint64_t frames = 0;
    long pos = first;
    bool lost = false;
    long resyncBytes = 0;
    while (pos + 4 <= end && pos < budgetEnd) {
        MpegHeader h;
        if (headerAt(s, pos, end, kind, h)) {
            ++frames;
            pos += h.frameLength;
            continue;
        }
        // Lost sync: a damaged frame, or the end of the audio (junk, an APE
        // tag).
        resyncBytes += kResyncWindow;
        const long next = resyncBytes > kResyncBudget ? -1 : resync(s, pos + 1, pos + kResyncWindow, end, kind);
        if (next < 0) {
            lost = true;
            break;
        }
        pos = next;
    }
    if (!lost && pos < end && pos >= budgetEnd && frames > 0) {
        // Out of budget: the rest is taken to be frames of the mean size so
        // far.
        const double mean = static_cast<double>(pos - first) / static_cast<double>(frames);
        frames += static_cast<std::uint64_t>(static_cast<double>(end - pos) / mean + 0.5);
    } else {
        out.complete = true;
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
    long got = 0;
    const unsigned char* p = s.span(from, kMpegSearch + 2, got);
    if (!p || got < 3) return -1;
    // A copy: mpegFrameAt may move the stream's window.
    const std::vector<unsigned char> bytes(p, p + got);
    for (long i = 0; i + 2 < got; ++i) {
        if (orId3 && bytes[i] == 'I' && bytes[i + 1] == 'D' && bytes[i + 2] == '3') return from + i;
        if (bytes[i] == 0xFF && i < kMpegSearch && mpegFrameAt(s, from + i)) return from + i;
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

bool mpegDuration(FastFileStream& s, long first, long end, std::uint64_t& hundredNs) {
    long got = 0;
    const unsigned char* p = s.span(first, 4, got);
    MpegHeader h;
    if (!p || got < 4 || !parseMpegHeader(p, h)) return false;
    p = s.span(first, h.frameLength, got);
    if (!p) return false;
    const TagLib::MPEG::XingHeader xing(TagLib::ByteVector(reinterpret_cast<const char*>(p), static_cast<unsigned>(got)));
    if (xing.isValid()) {
        const double timePerFrame = h.samples * 1000.0 / h.sampleRate;
        const auto ms = static_cast<std::uint64_t>(timePerFrame * xing.totalFrames() + 0.5);
        hundredNs = ms * 10000u;
        return true;
    }
    MpegFrameCount count;
    if (!countMpegFrames(s, first, end, count)) return false;
    hundredNs = count.durationHundredNs;
    return true;
}

}  // namespace kestro::platform::mediatags
