// The media-format reader (platform/MediaTags) and the tag reader
// (library/TagReader) on real files made at test time by real
// encoders: sox, lame and ffmpeg.

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "library/SongTable.h"
#include "library/TagReader.h"
#include "platform/system/Text.h"
#include "platform/tags/MediaTags.h"
#include "plugin/PlayerState.h"

namespace fs = std::filesystem;
using kestro::platform::AttributeStatus;
using kestro::platform::MediaFormat;
using kestro::platform::MediaTags;

namespace {

const std::string kTitle40 = "Forty Characters Of Title Text 123456789";  // 40
const std::string kAuthor36 = "An Artist Name Of Exactly 36 Chars!!";     // 36

std::string shq(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'') out += "'\\''";
        else out += c;
    }
    return out + "'";
}

std::vector<char> readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const fs::path& p, const std::vector<char>& data) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

void putLe32(std::vector<char>& v, std::size_t at, std::uint32_t x) {
    for (int i = 0; i < 4; ++i) v[at + i] = static_cast<char>((x >> (8 * i)) & 0xFF);
}

// The ID3v2 tag at the start of an MP3 file (header + body).
std::vector<char> id3v2TagOf(const std::vector<char>& mp3) {
    if (mp3.size() < 10 || std::memcmp(mp3.data(), "ID3", 3) != 0) return {};
    std::size_t size = 0;
    for (int i = 6; i < 10; ++i) size = (size << 7) | (static_cast<unsigned char>(mp3[i]) & 0x7F);
    return std::vector<char>(mp3.begin(), mp3.begin() + static_cast<long>(10 + size));
}

// Appends an "id3 " chunk holding `tag` to a RIFF WAVE file and fixes the
// RIFF size.
void appendId3Chunk(std::vector<char>& wav, const std::vector<char>& tag) {
    std::vector<char> hdr = {'i', 'd', '3', ' ', 0, 0, 0, 0};
    putLe32(hdr, 4, static_cast<std::uint32_t>(tag.size()));
    if (wav.size() % 2) wav.push_back(0);
    wav.insert(wav.end(), hdr.begin(), hdr.end());
    wav.insert(wav.end(), tag.begin(), tag.end());
    if (tag.size() % 2) wav.push_back(0);
    putLe32(wav, 4, static_cast<std::uint32_t>(wav.size() - 8));
}

// The test files. Made once and kept as a cache in the temporary folder
// ($TMPDIR/kestro-tags-vN-UID), so that test processes started one per test
// (ctest) do not each run the encoders: they are made in a private folder
// that is renamed into place when complete. Bump kFilesVersion whenever the
// set of files changes.
constexpr const char* kFilesVersion = "v1";

struct AudioFiles {
    fs::path dir;
    bool ok = false;
    std::string error;

    fs::path operator[](const std::string& name) const { return dir / name; }

    bool run(const std::string& cmd) {
        if (!error.empty()) return false;
        int rc = std::system((cmd + " >/dev/null 2>&1").c_str());
        if (rc != 0) error = "command failed (" + std::to_string(rc) + "): " + cmd;
        return rc == 0;
    }

    AudioFiles() {
        std::error_code ec;
        const fs::path tmpRoot = fs::temp_directory_path(ec);
        const fs::path final =
            tmpRoot / ("kestro-tags-" + std::string(kFilesVersion) + "-" + std::to_string(::getuid()));
        if (fs::exists(final / "complete", ec)) {
            dir = final;
            ok = true;
            return;
        }
        std::string tmpl = (tmpRoot / "kestro-tags-new-XXXXXX").string();
        const char* tmp = ::mkdtemp(tmpl.data());
        if (!tmp) {
            error = "mkdtemp failed";
            return;
        }
        dir = tmp;
        make();
        if (!error.empty()) {
            fs::remove_all(dir, ec);
            return;
        }
        std::ofstream(dir / "complete") << kFilesVersion << "\n";
        if (::rename(dir.c_str(), final.c_str()) == 0) {
            dir = final;
        } else if (fs::exists(final / "complete", ec)) {
            // Another test process finished first: use its files.
            fs::remove_all(dir, ec);
            dir = final;
        }  // else keep using the private folder (removed at exit)
        ok = true;
    }

    void make() {
        for (const char* tool : {"sox", "lame", "ffmpeg"}) {
            if (std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) != 0) {
                error = std::string(tool) + " is not installed (the setup script installs sox, lame, ffmpeg)";
                return;
            }
        }
        const std::string d = shq(dir.string()) + "/";
        const std::string ff = "ffmpeg -nostdin -v error -y -fflags +bitexact ";
        const std::string sine = " synth 1.5 sine 440 vol 0.5";
        // Raw material: 1.5 s, 0.5 s and 205.9 s (3:25.9) of a sine.
        run("sox -n -r 8000 -c 1 -b 8 " + d + "base.wav" + sine);
        run("sox -n -r 8000 -c 1 -b 8 " + d + "short.wav synth 0.5 sine 440 vol 0.5");
        run("sox -n -r 8000 -c 1 -b 8 " + d + "long.wav synth 205.9 sine 440 vol 0.5");
        run("sox -n -r 8000 -c 1 -b 16 " + d + "base.au" + sine);
        // mp3: ID3v2 (lame), ID3v1 only (lame), no tag, and ffmpeg copies
        // with other tags (ID3v2.4, UTF-8).
        const std::string lame = "lame --quiet --noreplaygain -b 32 ";
        run(lame + "--id3v2-only --tt 'Mp3 Title' --ta 'Mp3 Artist' --tl 'Mp3 Album' --ty 2008 " + d +
            "base.wav " + d + "v2.mp3");
        run(lame + "--id3v1-only --tt 'V1 Title' --ta 'V1 Artist' --tl 'V1 Album' --ty 1999 " + d +
            "base.wav " + d + "v1.mp3");
        run(lame + "--id3v2-only " + d + "base.wav " + d + "notag.mp3");
        run(lame + "--id3v2-only --tt 'Short One' " + d + "short.wav " + d + "short.mp3");
        run(lame + "--id3v2-only --tt 'Long One' -b 8 --resample 8 " + d + "long.wav " + d + "long.mp3");
        const std::string copy = ff + "-i " + d + "notag.mp3 -map_metadata -1 -c copy ";
        run(copy + "-metadata title=" + shq(kTitle40) + " -metadata artist=" + shq(kAuthor36) + " " + d +
            "title40.mp3");
        run(copy + "-metadata title='Lonely Title' " + d + "noalbum.mp3");
        run(copy + "-metadata artist='Only Artist' " + d + "artistonly.mp3");
        // 35 ASCII bytes then "é" (bytes 35-36): the cut at 36 would split
        // it. 34 bytes then "€" (34-36) for the author; "2008年" (7 bytes)
        // for the year; an emoji (4 bytes, 33-36) for the album.
        run(copy + "-metadata title=" + shq(std::string(35, 'a') + "\xC3\xA9" + "xyz") +
            " -metadata artist=" + shq(std::string(34, 'b') + "\xE2\x82\xAC" + "tail") +
            " -metadata album=" + shq(std::string(33, 'c') + "\xF0\x9F\x98\x80" + "end") +
            " -metadata date=" + shq("2008\xE5\xB9\xB4") + " " + d + "utf8.mp3");
        {
            std::string huge;
            for (int i = 0; i < 1500; ++i) huge += "\xC3\xA4";  // "ä", 3000 bytes
            run(copy + "-metadata title=" + shq(huge) + " " + d + "hugetitle.mp3");
        }
        // wma (ASF).
        run(ff + "-i " + d + "base.wav -c:a wmav2 -b:a 32k -metadata title='Wma Title' -metadata "
                 "artist='Wma Artist' -metadata album='Wma Album' -metadata WM/Year=2001 " +
            d + "x.wma");
        run(ff + "-i " + d + "base.wav -c:a wmav2 -b:a 32k -metadata WM/Year=123456 " + d + "year6.wma");
        // m4a (MP4).
        run(ff + "-i " + d + "base.wav -c:a aac -b:a 32k -metadata title='M4a Title' -metadata "
                 "artist='M4a Artist' -metadata album='M4a Album' -metadata date=2002 " +
            d + "x.m4a");
        // wav with a RIFF INFO chunk (ffmpeg writes one from the metadata).
        run(ff + "-i " + d + "base.wav -metadata title='Info Title' -metadata artist='Info Artist' "
                 "-metadata album='Info Album' -metadata date=2003 " +
            d + "info.wav");
        // aif with an ID3 chunk; the same file named .iff; aif with the
        // NAME and AUTH chunks only.
        run(ff + "-i " + d + "base.wav -write_id3v2 1 -metadata title='Aif Title' -metadata "
                 "artist='Aif Artist' -metadata album='Aif Album' -metadata date=2004 " +
            d + "x.aif");
        run("cp " + d + "x.aif " + d + "x.iff");
        run(ff + "-i " + d + "base.wav -metadata title='Name Chunk' -metadata author='Auth Chunk' " + d +
            "chunks.aif");
        if (!error.empty()) return;

        // wav with an ID3v2 chunk: the tag lame wrote, in an "id3 " chunk of
        // the sox file; and one with an ID3v2 title over the INFO tags.
        run(lame + "--id3v2-only --tt 'Id3 Title' --ta 'Id3 Artist' --tl 'Id3 Album' --ty 2005 " + d +
            "base.wav " + d + "id3src.mp3");
        run(lame + "--id3v2-only --tt 'Over Title' " + d + "base.wav " + d + "id3title.mp3");
        if (!error.empty()) return;
        {
            std::vector<char> wav = readFile(dir / "base.wav");
            appendId3Chunk(wav, id3v2TagOf(readFile(dir / "id3src.mp3")));
            writeFile(dir / "id3.wav", wav);
            std::vector<char> both = readFile(dir / "info.wav");
            appendId3Chunk(both, id3v2TagOf(readFile(dir / "id3title.mp3")));
            writeFile(dir / "both.wav", both);
        }
        // au whose header gives the data size as unknown (0xFFFFFFFF).
        {
            std::vector<char> au = readFile(dir / "base.au");
            for (int i = 8; i < 12; ++i) au[i] = static_cast<char>(0xFF);
            writeFile(dir / "unknownsize.au", au);
        }
        // Damaged and false files.
        {
            std::ofstream(dir / "text.mp3") << "This is not an MP3 file at all.\nJust some text.\n";
            std::ofstream(dir / "empty.mp3");
            std::vector<char> junk(5000);
            std::uint32_t x = 12345;
            for (char& c : junk) {
                x = x * 1103515245u + 12345u;
                c = static_cast<char>(x >> 24);
            }
            writeFile(dir / "garbage.wma", junk);
            writeFile(dir / "garbage.mp3", junk);
            std::vector<char> v2 = readFile(dir / "v2.mp3");
            v2.resize(60);  // ends inside the ID3v2 tag
            writeFile(dir / "truncated.mp3", v2);
            std::vector<char> wav = readFile(dir / "info.wav");
            wav.resize(30);  // ends inside the fmt chunk
            writeFile(dir / "truncated.wav", wav);
            std::vector<char> m4a = readFile(dir / "x.m4a");
            m4a.resize(m4a.size() / 2);
            writeFile(dir / "truncated.m4a", m4a);
        }
        fs::copy_file(dir / "x.wma", dir / "wma-named.mp3", ec_);
    }

    ~AudioFiles() {
        if (!dir.empty() && dir.filename().string().rfind("kestro-tags-new-", 0) == 0) {
            std::error_code ec;
            fs::remove_all(dir, ec);
        }
    }

    std::error_code ec_;
};

const AudioFiles& files() {
    static AudioFiles f;
    return f;
}

#define REQUIRE_FILES() ASSERT_TRUE(files().ok) << files().error

struct Read {
    bool opened = false;
    MediaFormat format = MediaFormat::Unknown;
    bool hasDuration = false;
    std::uint64_t duration = 0;
    std::string title, author, album, year;
    bool hasTitle = false, hasAuthor = false, hasAlbum = false, hasYear = false;
};

Read readWithMediaTags(const fs::path& p) {
    MediaTags m;
    Read r;
    r.opened = m.open(p.c_str());
    r.format = m.format();
    r.hasDuration = m.duration(r.duration);
    r.hasTitle = m.text("Title", r.title);
    r.hasAuthor = m.text("Author", r.author);
    r.hasAlbum = m.text("WM/AlbumTitle", r.album);
    r.hasYear = m.text("WM/Year", r.year);
    return r;
}

// ---------------------------------------------------------------------------
// MediaTags: the attributes by format.

// What one test file reads as. A null text: the file has no such tag.
struct FormatCase {
    const char* file;
    MediaFormat format;
    const char* title;
    const char* author;
    const char* album;
    const char* year;
    std::uint64_t duration;  // 100 ns units; kAboutOneAndAHalf: an encoder's 1.5 s
};

// 1.5 s of audio; an encoder's frames make it a little more or less.
constexpr std::uint64_t kAboutOneAndAHalf = 1;

TEST(MediaTagsFormats, EachFormatsTagsAndDuration) {
    REQUIRE_FILES();
    const FormatCase cases[] = {
        {"v2.mp3", MediaFormat::Mpeg, "Mp3 Title", "Mp3 Artist", "Mp3 Album", "2008", kAboutOneAndAHalf},
        {"v1.mp3", MediaFormat::Mpeg, "V1 Title", "V1 Artist", "V1 Album", "1999", kAboutOneAndAHalf},
        {"x.wma", MediaFormat::Asf, "Wma Title", "Wma Artist", "Wma Album", "2001", kAboutOneAndAHalf},
        // A format from the content, not the name.
        {"wma-named.mp3", MediaFormat::Asf, "Wma Title", "Wma Artist", "Wma Album", "2001", kAboutOneAndAHalf},
        {"info.wav", MediaFormat::Wav, "Info Title", "Info Artist", "Info Album", "2003", 15000000},
        {"id3.wav", MediaFormat::Wav, "Id3 Title", "Id3 Artist", "Id3 Album", "2005", 15000000},
        // The ID3v2 chunk first, then RIFF INFO for what it lacks.
        {"both.wav", MediaFormat::Wav, "Over Title", "Info Artist", "Info Album", "2003", 15000000},
        {"long.wav", MediaFormat::Wav, nullptr, nullptr, nullptr, nullptr, 2059000000},  // 3 min 25.9 s
        {"x.aif", MediaFormat::Aiff, "Aif Title", "Aif Artist", "Aif Album", "2004", 15000000},
        {"x.iff", MediaFormat::Aiff, "Aif Title", "Aif Artist", "Aif Album", "2004", 15000000},
        {"chunks.aif", MediaFormat::Aiff, "Name Chunk", "Auth Chunk", nullptr, nullptr, 15000000},
        {"x.m4a", MediaFormat::Mp4, "M4a Title", "M4a Artist", "M4a Album", "2002", kAboutOneAndAHalf},
        // 12000 16-bit samples at 8 kHz, from the header; a data size given
        // as unknown runs to the end.
        {"base.au", MediaFormat::Au, nullptr, nullptr, nullptr, nullptr, 15000000},
        {"unknownsize.au", MediaFormat::Au, nullptr, nullptr, nullptr, nullptr, 15000000},
    };
    for (const FormatCase& c : cases) {
        SCOPED_TRACE(c.file);
        const Read r = readWithMediaTags(files()[c.file]);
        EXPECT_TRUE(r.opened);
        EXPECT_EQ(r.format, c.format);
        auto expectText = [](const char* expected, bool found, const std::string& text) {
            EXPECT_EQ(found, expected != nullptr) << (expected ? expected : text);
            if (expected) {
                EXPECT_EQ(text, expected);
            }
        };
        expectText(c.title, r.hasTitle, r.title);
        expectText(c.author, r.hasAuthor, r.author);
        expectText(c.album, r.hasAlbum, r.album);
        expectText(c.year, r.hasYear, r.year);
        ASSERT_TRUE(r.hasDuration);
        if (c.duration == kAboutOneAndAHalf) {
            EXPECT_GE(r.duration, 14000000u);
            EXPECT_LE(r.duration, 17000000u);
        } else {
            EXPECT_EQ(r.duration, c.duration);
        }
    }
}

// ---------------------------------------------------------------------------
// MediaTags: the runtime-style query and failures.

TEST(MediaTagsQuery, LengthFirstThenValue) {
    REQUIRE_FILES();
    MediaTags m;
    ASSERT_TRUE(m.open(files()["v2.mp3"].c_str()));
    std::size_t len = 0;
    ASSERT_EQ(m.getAttributeByName("Title", nullptr, len), AttributeStatus::Ok);
    EXPECT_EQ(len, std::strlen("Mp3 Title") + 1);
    char small[4];
    std::size_t smallLen = sizeof small;
    EXPECT_EQ(m.getAttributeByName("Title", small, smallLen), AttributeStatus::BufferTooSmall);
    EXPECT_EQ(smallLen, len);
    std::vector<char> buf(len);
    ASSERT_EQ(m.getAttributeByName("Title", buf.data(), len), AttributeStatus::Ok);
    EXPECT_STREQ(buf.data(), "Mp3 Title");
    std::size_t dlen = 0;
    ASSERT_EQ(m.getAttributeByName("Duration", nullptr, dlen), AttributeStatus::Ok);
    EXPECT_EQ(dlen, 8u);
    EXPECT_EQ(m.getAttributeByName("WM/Genre", nullptr, dlen), AttributeStatus::NotFound);
    EXPECT_EQ(m.getAttributeByName(nullptr, nullptr, dlen), AttributeStatus::NotFound);
}

TEST(MediaTagsQuery, MissingTagsAreNotFound) {
    REQUIRE_FILES();
    Read r = readWithMediaTags(files()["notag.mp3"]);
    EXPECT_TRUE(r.opened);
    EXPECT_TRUE(r.hasDuration);
    EXPECT_FALSE(r.hasTitle);
    EXPECT_FALSE(r.hasAuthor);
    EXPECT_FALSE(r.hasAlbum);
    EXPECT_FALSE(r.hasYear);
}

TEST(MediaTagsQuery, UnreadableFilesHaveNothing) {
    REQUIRE_FILES();
    for (const char* name : {"text.mp3", "empty.mp3", "garbage.wma", "garbage.mp3", "truncated.mp3",
                             "truncated.wav", "truncated.m4a", "does-not-exist.mp3"}) {
        SCOPED_TRACE(name);
        Read r = readWithMediaTags(files()[name]);
        if (std::string(name) != "truncated.m4a") {
            EXPECT_FALSE(r.opened);
        }
        EXPECT_FALSE(r.hasTitle);
        EXPECT_FALSE(r.hasAuthor);
        EXPECT_FALSE(r.hasAlbum);
        EXPECT_FALSE(r.hasYear);
        if (std::string(name) != "truncated.m4a") {
            EXPECT_FALSE(r.hasDuration);
        }
    }
    // A folder and the empty path are no files.
    EXPECT_FALSE(readWithMediaTags(files().dir).opened);
    MediaTags m;
    EXPECT_FALSE(m.open(""));
    EXPECT_FALSE(m.open(nullptr));
}

TEST(MediaTagsQuery, ReopenForgetsThePreviousFile) {
    REQUIRE_FILES();
    MediaTags m;
    ASSERT_TRUE(m.open(files()["v2.mp3"].c_str()));
    EXPECT_FALSE(m.open(files()["text.mp3"].c_str()));
    std::string t;
    EXPECT_FALSE(m.text("Title", t));
}

TEST(MediaTagsQuery, FromMemory) {
    REQUIRE_FILES();
    std::vector<char> data = readFile(files()["x.m4a"]);
    MediaTags m;
    ASSERT_TRUE(m.openMemory(data.data(), data.size(), "song.m4a"));
    std::string t;
    EXPECT_TRUE(m.text("Title", t));
    EXPECT_EQ(t, "M4a Title");
    EXPECT_FALSE(m.openMemory(data.data(), 0, "x.mp3"));
}

// The reader's file stream keeps the system calls per file low: a small
// file is read with open, fstat, one read and close; a large one adds a
// read of its tail.
TEST(MediaTagsIo, FewSystemCallsPerFile) {
    REQUIRE_FILES();
    kestro::platform::resetMediaIoCounters();
    MediaTags m;
    ASSERT_TRUE(m.open(files()["v2.mp3"].c_str()));
    auto c = kestro::platform::mediaIoCounters();
    EXPECT_EQ(c.files, 1u);
    EXPECT_EQ(c.syscalls, 4u);

    for (const char* name : {"long.wav", "x.wma", "x.m4a", "info.wav", "x.aif", "base.au"}) {
        SCOPED_TRACE(name);
        kestro::platform::resetMediaIoCounters();
        ASSERT_TRUE(m.open(files()[name].c_str()));
        c = kestro::platform::mediaIoCounters();
        EXPECT_LE(c.syscalls, 6u);
    }
    // An MP3 without a Xing header (206 KB, its frames too small for one)
    // is timed by counting its frames: read through once more, in 128 KiB
    // pieces.
    kestro::platform::resetMediaIoCounters();
    ASSERT_TRUE(m.open(files()["long.mp3"].c_str()));
    c = kestro::platform::mediaIoCounters();
    EXPECT_LE(c.syscalls, 6u + 2u);
    EXPECT_LE(c.bytesRead, 2u * 206177u);
}

// ---------------------------------------------------------------------------
// readTags.

class TagReaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        kestro::resetPlayerState();
        for (int i = 0; i < 4; ++i) std::memset(&kestro::SongTable[i], 0, sizeof(kestro::SongEntry));
        kestro::songCount = 0;
        kestro::lastSongIndex = 0;
    }
    void TearDown() override { SetUp(); }

    // The scan's add protocol for entry `index`: path, currentSong, readTags.
    static kestro::SongEntry& read(const fs::path& p, int index = 0) {
        kestro::SongEntry& e = kestro::SongTable[index];
        std::snprintf(e.path, sizeof e.path, "%s", p.c_str());
        kestro::playerState.currentSong = &e;
        kestro::songCount = index;
        kestro::readTags();
        return e;
    }

    static void fillNowTexts() {
        std::strcpy(kestro::playerState.nowTitle, "old title");
        std::strcpy(kestro::playerState.nowArtist, "old artist");
        std::strcpy(kestro::playerState.nowAlbum, "old album");
        std::strcpy(kestro::playerState.nowYear, "1970");
    }

    static void expectNowTextsEmpty() {
        EXPECT_STREQ(kestro::playerState.nowTitle, "");
        EXPECT_STREQ(kestro::playerState.nowArtist, "");
        EXPECT_STREQ(kestro::playerState.nowAlbum, "");
        EXPECT_STREQ(kestro::playerState.nowYear, "");
    }
};

using TagReaderFormats = TagReaderTest;
using TagReaderEdges = TagReaderTest;
using TagReaderFailures = TagReaderTest;

TEST_F(TagReaderFormats, EveryAcceptedType) {
    REQUIRE_FILES();
    struct Case {
        const char* file;
        const char* title;
        const char* artist;
        const char* album;
        const char* year;
        std::int32_t durationMs;
    };
    const Case cases[] = {
        {"v2.mp3", "Mp3 Title", "Mp3 Artist", "Mp3 Album", "2008", 2000},
        {"v1.mp3", "V1 Title", "V1 Artist", "V1 Album", "1999", 2000},
        {"x.wma", "Wma Title", "Wma Artist", "Wma Album", "2001", 2000},
        {"id3.wav", "Id3 Title", "Id3 Artist", "Id3 Album", "2005", 2000},
        {"info.wav", "Info Title", "Info Artist", "Info Album", "2003", 2000},
        {"x.aif", "Aif Title", "Aif Artist", "Aif Album", "2004", 2000},
        {"x.iff", "Aif Title", "Aif Artist", "Aif Album", "2004", 2000},
        {"x.m4a", "M4a Title", "M4a Artist", "M4a Album", "2002", 2000},
        {"base.au", "", "", "", "", 2000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        SetUp();
        fillNowTexts();
        kestro::SongEntry& e = read(files()[c.file], 2);
        EXPECT_STREQ(e.fullTitle, c.title);
        EXPECT_STREQ(e.title, c.title);
        EXPECT_STREQ(e.artist, c.artist);
        EXPECT_STREQ(e.album, c.album);
        EXPECT_STREQ(e.year, c.year);
        EXPECT_EQ(e.durationMs, c.durationMs);
        expectNowTextsEmpty();
        // Only entry songCount (2) was written.
        EXPECT_EQ(kestro::SongTable[1].durationMs, 0);
        EXPECT_EQ(kestro::SongTable[3].durationMs, 0);
    }
}

TEST_F(TagReaderEdges, ThreeMinutesTwentyFivePointNineGive206000) {
    REQUIRE_FILES();
    EXPECT_EQ(read(files()["long.wav"]).durationMs, 206000);
    // The mp3 made of it is a little longer (the encoder pads the last
    // frame), but the rule is the same.
    MediaTags m;
    ASSERT_TRUE(m.open(files()["long.mp3"].c_str()));
    std::uint64_t d = 0;
    ASSERT_TRUE(m.duration(d));
    EXPECT_GE(d, 2059000000u);
    EXPECT_LE(d, 2062000000u);
    EXPECT_EQ(read(files()["long.mp3"], 1).durationMs,
              static_cast<std::int32_t>((d / 10000000u + 1) * 1000));
}

TEST_F(TagReaderEdges, ShorterThanOneSecondGives1000) {
    REQUIRE_FILES();
    EXPECT_EQ(read(files()["short.wav"]).durationMs, 1000);
    kestro::SongEntry& e = read(files()["short.mp3"], 1);
    EXPECT_EQ(e.durationMs, 1000);
    EXPECT_STREQ(e.title, "Short One");
}

TEST_F(TagReaderEdges, FortyCharacterTitle) {
    REQUIRE_FILES();
    ASSERT_EQ(kTitle40.size(), 40u);
    kestro::SongEntry& e = read(files()["title40.mp3"]);
    EXPECT_EQ(std::string(e.fullTitle), kTitle40);
    EXPECT_EQ(std::string(e.title), kTitle40.substr(0, 36));
}

TEST_F(TagReaderEdges, ThirtySixCharacterAuthorStoredWhole) {
    REQUIRE_FILES();
    ASSERT_EQ(kAuthor36.size(), 36u);
    EXPECT_EQ(std::string(read(files()["title40.mp3"]).artist), kAuthor36);
}

TEST_F(TagReaderEdges, Year2008) {
    REQUIRE_FILES();
    kestro::SongEntry& e = read(files()["v2.mp3"]);
    EXPECT_STREQ(e.year, "2008");
    EXPECT_EQ(std::memcmp(e.year, "2008\0", 5), 0);
}

TEST_F(TagReaderEdges, TitleWithoutAlbumLeavesAlbumEmpty) {
    REQUIRE_FILES();
    kestro::SongEntry& e = read(files()["noalbum.mp3"]);
    EXPECT_STREQ(e.title, "Lonely Title");
    EXPECT_STREQ(e.fullTitle, "Lonely Title");
    EXPECT_STREQ(e.album, "");
    EXPECT_STREQ(e.artist, "");
    EXPECT_STREQ(e.year, "");
}

TEST_F(TagReaderEdges, NowPlayingTextsEmptiedWithoutTags) {
    REQUIRE_FILES();
    fillNowTexts();
    read(files()["notag.mp3"]);
    expectNowTextsEmpty();
    fillNowTexts();
    read(files()["does-not-exist.mp3"], 1);
    expectNowTextsEmpty();
}

TEST_F(TagReaderEdges, MissingAttributeKeepsTheOldValue) {
    REQUIRE_FILES();
    // An earlier scan left texts in the slot; the new file has only an artist.
    kestro::SongEntry& e = kestro::SongTable[0];
    std::strcpy(e.fullTitle, "Earlier Full Title");
    std::strcpy(e.title, "Earlier Title");
    std::strcpy(e.album, "Earlier Album");
    std::strcpy(e.year, "1988");
    std::strcpy(e.artist, "Earlier Artist");
    read(files()["artistonly.mp3"]);
    EXPECT_STREQ(e.artist, "Only Artist");
    EXPECT_STREQ(e.fullTitle, "Earlier Full Title");
    EXPECT_STREQ(e.title, "Earlier Title");
    EXPECT_STREQ(e.album, "Earlier Album");
    EXPECT_STREQ(e.year, "1988");
    EXPECT_EQ(e.durationMs, 2000);
}

TEST_F(TagReaderEdges, MultiByteCharactersCutAtABoundary) {
    REQUIRE_FILES();
    kestro::SongEntry& e = read(files()["utf8.mp3"]);
    EXPECT_EQ(std::string(e.fullTitle), std::string(35, 'a') + "\xC3\xA9" + "xyz");
    EXPECT_EQ(std::string(e.title), std::string(35, 'a'));          // "é" would end at byte 37
    EXPECT_EQ(std::string(e.artist), std::string(34, 'b'));         // "€" would end at byte 37
    EXPECT_EQ(std::string(e.album), std::string(33, 'c'));          // the emoji would end at 37
    EXPECT_STREQ(e.year, "2008");                                   // "年" would end at byte 7
}

TEST_F(TagReaderEdges, OverlongTitleAndYearCutToTheirFields) {
    REQUIRE_FILES();
    kestro::SongEntry& e = kestro::SongTable[0];
    // Guard bytes right after the entry's year field must stay untouched.
    std::memset(&kestro::SongTable[1], 0x5A, sizeof(kestro::SongEntry));
    read(files()["hugetitle.mp3"]);
    std::string expect;
    for (int i = 0; i < 1023; ++i) expect += "\xC3\xA4";  // 2046 bytes: "ä" 1024 would split
    EXPECT_EQ(std::string(e.fullTitle), expect);
    EXPECT_EQ(std::strlen(e.title), 36u);
    // A "WM/Year" of six characters keeps its first five.
    kestro::SongEntry& w = read(files()["year6.wma"]);
    EXPECT_STREQ(w.year, "12345");
    EXPECT_EQ(static_cast<unsigned char>(kestro::SongTable[1].path[0]), 0x5A);
    EXPECT_EQ(static_cast<unsigned char>(kestro::SongTable[1].path[kestro::kPathSize - 1]), 0x5A);
}

TEST_F(TagReaderFailures, CorruptEmptyGarbageAndMissingFiles) {
    REQUIRE_FILES();
    for (const char* name : {"text.mp3", "empty.mp3", "garbage.wma", "garbage.mp3", "truncated.mp3",
                             "truncated.wav", "does-not-exist.mp3"}) {
        SCOPED_TRACE(name);
        SetUp();
        fillNowTexts();
        kestro::SongEntry& e = read(files()[name]);
        // The decided outcome: no texts, and the length of an unreadable
        // duration taken as 0 seconds.
        EXPECT_STREQ(e.fullTitle, "");
        EXPECT_STREQ(e.title, "");
        EXPECT_STREQ(e.artist, "");
        EXPECT_STREQ(e.album, "");
        EXPECT_STREQ(e.year, "");
        EXPECT_EQ(e.durationMs, 1000);
        expectNowTextsEmpty();
    }
}

TEST_F(TagReaderFailures, TextFileNamedMp3KeepsOldTexts) {
    REQUIRE_FILES();
    kestro::SongEntry& e = kestro::SongTable[0];
    std::strcpy(e.title, "Old");
    std::strcpy(e.fullTitle, "Old Full");
    read(files()["text.mp3"]);
    EXPECT_STREQ(e.title, "Old");
    EXPECT_STREQ(e.fullTitle, "Old Full");
    EXPECT_EQ(e.durationMs, 1000);
}

TEST_F(TagReaderFailures, SongCountOutsideTheTableWritesNothing) {
    REQUIRE_FILES();
    kestro::SongEntry& e = kestro::SongTable[0];
    std::snprintf(e.path, sizeof e.path, "%s", files()["v2.mp3"].c_str());
    kestro::playerState.currentSong = &e;
    kestro::songCount = kestro::MaxSongs;
    fillNowTexts();
    kestro::readTags();  // must not write past the table
    expectNowTextsEmpty();
    kestro::songCount = -1;
    kestro::readTags();
    EXPECT_STREQ(e.title, "");
}

TEST(TagReaderCut, Utf8CutLength) {
    using kestro::platform::utf8CutLength;
    EXPECT_EQ(utf8CutLength("abc", 3, 36), 3u);
    EXPECT_EQ(utf8CutLength("abcdef", 6, 4), 4u);
    EXPECT_EQ(utf8CutLength("ab\xC3\xA9", 4, 3), 2u);
    EXPECT_EQ(utf8CutLength("ab\xE2\x82\xAC", 5, 3), 2u);
    EXPECT_EQ(utf8CutLength("ab\xE2\x82\xAC", 5, 4), 2u);
    EXPECT_EQ(utf8CutLength("ab\xE2\x82\xAC" "c", 6, 5), 5u);
    EXPECT_EQ(utf8CutLength("\xF0\x9F\x98\x80", 4, 3), 0u);
    EXPECT_EQ(utf8CutLength("\xF0\x9F\x98\x80" "x", 5, 4), 4u);
    // Not UTF-8: continuation bytes without a lead are cut where asked.
    EXPECT_EQ(utf8CutLength("\x80\x80\x80\x80\x80\x80", 6, 5), 5u);
}


// ---------------------------------------------------------------------------
// MediaTags: hostile files. Each of these crashed the reader before it was
// mended (a division by zero, and stack overflows inside TagLib's recursive
// parsers); each must now read without a fault.

void putBe32(std::vector<char>& v, std::size_t at, std::uint32_t x) {
    for (int i = 0; i < 4; ++i) v[at + i] = static_cast<char>((x >> (24 - 8 * i)) & 0xFF);
}

// An au header whose bits x rate x channels do not fit 64 bits.
TEST(MediaTagsHostile, AuRateTimesChannelsBeyond64Bits) {
    std::vector<char> au(64, 0);
    std::memcpy(au.data(), ".snd", 4);
    putBe32(au, 4, 24);    // data offset
    putBe32(au, 8, 40);    // data size
    putBe32(au, 12, 2);    // 8-bit linear PCM
    for (const auto& [rate, channels] : {std::pair<std::uint32_t, std::uint32_t>{0x80000000u, 0x40000000u},
                                         {0x80000000u, 0x40000001u},
                                         {0xFFFFFFFFu, 0xFFFFFFFFu}}) {
        SCOPED_TRACE(channels);
        putBe32(au, 16, rate);
        putBe32(au, 20, channels);
        MediaTags m;
        ASSERT_TRUE(m.openMemory(au.data(), au.size(), "a.au"));
        std::uint64_t d = 99;
        ASSERT_TRUE(m.duration(d));
        EXPECT_EQ(d, 0u);  // 320 bits at more than 2^62 bits per second
    }
    // The largest header that still fits: 64-bit float, 2^32-1 Hz, one
    // channel, 2^32-1 bytes announced but only 40 there.
    putBe32(au, 12, 7);
    putBe32(au, 16, 0xFFFFFFFFu);
    putBe32(au, 20, 1);
    MediaTags m;
    ASSERT_TRUE(m.openMemory(au.data(), au.size(), "a.au"));
    std::uint64_t d = 99;
    ASSERT_TRUE(m.duration(d));
    EXPECT_EQ(d, 0u);
}

// An MP4 file whose atoms nest `depth` deep ("moov" in "moov" in ...).
std::vector<char> nestedMp4(std::size_t depth) {
    std::vector<char> f = {0, 0, 0, 16, 'f', 't', 'y', 'p', 'M', '4', 'A', ' ', 0, 0, 0, 0};
    const std::size_t start = f.size();
    f.resize(start + 8 * depth);
    for (std::size_t i = 0; i < depth; ++i) {
        putBe32(f, start + 8 * i, static_cast<std::uint32_t>(8 * (depth - i)));
        std::memcpy(&f[start + 8 * i + 4], "moov", 4);
    }
    return f;
}

TEST(MediaTagsHostile, DeeplyNestedMp4Atoms) {
    // 300000 levels (2.4 MB) overflowed an 8 MiB stack.
    const std::vector<char> f = nestedMp4(300000);
    MediaTags m;
    m.openMemory(f.data(), f.size(), "a.m4a");
    std::string t;
    EXPECT_FALSE(m.text("Title", t));
    // A real file still reads after it (the guard is per file).
    REQUIRE_FILES();
    Read r = readWithMediaTags(files()["x.m4a"]);
    EXPECT_EQ(r.title, "M4a Title");
    EXPECT_TRUE(r.hasDuration);
}

// An ID3v2.3 tag holding a TIT2 frame and then CHAP frames nested `depth`
// deep (each CHAP embeds the next one).
std::vector<char> nestedChapterTag(std::size_t depth, const std::string& title) {
    // Frame i (0 the outermost) starts at 27 * i: header, empty element ID,
    // four times, then frame i + 1 as its only embedded frame.
    constexpr std::size_t kLevel = 10 + 1 + 16;
    std::vector<char> body(kLevel * depth, 0);
    for (std::size_t i = 0; i < depth; ++i) {
        std::memcpy(&body[kLevel * i], "CHAP", 4);
        putBe32(body, kLevel * i + 4, static_cast<std::uint32_t>(kLevel * (depth - i) - 10));
    }
    std::vector<char> tit2(10, 0);
    std::memcpy(tit2.data(), "TIT2", 4);
    putBe32(tit2, 4, static_cast<std::uint32_t>(1 + title.size()));
    tit2.push_back(0);  // Latin-1
    tit2.insert(tit2.end(), title.begin(), title.end());
    std::vector<char> tag = {'I', 'D', '3', 3, 0, 0, 0, 0, 0, 0};
    const std::size_t size = tit2.size() + body.size();
    for (int i = 0; i < 4; ++i) tag[6 + i] = static_cast<char>((size >> (7 * (3 - i))) & 0x7F);
    tag.insert(tag.end(), tit2.begin(), tit2.end());
    tag.insert(tag.end(), body.begin(), body.end());
    return tag;
}

// 100000 levels (2.7 MB) overflowed an 8 MiB stack inside TagLib's
// chapter frame parser.
constexpr std::size_t kDeepChapters = 100000;

TEST(MediaTagsHostile, DeeplyNestedChapterFramesInMp3) {
    REQUIRE_FILES();
    std::vector<char> mp3 = nestedChapterTag(kDeepChapters, "Deep Title");
    const std::vector<char> audio = readFile(files()["notag.mp3"]);
    const std::size_t skip = id3v2TagOf(audio).size();
    mp3.insert(mp3.end(), audio.begin() + static_cast<long>(skip), audio.end());
    MediaTags m;
    ASSERT_TRUE(m.openMemory(mp3.data(), mp3.size(), "a.mp3"));
    std::string t;
    EXPECT_TRUE(m.text("Title", t));
    EXPECT_EQ(t, "Deep Title");
    std::uint64_t d = 0;
    EXPECT_TRUE(m.duration(d));
}

TEST(MediaTagsHostile, DeeplyNestedChapterFramesInWav) {
    REQUIRE_FILES();
    std::vector<char> wav = readFile(files()["info.wav"]);
    appendId3Chunk(wav, nestedChapterTag(kDeepChapters, "Deep Wav"));
    const fs::path p = fs::path(::testing::TempDir()) / ("kestro-deep-" + std::to_string(::getpid()) + ".wav");
    writeFile(p, wav);
    Read r = readWithMediaTags(p);
    fs::remove(p);
    EXPECT_EQ(r.title, "Deep Wav");       // the ID3v2 chunk still counts
    EXPECT_EQ(r.author, "Info Artist");   // and INFO fills what it lacks
    EXPECT_EQ(r.duration, 15000000u);
}

TEST(MediaTagsHostile, DeeplyNestedChapterFramesInAiff) {
    REQUIRE_FILES();
    std::vector<char> aif = readFile(files()["chunks.aif"]);
    const std::vector<char> tag = nestedChapterTag(kDeepChapters, "Deep Aif");
    std::vector<char> hdr = {'I', 'D', '3', ' ', 0, 0, 0, 0};
    putBe32(hdr, 4, static_cast<std::uint32_t>(tag.size()));
    if (aif.size() % 2) aif.push_back(0);
    aif.insert(aif.end(), hdr.begin(), hdr.end());
    aif.insert(aif.end(), tag.begin(), tag.end());
    if (tag.size() % 2) aif.push_back(0);
    putBe32(aif, 4, static_cast<std::uint32_t>(aif.size() - 8));
    MediaTags m;
    ASSERT_TRUE(m.openMemory(aif.data(), aif.size(), "a.aif"));
    std::string t;
    EXPECT_TRUE(m.text("Title", t));
    EXPECT_EQ(t, "Deep Aif");
    EXPECT_TRUE(m.text("Author", t));
    EXPECT_EQ(t, "Auth Chunk");
    std::uint64_t d = 0;
    EXPECT_TRUE(m.duration(d));
    EXPECT_EQ(d, 15000000u);
}

}  // namespace
