#include "platform/tags/MediaTagsId3.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "platform/tags/MediaTagsStream.h"
#include "platform/system/Text.h"

namespace kestro::platform::mediatags {

namespace {

// A larger ID3v2 tag (a big cover picture) is left to TagLib: its read
// budget (MediaTagsStream.h) is then still far away.
constexpr std::uint32_t kMaxPlainTag = 1024 * 1024;
// More frames are left to TagLib (its frame cap is 2048, MediaTags.cpp).
constexpr int kMaxPlainFrames = 1024;
// Files this small are left to TagLib: its searches for the ID3v1 and APE
// tags at the end then take positions before the start of the file.
constexpr long kMinPlainFile = 256;
constexpr long kId3v1Size = 128;

// Copies `n` bytes of the file from `pos` into `out`; false when the file
// does not hold them all.
bool copyBytes(FastFileStream& s, long pos, long n, unsigned char* out) {
    while (n > 0) {
        long got = 0;
        const unsigned char* p = s.span(pos, std::min(n, kSpanSize), got);
        if (!p || got <= 0) return false;
        std::memcpy(out, p, static_cast<std::size_t>(got));
        out += got;
        pos += got;
        n -= got;
    }
    return true;
}

// An ID3v2.4 frame size as TagLib reads it: synch-safe, or a plain number
// when one of its bytes has the top bit set.
std::uint32_t synchSafeOrPlain(const unsigned char* p) {
    if ((p[0] | p[1] | p[2] | p[3]) & 0x80) return be32(p);
    return (std::uint32_t{p[0]} << 21) | (std::uint32_t{p[1]} << 14) | (std::uint32_t{p[2]} << 7) |
           std::uint32_t{p[3]};
}

bool isFrameId(const unsigned char* p) {
    return std::all_of(p, p + 4, [](unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); });
}

// The ID3v2 tag's body: the frames from `base` on, `size` bytes.
struct Id3Body {
    FastFileStream& s;
    long base;
    std::uint32_t size;

    // True when the four bytes at `at` past the frame at `frame` name a
    // frame, read as TagLib reads them: from the rest of the body after
    // `frame` (`at` wraps as TagLib's 32-bit offset does; past the end there
    // is no name).
    bool frameIdAt(std::uint32_t frame, std::uint32_t at) const {
        const std::uint32_t rest = size - frame;
        if (at > rest || rest - at < 4) return false;
        unsigned char id[4];
        return copyBytes(s, base + frame + at, 4, id) && isFrameId(id);
    }
};

// UTF-16 code units (big- or little-endian) to UTF-8; false on a lone
// surrogate (TagLib's conversion then gives no text at all).
bool appendUtf16(const unsigned char* p, std::size_t units, bool bigEndian, std::string& out) {
    auto unit = [&](std::size_t i) -> std::uint32_t {
        return bigEndian ? (std::uint32_t{p[2 * i]} << 8) | p[2 * i + 1] : (std::uint32_t{p[2 * i + 1]} << 8) | p[2 * i];
    };
    for (std::size_t i = 0; i < units; ++i) {
        std::uint32_t u = unit(i);
        if (u == 0) break;  // a text ends at its first NUL
        if (u >= 0xDC00 && u <= 0xDFFF) return false;
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (i + 1 >= units) return false;
            const std::uint32_t low = unit(++i);
            if (low < 0xDC00 || low > 0xDFFF) return false;
            u = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
        }
        appendUtf8(out, u);
    }
    return true;
}

// One field of a text frame (never empty, no delimiter in it), as TagLib
// decodes it, appended to `out` in UTF-8. `first`: the field is the first of
// the frame's list. False where TagLib's result is not reproduced.
bool appendField(const unsigned char* p, std::size_t n, unsigned char encoding, bool first, std::string& out) {
    switch (encoding) {
        case 0:  // Latin-1
            for (std::size_t i = 0; i < n; ++i) appendUtf8(out, p[i]);
            return true;
        case 3:  // UTF-8: TagLib drops text that is not valid UTF-8
            if (!isValidUtf8(p, n)) return false;
            out.append(reinterpret_cast<const char*>(p), n);
            return true;
        case 1: {  // UTF-16 with a byte order mark
            // (TagLib reads the marks of later fields by another rule.)
            if (!first) return false;
            if (n < 2) return true;  // too short for a mark: no text
            const bool little = p[0] == 0xFF && p[1] == 0xFE;
            const bool big = p[0] == 0xFE && p[1] == 0xFF;
            if (!little && !big) return true;  // a broken mark: no text
            return appendUtf16(p + 2, n / 2 - 1, big, out);
        }
        case 2:  // UTF-16 big-endian, no mark
            return appendUtf16(p, n / 2, true, out);
        default:
            return false;
    }
}

// The text of a text frame's body as TagLib gives it: the encoding byte,
// then fields split at the encoding's NUL, trailing NULs dropped, empty
// fields skipped, the rest joined with " ". False where TagLib's result is
// not reproduced.
bool frameText(const unsigned char* d, std::uint32_t size, std::string& out) {
    out.clear();
    if (size < 2) return true;
    const unsigned char encoding = d[0];
    if (encoding > 3) return false;
    const std::uint32_t align = encoding == 0 || encoding == 3 ? 1 : 2;
    std::uint32_t last = size - 1;
    while (last > 0 && d[last] == 0) --last;
    while (last % align != 0) ++last;
    const unsigned char* v = d + 1;
    const std::uint32_t length = std::min(last, size - 1);
    // The next delimiter (align NUL bytes at a multiple of align) from `from`.
    auto find = [&](std::uint32_t from) -> std::int64_t {
        for (std::uint32_t i = from; i + align <= length; i += align) {
            if (v[i] == 0 && (align == 1 || v[i + 1] == 0)) return i;
        }
        return -1;
    };
    int fields = 0, index = 0;
    auto take = [&](std::uint32_t from, std::uint32_t n) {
        const bool first = index++ == 0;
        if (n == 0) return true;  // an empty field is skipped
        if (fields++ > 0) out += ' ';
        return appendField(v + from, n, encoding, first, out);
    };
    std::uint32_t previous = 0;
    for (std::int64_t at = find(0); at >= 0; at = find(static_cast<std::uint32_t>(at) + align)) {
        if (!take(previous, static_cast<std::uint32_t>(at) - previous)) return false;
        previous = static_cast<std::uint32_t>(at) + align;
    }
    return previous >= length || take(previous, length - previous);
}

// TagLib's number of a year text (String::toInt of its first four
// characters), when certain: false when the text starts with a sign, white
// space, a control or a non-ASCII character, whose reading depends on the
// locale.
bool yearNumber(const std::string& text, unsigned& year) {
    year = 0;
    if (text.empty()) return true;
    const auto c = static_cast<unsigned char>(text[0]);
    if (c < 0x21 || c >= 0x7F || c == '+' || c == '-') return false;
    for (std::size_t i = 0; i < 4 && i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        year = year * 10 + static_cast<unsigned>(text[i] - '0');
    return true;
}

// A field of an ID3v1 tag as TagLib reads it: Latin-1 up to the first NUL,
// without white space (tab, line feed, form feed, return, space) at either
// end.
std::string id3v1Field(const unsigned char* p, std::size_t n) {
    auto white = [](unsigned char c) { return c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' '; };
    std::size_t end = 0;
    while (end < n && p[end] != 0) ++end;
    std::size_t begin = 0;
    while (begin < end && white(p[begin])) ++begin;
    while (end > begin && white(p[end - 1])) --end;
    std::string out;
    for (std::size_t i = begin; i < end; ++i) appendUtf8(out, p[i]);
    return out;
}

// Which of the four texts a frame holds (title, artist, album, year), under
// the names TagLib gives them: -1 for none.
int textIndex(const unsigned char* id, unsigned version) {
    const std::string_view name(reinterpret_cast<const char*>(id), 4);
    if (name == "TIT2") return 0;
    if (name == "TPE1") return 1;
    if (name == "TALB") return 2;
    if (name == "TDRC" || (version == 3 && name == "TYER") || (version == 4 && name == "TRDC")) return 3;
    return -1;
}

// The frames of the tag body as TagLib's tag reader walks them with our
// frame factory: the first frame of each of the four names that is not
// over kMaxId3TextFrame is parsed; the list ends at padding, at a frame
// whose size is 0 or passes the end, or at a name that is not one. False
// where TagLib's result is not reproduced.
bool readFrames(const Id3Body& body, unsigned version, std::string (&texts)[4]) {
    unsigned parsed = 0;
    int frames = 0;
    std::string data;
    for (std::uint32_t pos = 0; pos < body.size - 10;) {
        const std::uint32_t rest = body.size - pos;
        unsigned char h[10];
        if (!copyBytes(body.s, body.base + pos, 10, h)) return false;
        if (h[0] == 0) break;  // padding
        std::uint32_t size = version == 3 ? be32(h + 4) : synchSafeOrPlain(h + 4);
        // iTunes writes ID3v2.4 frame sizes as plain numbers: TagLib takes
        // the plain number when the synch-safe one does not lead to a frame
        // name and the plain one does.
        if (version == 4 && size > 127 && !body.frameIdAt(pos, size + 10u)) {
            const std::uint32_t plain = be32(h + 4);
            if (body.frameIdAt(pos, plain + 10u)) size = plain;
        }
        if (h[9] != 0) return false;  // compression, encryption, grouping, unsynchronisation, data length
        if (size == 0 || size > rest) break;
        if (version == 3 && h[3] == 0) return false;  // iTunes' ID3v2.2 names in a 2.3 tag
        if (!isFrameId(h)) break;
        if (++frames > kMaxPlainFrames) return false;
        const int which = textIndex(h, version);
        if (which >= 0 && !(parsed & (1u << which)) && size <= kMaxId3TextFrame) {
            parsed |= 1u << which;
            const std::uint32_t n = std::min(size, rest - 10);
            data.resize(n);
            if (n > 0 && !copyBytes(body.s, body.base + pos + 10, n, reinterpret_cast<unsigned char*>(data.data())))
                return false;
            if (!frameText(reinterpret_cast<const unsigned char*>(data.data()), n, texts[which])) return false;
        }
        pos += size + 10;
    }
    return true;
}

}  // namespace

namespace {

struct TagHeader {
    unsigned version = 0;
    std::uint32_t size = 0;  // of the body, after the 10-byte header
};

// The header of a plain ID3v2 tag at `at` whose body the file holds whole:
// version 2.3 or 2.4; no unsynchronisation, extended header, experimental
// mark or footer; a synch-safe size. False for any other.
bool plainHeader(FastFileStream& s, long at, TagHeader& out) {
    unsigned char h[10];
    if (!copyBytes(s, at, 10, h) || std::memcmp(h, "ID3", 3) != 0) return false;
    if ((h[3] != 3 && h[3] != 4) || (h[5] & 0xF0) != 0 || ((h[6] | h[7] | h[8] | h[9]) & 0x80) != 0) return false;
    out.version = h[3];
    out.size = synchSafeOrPlain(h + 6);
    return out.size > 10 && out.size <= kMaxPlainTag && at + 10 + static_cast<long>(out.size) <= s.length();
}

// The four texts of the plain tag at `at` and its year's number. False
// where TagLib's result is not reproduced.
bool readTagBody(FastFileStream& s, long at, const TagHeader& h, std::string (&texts)[4], unsigned& year) {
    // TagLib takes an ID3v2 header right after the tag for a second tag.
    const long after = at + 10 + static_cast<long>(h.size);
    if (s.length() - after >= 10) {
        unsigned char next[3];
        if (!copyBytes(s, after, 3, next) || std::memcmp(next, "ID3", 3) == 0) return false;
    }
    return readFrames(Id3Body{s, at + 10, h.size}, h.version, texts) && yearNumber(texts[3], year);
}

}  // namespace

bool readPlainId3v2Tag(FastFileStream& s, long offset, Id3Texts& out) {
    TagHeader h;
    std::string texts[4];
    unsigned year = 0;
    if (!plainHeader(s, offset, h) || !readTagBody(s, offset, h, texts, year)) return false;
    out.title = std::move(texts[0]);
    out.author = std::move(texts[1]);
    out.album = std::move(texts[2]);
    out.year = year > 0 ? std::to_string(year) : std::string();
    return true;
}

bool readPlainMpegTags(FastFileStream& s, MpegTagTexts& out) {
    const long fileSize = s.length();
    TagHeader h;
    if (fileSize < kMinPlainFile || !plainHeader(s, 0, h)) return false;
    // The ID3v1 tag: "TAG" 128 bytes from the end, unless that is the end
    // of an APE footer's "APETAGEX". An APE tag (its footer before the
    // ID3v1 tag or at the end) is left to TagLib. (Read first: the end of
    // the file is in the scanners' window now, see limitApeItems.)
    unsigned char tail[kId3v1Size + 32];
    if (!copyBytes(s, fileSize - static_cast<long>(sizeof tail), sizeof tail, tail)) return false;
    const unsigned char* v1 = tail + 32;
    const bool hasId3v1 = std::memcmp(v1, "TAG", 3) == 0 && std::memcmp(v1 - 3, "APETAGEX", 8) != 0;
    if (std::memcmp(hasId3v1 ? tail : tail + kId3v1Size, "APETAGEX", 8) == 0) return false;

    // The whole tag in one read when the head does not hold it, with the
    // first audio frames after it, where the length is looked for next (in
    // pieces of 4 KiB and a little).
    const long after = 10 + static_cast<long>(h.size);
    constexpr long kAfterTag = 2 * kSpanAhead;
    if (after + kAfterTag <= kSpanSize) {
        long got = 0;
        s.span(0, after, got, after + kAfterTag);
    }
    std::string texts[4];
    unsigned year2 = 0;
    if (!readTagBody(s, 0, h, texts, year2)) return false;

    std::string v1Texts[4];
    if (hasId3v1) {
        for (int i = 0; i < 3; ++i) v1Texts[i] = id3v1Field(v1 + 3 + 30 * i, 30);
        v1Texts[3] = id3v1Field(v1 + 93, 4);
    }
    unsigned year1 = 0;
    if (!yearNumber(v1Texts[3], year1)) return false;

    out.title = texts[0].empty() ? v1Texts[0] : texts[0];
    out.author = texts[1].empty() ? v1Texts[1] : texts[1];
    out.album = texts[2].empty() ? v1Texts[2] : texts[2];
    const unsigned year = year2 > 0 ? year2 : year1;
    out.year = year > 0 ? std::to_string(year) : std::string();
    out.hasId3v1 = hasId3v1;
    return true;
}

}  // namespace kestro::platform::mediatags
