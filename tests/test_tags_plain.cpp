// Our own readers of MP3 files against TagLib's: the plain tag reader
// (platform/MediaTagsId3), wherever it takes a file, gives TagLib's four
// texts and ID3v1 verdict, takes the plain kinds of file and leaves the
// others to TagLib; the VBR header reader gives TagLib's frame count.

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <taglib/id3v2framefactory.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/tbytevectorstream.h>
#include <taglib/xingheader.h>

#include "platform/tags/MediaTags.h"
#include "platform/tags/MediaTagsId3.h"
#include "platform/tags/MediaTagsMpeg.h"
#include "platform/tags/MediaTagsStream.h"

using Bytes = std::string;
using kestro::platform::FastFileStream;
using kestro::platform::mediatags::MpegTagTexts;

namespace {

Bytes be32(std::uint32_t n, bool synchSafe) {
    const int shift = synchSafe ? 7 : 8;
    const std::uint32_t mask = synchSafe ? 0x7F : 0xFF;
    return {static_cast<char>((n >> (3 * shift)) & mask), static_cast<char>((n >> (2 * shift)) & mask),
            static_cast<char>((n >> shift) & mask), static_cast<char>(n & mask)};
}

// A frame of an ID3v2.`version` tag; `plainSize` writes a 2.4 size as a
// plain number (as iTunes does).
Bytes frame(int version, const Bytes& id, const Bytes& body, bool plainSize = false) {
    return id + be32(static_cast<std::uint32_t>(body.size()), version == 4 && !plainSize) + Bytes(2, '\0') + body;
}

Bytes tag(int version, const Bytes& frames, std::size_t padding = 16, char flags = 0) {
    const Bytes body = frames + Bytes(padding, '\0');
    return Bytes("ID3") + static_cast<char>(version) + '\0' + flags + be32(static_cast<std::uint32_t>(body.size()), true) +
           body;
}

Bytes field(const Bytes& text, std::size_t size) { return (text + Bytes(size, '\0')).substr(0, size); }

Bytes id3v1(const Bytes& title, const Bytes& artist, const Bytes& album, const Bytes& year) {
    return "TAG" + field(title, 30) + field(artist, 30) + field(album, 30) + field(year, 4) + Bytes(31, '\0');
}

// Tags around ten frames of MPEG-1 layer III audio (128 kbit/s, 44.1 kHz).
Bytes mp3(const Bytes& head, const Bytes& tail = {}) {
    Bytes frameBytes = Bytes("\xFF\xFB\x90\x00", 4) + Bytes(413, '\0');
    Bytes audio;
    for (int i = 0; i < 10; ++i) audio += frameBytes;
    return head + audio + tail;
}

struct Texts {
    std::string title, author, album, year;
    bool hasId3v1 = false;
    bool operator==(const Texts&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Texts& t) {
    return os << '[' << t.title << "|" << t.author << "|" << t.album << "|" << t.year << "|" << t.hasId3v1 << ']';
}

// What TagLib gives for the file: its MPEG reader's tag union (ID3v2, APE,
// ID3v1), or with `tagAt` its ID3v2 tag reader at that place (as for the
// ID3 chunk of a WAV or AIFF file).
Texts tagLib(const Bytes& file, long tagAt = -1) {
    TagLib::ByteVectorStream stream(TagLib::ByteVector(file.data(), static_cast<unsigned>(file.size())));
    TagLib::MPEG::File f(&stream, TagLib::ID3v2::FrameFactory::instance(), false);
    const TagLib::ID3v2::Tag chunk(&f, tagAt < 0 ? 0 : tagAt);
    const TagLib::Tag* t = tagAt < 0 ? f.tag() : &chunk;
    return {t->title().to8Bit(true), t->artist().to8Bit(true), t->album().to8Bit(true),
            t->year() ? std::to_string(t->year()) : std::string(), tagAt < 0 && f.hasID3v1Tag()};
}

// The same from our reader; false when it leaves the file to TagLib.
bool plain(const Bytes& file, Texts& out, long tagAt = -1) {
    namespace m = kestro::platform::mediatags;
    FastFileStream s;
    MpegTagTexts t;
    if (!s.openMemory(file.data(), file.size(), "a.mp3") ||
        !(tagAt < 0 ? m::readPlainMpegTags(s, t) : m::readPlainId3v2Tag(s, tagAt, t)))
        return false;
    out = {t.title, t.author, t.album, t.year, t.hasId3v1};
    return true;
}

const Bytes kFour4 = frame(4, "TIT2", Bytes("\0Title", 6)) + frame(4, "TPE1", Bytes("\0Artist", 7)) +
                     frame(4, "TALB", Bytes("\0Album", 6)) + frame(4, "TDRC", Bytes("\0002008", 5));
const Bytes kV1 = id3v1("V1 Title  ", " V1 Artist", "V1 Album", "1999");

}  // namespace

TEST(MediaTagsPlainMp3, TakesPlainTagsAndGivesTagLibsTexts) {
    const Bytes utf16le = Bytes("\x01\xFF\xFE", 3) + Bytes("T\0i\0t\0\xE9\0", 8);
    const Bytes utf16be = Bytes("\x01\xFE\xFF", 3) + Bytes("\0A\0r\xD8\x3D\xDE\x00", 8);  // "Ar" + U+1F600
    const Bytes utf16bom = Bytes("\x02", 1) + Bytes("\0B\0E", 4);
    const Bytes big(300, 'x');
    struct Case {
        const char* name;
        Bytes file;
        bool taken;
    } cases[] = {
        {"2.4 Latin-1 and ID3v1", mp3(tag(4, kFour4), kV1), true},
        {"2.4 Latin-1 8-bit", mp3(tag(4, frame(4, "TIT2", Bytes("\0\xDCnter \xE9t\xE9", 10)))), true},
        {"2.3 UTF-16 both byte orders, TYER", mp3(tag(3, frame(3, "TIT2", utf16le) + frame(3, "TPE1", utf16be) +
                                                              frame(3, "TALB", utf16bom) + frame(3, "TYER", Bytes("\0002011", 5)))), true},
        {"2.4 UTF-8 fields joined, trailing NULs, TRDC", mp3(tag(4, frame(4, "TIT2", Bytes("\3a\0\0b\xC3\xA9\0\0", 9)) +
                                                                       frame(4, "TRDC", Bytes("\0002005-06", 8)))), true},
        {"ID3v1 fills what ID3v2 lacks", mp3(tag(4, frame(4, "TIT2", Bytes("\0", 1)) + frame(4, "TPE1", Bytes("\0Who", 4))), kV1), true},
        {"first of two titles; list ends at a bad name", mp3(tag(4, frame(4, "TIT2", Bytes("\0One", 4)) + frame(4, "TIT2", Bytes("\0Two", 4)) +
                                                                       frame(4, "tpe1", Bytes("\0x", 2)) + frame(4, "TALB", Bytes("\0Lost", 5)))), true},
        {"frame past the tag's end", mp3(tag(4, frame(4, "TIT2", Bytes("\0Ok", 3)) + Bytes("TALB\0\0\x7F\x7F\0\0\0X", 12), 0)), true},
        {"iTunes' plain 2.4 sizes", mp3(tag(4, frame(4, "TXXX", Bytes(256, 'y'), true) + frame(4, "TIT2", Bytes("\0It", 3), true))), true},
        {"large other frames skipped", mp3(tag(4, frame(4, "APIC", big) + frame(4, "COMM", big) + kFour4)), true},
        {"years: letters, short, ID3v1's", mp3(tag(4, frame(4, "TDRC", Bytes("\0abc", 4))), kV1), true},
        {"year of two digits", mp3(tag(3, frame(3, "TYER", Bytes("\00008", 3)))), true},
        {"broken byte order mark", mp3(tag(3, frame(3, "TIT2", Bytes("\x01\x41\x42\x43\x44", 5))), kV1), true},
        {"no ID3v1", mp3(tag(4, kFour4)), true},
        {"2.2 tag", mp3(tag(2, Bytes("TT2\0\0\4\0abc", 10))), false},
        {"unsynchronised tag", mp3(tag(4, kFour4, 16, '\x80')), false},
        {"extended header", mp3(tag(4, kFour4, 16, '\x40')), false},
        {"frame format flags", mp3(tag(4, frame(4, "TIT2", Bytes("\0T", 2)).replace(9, 1, "\x01"))), false},
        {"encoding 4", mp3(tag(4, frame(4, "TIT2", Bytes("\4T\0", 3)))), false},
        {"invalid UTF-8", mp3(tag(4, frame(4, "TIT2", Bytes("\3\xC0\xAF", 3)))), false},
        {"lone surrogate", mp3(tag(4, frame(4, "TIT2", Bytes("\2\xD8\x00\0A", 5)))), false},
        {"second UTF-16 field", mp3(tag(3, frame(3, "TIT2", utf16le + Bytes("\0\0A\0", 4)))), false},
        {"year after a space", mp3(tag(4, frame(4, "TDRC", Bytes("\0 2008", 6)))), false},
        {"negative year", mp3(tag(4, frame(4, "TDRC", Bytes("\0-5", 3)))), false},
        {"APE tag", mp3(tag(4, kFour4), Bytes("APETAGEX", 8) + Bytes(24, '\0') + kV1), false},
        {"second ID3v2 tag", mp3(tag(4, kFour4) + tag(4, kFour4)), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Texts ours;
        ASSERT_EQ(plain(c.file, ours), c.taken);
        if (c.taken) {
            EXPECT_EQ(ours, tagLib(c.file));
        }
    }
    Texts t;
    ASSERT_TRUE(plain(cases[0].file, t));
    EXPECT_EQ(t, (Texts{"Title", "Artist", "Album", "2008", true}));
    ASSERT_TRUE(plain(cases[2].file, t));
    EXPECT_EQ(t, (Texts{"Tit\xC3\xA9", "Ar\xF0\x9F\x98\x80", "BE", "2011", false}));
    ASSERT_TRUE(plain(cases[4].file, t));
    EXPECT_EQ(t, (Texts{"V1 Title", "Who", "V1 Album", "1999", true}));
}

// Damaged tags: random bytes changed in the tags of plain files. Whatever
// the reader takes, it reads as TagLib does (and MediaTags gives the same).
TEST(MediaTagsPlainMp3, DamagedTagsGiveTagLibsTextsOrGoToTagLib) {
    const Bytes bases[] = {
        mp3(tag(4, kFour4, 8), kV1),
        mp3(tag(3, frame(3, "TIT2", Bytes("\x01\xFF\xFE" "A\0B\0", 7)) + frame(3, "TYER", Bytes("\0002001", 5)) +
                       frame(3, "TALB", Bytes("\3al\0bum", 7)), 4),
            kV1),
        mp3(tag(4, frame(4, "TXXX", Bytes(200, 'z'), true) + kFour4, 0)),
    };
    std::mt19937 random(20240601);
    int taken = 0, tries = 0;
    for (const Bytes& base : bases) {
        std::size_t tagEnd = 10;
        for (int i = 6; i < 10; ++i) tagEnd += static_cast<std::size_t>(base[i]) << (7 * (9 - i));
        for (int n = 0; n < 1500; ++n, ++tries) {
            Bytes file = base;
            for (int k = 1 + static_cast<int>(random() % 3); k > 0; --k) {
                // Mostly inside the ID3v2 tag, sometimes in the ID3v1 tag.
                const bool tail = random() % 5 == 0;
                const std::size_t at = tail ? file.size() - 128 + random() % 128 : 3 + random() % (tagEnd - 3);
                const char values[] = {0, 1, 2, 3, '\t', '\x7F', '\xFF', 'T', ' ', '0', static_cast<char>(random())};
                file[at] = values[random() % sizeof values];
            }
            // The tag alone, further into a file (as in a WAV file's chunk).
            const Bytes chunked = Bytes(100, 'R') + file;
            Texts ours;
            if (plain(chunked, ours, 100)) {
                ASSERT_EQ(ours, tagLib(chunked, 100)) << "case " << tries;
            }
            if (!plain(file, ours)) continue;
            ++taken;
            ASSERT_EQ(ours, tagLib(file)) << "case " << tries;
            kestro::platform::MediaTags m;
            m.openMemory(file.data(), file.size(), "a.mp3");
            std::string title;
            m.text("Title", title);
            EXPECT_EQ(title, ours.title);
        }
    }
    EXPECT_GT(taken, tries / 4);  // most damage still leaves a plain tag
}

// A Xing/Info or VBRI header in the first frame times the file as TagLib's
// reader of those headers does; without a valid one the frames are counted.
TEST(MediaTagsMp3Length, VbrHeadersReadAsTagLibReadsThem) {
    const auto xing = [](const char* id, char flags, std::uint32_t frames, std::uint32_t bytes) {
        return Bytes(id, 4) + Bytes(3, '\0') + flags + be32(frames, false) + be32(bytes, false);
    };
    const auto vbri = [](std::uint32_t frames, std::uint32_t bytes) {
        return Bytes("VBRI", 4) + Bytes(6, '\0') + be32(bytes, false) + be32(frames, false) + Bytes(14, '\0');
    };
    struct Case {
        const char* name;
        std::size_t at;  // where in the first frame
        Bytes header;
    } cases[] = {
        {"Xing", 36, xing("Xing", 3, 1000, 5000)},
        {"Info", 21, xing("Info", 15, 77, 5000)},
        {"Xing without a size", 36, xing("Xing", 1, 1000, 5000)},
        {"Xing of no frames", 36, xing("Xing", 3, 0, 5000)},
        {"Xing of no bytes", 36, xing("Xing", 3, 1000, 0)},
        {"Xing cut by the frame's end", 405, xing("Xing", 3, 1000, 5000)},
        {"VBRI", 36, vbri(500, 9000)},
        {"VBRI cut by the frame's end", 390, vbri(500, 9000)},
        {"a bad Xing hides a VBRI", 36, xing("Xing", 1, 1000, 5000) + vbri(500, 9000)},
        {"Info first, Xing later: Xing", 36, xing("Info", 3, 10, 5000) + xing("Xing", 3, 2000, 5000)},
        {"none", 36, Bytes()},
    };
    const Bytes plainFrame = Bytes("\xFF\xFB\x90\x00", 4) + Bytes(413, '\0');
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes first = plainFrame;
        first.replace(c.at, std::min(c.header.size(), first.size() - c.at), c.header.substr(0, first.size() - c.at));
        Bytes file = first;
        for (int i = 0; i < 20; ++i) file += plainFrame;
        FastFileStream s;
        ASSERT_TRUE(s.openMemory(file.data(), file.size(), "a.mp3"));
        std::uint64_t d = 0;
        ASSERT_TRUE(kestro::platform::mediatags::mpegDuration(s, 0, static_cast<long>(file.size()), d));
        const TagLib::MPEG::XingHeader tagLib(TagLib::ByteVector(first.data(), static_cast<unsigned>(first.size())));
        if (tagLib.isValid()) {  // to the millisecond, as TagLib times it
            EXPECT_EQ(d, static_cast<std::uint64_t>(1152 * 1000.0 / 44100 * tagLib.totalFrames() + 0.5) * 10000);
        } else {  // the 21 frames counted
            EXPECT_EQ(d, std::uint64_t{21} * 1152 * 10000000 / 44100);
        }
    }
}
