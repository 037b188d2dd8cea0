#include "platform/tags/MediaTagsAsf.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>

#include "platform/tags/MediaTagsStream.h"

namespace kestro::platform::mediatags {

namespace {

using Guid = unsigned char[16];

// The object identifiers as they are stored (little-endian fields).
const Guid kHeader = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11, 0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
const Guid kContentDescription = {0x33, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                  0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
const Guid kExtendedContentDescription = {0x40, 0xA4, 0xD0, 0xD2, 0x07, 0xE3, 0xD2, 0x11,
                                          0x97, 0xF0, 0x00, 0xA0, 0xC9, 0x5E, 0xA8, 0x50};
const Guid kHeaderExtension = {0xB5, 0x03, 0xBF, 0x5F, 0x2E, 0xA9, 0xCF, 0x11,
                               0x8E, 0xE3, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
const Guid kMetadata = {0xEA, 0xCB, 0xF8, 0xC5, 0xAF, 0x5B, 0x77, 0x48, 0x84, 0x67, 0xAA, 0x8C, 0x44, 0xFA, 0x4C, 0xCA};
const Guid kMetadataLibrary = {0x94, 0x1C, 0x23, 0x44, 0x98, 0x94, 0xD1, 0x49,
                               0xA1, 0x41, 0x1D, 0x13, 0x4E, 0x45, 0x70, 0x54};

// A reading position that moves as TagLib's does: a read at the end of the
// file gets what is left, past the end nothing; a seek moves freely.
struct Cursor {
    FastFileStream& s;
    long pos = 0;
    long eof = 0;

    // Reads `n` bytes (copied to `out` when given); true when all were there.
    bool read(long n, unsigned char* out = nullptr) {
        const long there = pos < eof ? std::min(n, eof - pos) : 0;
        bool whole = there == n;
        if (out && whole) {
            long got = 0;
            const unsigned char* p = s.span(pos, n, got);
            whole = p && got == n;
            if (whole) std::memcpy(out, p, static_cast<std::size_t>(n));
        }
        pos += there;
        return whole;
    }
    // A little-endian number of `n` bytes; 0 when it is not all there.
    std::uint64_t number(int n, bool* ok = nullptr) {
        unsigned char b[8] = {};
        const bool whole = read(n, b);
        if (ok) *ok = whole;
        std::uint64_t v = 0;
        for (int i = n - 1; i >= 0; --i) v = (v << 8) | b[i];
        return whole ? v : 0;
    }
};

bool isGuid(const unsigned char* g, const Guid& want) { return std::memcmp(g, want, 16) == 0; }

// Walks one attribute as TagLib parses it (kind 0: extended content
// description, 1: metadata, 2: metadata library).
void skipAttribute(Cursor& c, int kind) {
    std::uint64_t nameLength, type, size;
    if (kind == 0) {
        nameLength = c.number(2);
        c.read(static_cast<long>(nameLength));
        type = c.number(2);
        size = c.number(2);
    } else {
        c.number(2);  // language (metadata library) or reserved
        c.number(2);  // stream
        nameLength = c.number(2);
        type = c.number(2);
        size = c.number(4);
        c.read(static_cast<long>(nameLength));
    }
    switch (type) {
        case 0:  // UTF-16 text
        case 1:  // bytes
        case 6:  // GUID
            c.read(static_cast<long>(size));
            break;
        case 2: c.read(kind == 0 ? 4 : 2); break;  // bool
        case 3: c.read(4); break;                   // 32-bit
        case 4: c.read(8); break;                   // 64-bit
        case 5: c.read(2); break;                   // 16-bit
        default: break;                             // TagLib reads no value
    }
}

// The attribute count at the cursor and the attributes after it: the count
// is rewritten to those that lie wholly in the file, at most
// kMaxAsfAttributes; the cursor ends where TagLib will then stop.
bool limitAttributes(Cursor& c, int kind) {
    const long countAt = c.pos;
    const std::uint64_t count = c.number(2);
    std::uint64_t kept = 0;
    while (kept < count && kept < static_cast<std::uint64_t>(kMaxAsfAttributes)) {
        // Walked without the end of the file, an attribute that does not
        // lie wholly in the file ends past it.
        Cursor whole = c;
        whole.eof = LONG_MAX / 2;
        skipAttribute(whole, kind);
        if (whole.pos > c.eof) break;
        c.pos = whole.pos;
        ++kept;
    }
    if (kept != count) {
        const char bytes[2] = {static_cast<char>(kept & 0xFF), static_cast<char>(kept >> 8)};
        c.s.maskBytes(countAt, bytes, 2);
        return true;
    }
    return false;
}

// BaseObject::parse: the body is read when 24 < size <= the file's length
// (size taken as 32 bits, as TagLib passes it).
void skipPlainObject(Cursor& c, std::uint64_t size) {
    const auto size32 = static_cast<std::uint32_t>(size);
    if (size32 > 24 && size32 <= static_cast<std::uint32_t>(c.eof)) c.read(static_cast<long>(size32 - 24));
}

}  // namespace

bool limitAsfHeader(FastFileStream& s) {
    s.endAtFirstRefusal();
    bool cut = false;
    Cursor c{s, 0, s.length()};
    unsigned char guid[16];
    bool ok = false;
    if (!c.read(16, guid) || !isGuid(guid, kHeader)) return false;
    c.number(8, &ok);
    if (!ok) return false;
    const auto objects = static_cast<std::int32_t>(c.number(4, &ok));
    if (!ok) return false;
    c.pos += 2;
    int seen = 0;
    for (std::int32_t i = 0; i < objects; ++i) {
        if (++seen > kMaxAsfObjects) {
            s.limitReadEnd(c.pos);
            return true;
        }
        if (!c.read(16, guid)) return cut;
        const std::uint64_t size = c.number(8, &ok);
        if (!ok) return cut;
        if (isGuid(guid, kContentDescription)) {
            std::uint64_t lengths[5];
            for (auto& l : lengths) l = c.number(2);
            for (auto l : lengths) c.read(static_cast<long>(l));
        } else if (isGuid(guid, kExtendedContentDescription)) {
            cut |= limitAttributes(c, 0);
        } else if (isGuid(guid, kHeaderExtension)) {
            c.pos += 18;
            const auto dataSize = static_cast<std::int64_t>(c.number(4));
            std::int64_t dataPos = 0;
            while (dataPos < dataSize) {
                if (++seen > kMaxAsfObjects) {
                    s.limitReadEnd(c.pos);
                    return true;
                }
                if (!c.read(16, guid)) break;
                const auto inner = static_cast<std::int64_t>(c.number(8, &ok));
                if (!ok) break;
                if (isGuid(guid, kMetadata)) {
                    cut |= limitAttributes(c, 1);
                } else if (isGuid(guid, kMetadataLibrary)) {
                    cut |= limitAttributes(c, 2);
                } else {
                    skipPlainObject(c, static_cast<std::uint64_t>(inner));
                }
                // As TagLib adds the sizes, but without the signed overflow
                // two hostile sizes would make: the sum wraps.
                dataPos = static_cast<std::int64_t>(static_cast<std::uint64_t>(dataPos) + static_cast<std::uint64_t>(inner));
            }
        } else {
            skipPlainObject(c, size);
        }
    }
    return cut;
}

}  // namespace kestro::platform::mediatags
