#include "platform/tags/MediaTagsXiph.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <taglib/tbytevector.h>
#include <taglib/xiphcomment.h>

#include "platform/system/Text.h"
#include "platform/tags/MediaTagsMpeg.h"
#include "platform/tags/MediaTagsStream.h"

namespace kestro::platform::mediatags {

namespace {

std::uint32_t le32(const unsigned char* p) {
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
           (std::uint32_t{p[3]} << 24);
}

std::uint64_t le64(const unsigned char* p) {
    return std::uint64_t{le32(p)} | (std::uint64_t{le32(p + 4)} << 32);
}

constexpr long kOggHeader = 27;  // a page header before its segment table

// A FLAC stream: "fLaC", then a STREAMINFO block (type 0) of 34 bytes.
bool isFlacStart(const unsigned char* p, long n) {
    return n >= 8 && std::memcmp(p, "fLaC", 4) == 0 && (p[4] & 0x7F) == 0 && p[5] == 0 && p[6] == 0 &&
           p[7] == 34;
}

// The first packet of an Ogg page at `p` that begins a stream, or null.
const unsigned char* firstOggPacket(const unsigned char* p, long n, long& packetLength) {
    if (n < kOggHeader || std::memcmp(p, "OggS", 4) != 0 || p[4] != 0 || !(p[5] & 0x02)) return nullptr;
    const long segments = p[26];
    if (segments == 0 || n < kOggHeader + segments) return nullptr;
    packetLength = 0;
    for (long i = 0; i < segments; ++i) {
        packetLength += p[kOggHeader + i];
        if (p[kOggHeader + i] < 255) break;
    }
    const long start = kOggHeader + segments;
    packetLength = std::min(packetLength, n - start);
    return p + start;
}

// Where the bytes of one packet (or block) lie in the file, read forward.
class Pieces {
public:
    explicit Pieces(FastFileStream& s) : s_(s) {}
    void add(long offset, long length) {
        if (length <= 0) return;
        if (!list_.empty() && list_.back().first + list_.back().second == offset)
            list_.back().second += length;
        else
            list_.emplace_back(offset, length);
    }
    // Copies the next `n` bytes; false when there are not that many.
    bool read(unsigned char* out, long n) {
        while (n > 0) {
            if (at_ >= list_.size()) return false;
            const long take = std::min(n, list_[at_].second - used_);
            long got = 0;
            const unsigned char* p = s_.span(list_[at_].first + used_, take, got, std::max(take, kSpanAhead));
            if (!p || got < take) return false;
            std::memcpy(out, p, static_cast<std::size_t>(take));
            out += take;
            n -= take;
            advance(take);
        }
        return true;
    }
    bool skip(long n) {
        while (n > 0) {
            if (at_ >= list_.size()) return false;
            const long take = std::min(n, list_[at_].second - used_);
            n -= take;
            advance(take);
        }
        return true;
    }

private:
    void advance(long n) {
        used_ += n;
        if (used_ == list_[at_].second) {
            ++at_;
            used_ = 0;
        }
    }
    FastFileStream& s_;
    std::vector<std::pair<long, long>> list_;
    std::size_t at_ = 0;
    long used_ = 0;
};

bool readLe32(Pieces& p, std::uint32_t& v) {
    unsigned char b[4];
    if (!p.read(b, 4)) return false;
    v = le32(b);
    return true;
}

// The keys whose fields are kept, compared without regard to case.
bool wantedKey(std::string_view field) {
    const std::size_t eq = field.find('=');
    if (eq == std::string_view::npos) return false;
    const std::string_view key = field.substr(0, eq);
    for (const char* k : {"TITLE", "ARTIST", "ALBUM", "DATE", "YEAR"})
        if (equalNoCaseAscii(key, k)) return true;
    return false;
}

// Walks a Vorbis comment (after its packet's signature, if any) and hands
// the fields kept to TagLib's XiphComment.
void readComment(Pieces& p, XiphRead& out) {
    std::uint32_t vendor = 0, count = 0;
    if (!readLe32(p, vendor) || !p.skip(vendor) || !readLe32(p, count)) {
        out.limited = true;
        return;
    }
    if (count > kMaxXiphFields) {
        count = kMaxXiphFields;
        out.limited = true;
    }
    TagLib::ByteVector kept;
    std::uint32_t keptCount = 0;
    std::uint32_t keptBytes = 0;
    std::string field;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint32_t length = 0;
        if (!readLe32(p, length)) {
            out.limited = true;
            break;
        }
        // The key: at most "ARTIST=" is needed to know.
        unsigned char probe[8];
        const long head = std::min<long>(length, sizeof probe);
        if (!p.read(probe, head)) {
            out.limited = true;
            break;
        }
        const std::string_view start(reinterpret_cast<const char*>(probe), static_cast<std::size_t>(head));
        const bool keep = wantedKey(start) && length <= kMaxXiphText && keptBytes + length <= kMaxXiphKept;
        if (!keep) {
            if (wantedKey(start)) out.limited = true;
            if (!p.skip(static_cast<long>(length) - head)) {
                out.limited = true;
                break;
            }
            continue;
        }
        field.assign(start);
        field.resize(length);
        if (!p.read(reinterpret_cast<unsigned char*>(field.data()) + head, static_cast<long>(length) - head)) {
            out.limited = true;
            break;
        }
        kept.append(TagLib::ByteVector::fromUInt(length, false));
        kept.append(TagLib::ByteVector(field.data(), length));
        ++keptCount;
        keptBytes += length;
    }
    if (keptCount == 0) return;
    TagLib::ByteVector data = TagLib::ByteVector::fromUInt(0, false);  // no vendor
    data.append(TagLib::ByteVector::fromUInt(keptCount, false));
    data.append(kept);
    out.comment = std::make_unique<TagLib::Ogg::XiphComment>(data);
}

// Walks a FLAC file's metadata blocks by their 4-byte headers, handing each
// to `block(index, type, body offset, length)`. Ends at the last block
// (true, `end` where the audio starts), or false: a block past the end of
// the file, or more than kMaxFlacBlocks (`tooMany`).
template <typename Block>
bool walkFlacBlocks(FastFileStream& s, long audioStart, long& end, bool& tooMany, Block&& block) {
    long pos = audioStart + 4;
    tooMany = false;
    for (int index = 0;; ++index) {
        if (index == kMaxFlacBlocks) {
            tooMany = true;
            return false;
        }
        long got = 0;
        const unsigned char* h = s.span(pos, 4, got);
        if (!h || got < 4) return false;
        const int type = h[0] & 0x7F;
        const bool last = (h[0] & 0x80) != 0;
        const long length = (long{h[1]} << 16) | (long{h[2]} << 8) | long{h[3]};
        if (pos + 4 + length > s.length()) return false;
        block(index, type, pos + 4, length);
        pos += 4 + length;
        if (last) {
            end = pos;
            return true;
        }
    }
}

void readFlac(FastFileStream& s, long audioStart, XiphRead& out) {
    bool haveComment = false;
    long end = 0;
    walkFlacBlocks(s, audioStart, end, out.limited, [&](int index, int type, long body, long length) {
        long got = 0;
        const unsigned char* i = index == 0 && type == 0 && length >= 34 ? s.span(body, 18, got) : nullptr;
        if (i && got >= 18) {
            const std::uint64_t rate = (std::uint64_t{i[10]} << 12) | (std::uint64_t{i[11]} << 4) | (i[12] >> 4);
            const std::uint64_t samples = (std::uint64_t{i[13] & 0x0Fu} << 32) | be32(i + 14);
            // An unknown sample count (0) leaves the length unknown.
            if (rate > 0 && samples > 0) {
                out.hasDuration = true;
                out.duration = samples * 10000000u / rate;  // < 2^36 * 10^7 < 2^64
            }
        } else if (index > 0 && type == 4 && !haveComment) {
            haveComment = true;
            Pieces p(s);
            p.add(body, length);
            readComment(p, out);
        }
    });
}

// The last granule position of stream `serial`, from the file's tail: its
// last 16 KiB (where a real file's last page lies), then kOggTailSearch.
bool lastGranule(FastFileStream& s, std::uint32_t serial, std::uint64_t& granule) {
    const long size = s.length();
    for (const long window : {16 * 1024L, kOggTailSearch}) {
        const long from = std::max(0L, size - window);
        long got = 0;
        const unsigned char* t = s.span(from, size - from, got, size - from);
        if (!t) return false;
        for (long i = got - kOggHeader; i >= 0; --i) {
            if (t[i] != 'O' || std::memcmp(t + i, "OggS", 4) != 0 || t[i + 4] != 0) continue;
            const std::uint64_t g = le64(t + i + 6);
            if (le32(t + i + 14) != serial || g == ~std::uint64_t{0}) continue;
            granule = g;
            return true;
        }
        if (from == 0) break;
    }
    return false;
}

void readOgg(FastFileStream& s, MediaFormat format, XiphRead& out) {
    long got = 0;
    const unsigned char* h = s.span(0, kOggHeader + 255 + 19, got);
    long idLength = 0;
    const unsigned char* id = h ? firstOggPacket(h, got, idLength) : nullptr;
    if (!id) return;
    const std::uint32_t serial = le32(h + 14);
    const bool opus = format == MediaFormat::OggOpus;
    if (idLength < (opus ? 19 : 16)) return;
    const std::uint64_t rate = opus ? 48000u : le32(id + 12);
    const std::uint64_t preSkip = opus ? (std::uint64_t{id[10]} | (std::uint64_t{id[11]} << 8)) : 0;

    // The comment is the stream's second packet: its pieces, page by page.
    Pieces comment(s);
    long pos = 0;
    int packet = 0;
    int page = 0;
    for (; packet < 2 && page < kMaxOggPages; ++page) {
        const unsigned char* p = s.span(pos, kOggHeader, got);
        if (!p || got < kOggHeader || std::memcmp(p, "OggS", 4) != 0) break;
        const long segments = p[26];
        const bool ours = le32(p + 14) == serial;
        unsigned char table[255];
        if (segments) {
            const unsigned char* t = s.span(pos + kOggHeader, segments, got);
            if (!t || got < segments) break;
            std::memcpy(table, t, static_cast<std::size_t>(segments));
        }
        long at = pos + kOggHeader + segments;
        for (long i = 0; i < segments && ours && packet < 2; ++i) {
            if (packet == 1) comment.add(at, table[i]);
            at += table[i];
            if (table[i] < 255) ++packet;
        }
        pos += kOggHeader + segments;
        for (long i = 0; i < segments; ++i) pos += table[i];
    }
    if (packet < 2 && page == kMaxOggPages) out.limited = true;
    const char* signature = opus ? "OpusTags" : "\x03vorbis";
    const long signatureLength = opus ? 8 : 7;
    unsigned char sig[8];
    if (comment.read(sig, signatureLength) && std::memcmp(sig, signature, static_cast<std::size_t>(signatureLength)) == 0)
        readComment(comment, out);

    std::uint64_t granule = 0;
    if (rate > 0 && lastGranule(s, serial, granule)) {
        const std::uint64_t samples = granule > preSkip ? granule - preSkip : 0;
        out.hasDuration = true;
        // Whole seconds first (a hostile granule is kept below 2^32 s, as
        // the tag reader's 32-bit seconds take it), then the rest.
        const std::uint64_t seconds = std::min<std::uint64_t>(samples / rate, 0xFFFFFFFFu);
        out.duration = seconds * 10000000u + samples % rate * 10000000u / rate;
    }
}

}  // namespace

XiphRead::XiphRead() = default;
XiphRead::~XiphRead() = default;

MediaFormat xiphFormatNamed(std::string_view name) {
    const std::size_t slash = name.find_last_of('/');
    if (slash != std::string_view::npos) name = name.substr(slash + 1);
    const std::size_t dot = name.rfind('.');
    const std::string_view ext = dot == std::string_view::npos ? name : name.substr(dot + 1);
    if (equalNoCaseAscii(ext, "flac")) return MediaFormat::Flac;
    if (equalNoCaseAscii(ext, "ogg")) return MediaFormat::OggVorbis;
    if (equalNoCaseAscii(ext, "opus")) return MediaFormat::OggOpus;
    return MediaFormat::Unknown;
}

MediaFormat xiphFormatOf(const unsigned char* start, long n) {
    if (!start) return MediaFormat::Unknown;
    if (isFlacStart(start, n)) return MediaFormat::Flac;
    long length = 0;
    const unsigned char* packet = firstOggPacket(start, n, length);
    if (!packet) return MediaFormat::Unknown;
    // A Vorbis identification header is 30 bytes; an Opus head at least 19.
    if (length >= 30 && std::memcmp(packet, "\x01vorbis", 7) == 0) return MediaFormat::OggVorbis;
    if (length >= 19 && std::memcmp(packet, "OpusHead", 8) == 0) return MediaFormat::OggOpus;
    return MediaFormat::Unknown;
}

MediaFormat xiphSongFormat(std::string_view name, const unsigned char* start, long n, long tagBytes) {
    const MediaFormat named = xiphFormatNamed(name);
    if (named == MediaFormat::Unknown || xiphFormatOf(start, n) != named) return MediaFormat::Unknown;
    if (tagBytes != 0 && (named != MediaFormat::Flac || tagBytes < 0 || tagBytes > kMaxTagsBeforeFlac))
        return MediaFormat::Unknown;
    return named;
}

MediaFormat xiphSongFormat(FastFileStream& s, std::string_view name, long& audioStart) {
    audioStart = 0;
    if (xiphFormatNamed(name) == MediaFormat::Unknown) return MediaFormat::Unknown;
    const long start = skipId3v2Tags(s, 0);
    long got = 0;
    const unsigned char* p = s.span(start, kOggHeader + 255 + 30, got);
    const MediaFormat format = xiphSongFormat(name, p, p ? got : 0, start);
    if (format != MediaFormat::Unknown) audioStart = start;
    return format;
}

MediaFormat xiphPlayableFormat(FastFileStream& s, std::string_view name, long& audioStart) {
    audioStart = 0;
    try {
        const MediaFormat format = xiphSongFormat(s, name, audioStart);
        long end = 0;
        bool tooMany = false;
        if (format == MediaFormat::Flac &&
            (!walkFlacBlocks(s, audioStart, end, tooMany, [](int, int, long, long) {}) ||
             end - audioStart > kMaxFlacMetadataPlayed)) {
            audioStart = 0;
            return MediaFormat::Unknown;
        }
        return format;
    } catch (...) {
        audioStart = 0;
        return MediaFormat::Unknown;
    }
}

void readXiph(FastFileStream& s, MediaFormat format, long audioStart, XiphRead& out) {
    if (format == MediaFormat::Flac)
        readFlac(s, audioStart, out);
    else if (format == MediaFormat::OggVorbis || format == MediaFormat::OggOpus)
        readOgg(s, format, out);
}

}  // namespace kestro::platform::mediatags
