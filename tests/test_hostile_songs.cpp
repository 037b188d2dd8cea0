// Song files are data: hostile files through the real song device (null
// output) in a helper process traced with strace. None may make the process
// create an internet socket, open a file other than the song, or grow by
// more than 64 MB over its size while playing a song; what is plainly not
// audio is refused before libmpv sees it; the song core's options alone
// (a bare core, no content check) refuse every reference.
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "HostileFiles.h"
#include "IcecastServer.h"
#include "MpvTestMedia.h"
#include "TestUtil.h"
#include "platform/audio/Mci.h"

using kestro::testing::TempDir;
using kestro::testing::writeFile;

namespace {

// A PNG of `width` x `height` 16-bit RGB pixels, all black: a few MB on
// disk, 6 bytes a pixel once decoded.
bool blackPng(const std::string& path, std::uint32_t width, std::uint32_t height) {
    std::ofstream out(path, std::ios::binary);
    auto chunk = [&](const char* type, const std::string& data) {
        std::string body = std::string(type, 4) + data;
        const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size()));
        const std::uint32_t n = static_cast<std::uint32_t>(data.size());
        const char len[4] = {char(n >> 24), char(n >> 16), char(n >> 8), char(n)};
        const char c[4] = {char(crc >> 24), char(crc >> 16), char(crc >> 8), char(crc)};
        out.write(len, 4).write(body.data(), static_cast<std::streamsize>(body.size())).write(c, 4);
    };
    out.write("\x89PNG\r\n\x1a\n", 8);
    const char header[13] = {char(width >> 24), char(width >> 16), char(width >> 8), char(width),
                             char(height >> 24), char(height >> 16), char(height >> 8), char(height), 16, 2, 0, 0, 0};
    chunk("IHDR", std::string(header, 13));
    // Each row: filter byte 0 and the zero pixels.
    z_stream z{};
    if (deflateInit(&z, 9) != Z_OK) return false;
    const std::vector<unsigned char> row(1 + std::size_t{width} * 6, 0);
    std::string idat;
    std::vector<unsigned char> buf(1 << 16);
    for (std::uint32_t y = 0; y <= height; ++y) {
        z.next_in = const_cast<unsigned char*>(row.data());
        z.avail_in = y < height ? static_cast<uInt>(row.size()) : 0;
        do {
            z.next_out = buf.data();
            z.avail_out = static_cast<uInt>(buf.size());
            deflate(&z, y < height ? Z_NO_FLUSH : Z_FINISH);
            idat.append(reinterpret_cast<char*>(buf.data()), buf.size() - z.avail_out);
        } while (z.avail_out == 0);
    }
    deflateEnd(&z);
    chunk("IDAT", idat);
    chunk("IEND", "");
    return static_cast<bool>(out);
}

// `mp3` behind an ID3v2.3 tag holding one cover picture of `pictureBytes`
// (a hole in the file: no disk space).
bool mp3WithCover(const std::string& path, const std::string& mp3, long pictureBytes) {
    const std::string body = std::string("\0image/jpeg\0\x03\0", 14);
    const long frame = static_cast<long>(body.size()) + pictureBytes;
    const long tag = 10 + frame;
    std::string head = "ID3\x03";
    head += std::string("\0\0", 2);
    for (int shift = 21; shift >= 0; shift -= 7) head += static_cast<char>((tag >> shift) & 0x7F);
    head += "APIC";
    for (int shift = 24; shift >= 0; shift -= 8) head += static_cast<char>((frame >> shift) & 0xFF);
    head += std::string("\0\0", 2) + body;
    std::ofstream out(path, std::ios::binary);
    out.write(head.data(), static_cast<std::streamsize>(head.size()));
    out.seekp(static_cast<std::streamoff>(head.size()) + pictureBytes);
    out.write(mp3.data(), static_cast<std::streamsize>(mp3.size()));
    return static_cast<bool>(out);
}

// `head` written, then a hole up to `size` bytes in all.
bool writeWithHole(const std::string& path, const std::string& head, long size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(head.data(), static_cast<std::streamsize>(head.size()));
    out.close();
    return static_cast<bool>(out) && ::truncate(path.c_str(), size) == 0;
}

std::string bigEndian(std::uint32_t n) { return {char(n >> 24), char(n >> 16), char(n >> 8), char(n)}; }
std::string littleEndian(std::uint32_t n) { return {char(n), char(n >> 8), char(n >> 16), char(n >> 24)}; }

// The WAV or AIFF `song` with an ID3v2.3 chunk at its end ("id3 " in a WAV,
// "ID3 " in an AIFF, as taggers write them) holding one cover picture of
// `pictureBytes` (a hole), the RIFF/FORM size counting it.
bool riffWithCover(const std::string& path, std::string song, long pictureBytes, bool aiff) {
    const std::string body = std::string("\0image/jpeg\0\x03\0", 14);
    const long frame = static_cast<long>(body.size()) + pictureBytes;
    const long tag = 10 + frame;
    std::string id3 = "ID3\x03" + std::string("\0\0", 2);
    for (int shift = 21; shift >= 0; shift -= 7) id3 += static_cast<char>((tag >> shift) & 0x7F);
    id3 += "APIC" + bigEndian(static_cast<std::uint32_t>(frame)) + std::string("\0\0", 2) + body;
    const auto chunk = static_cast<std::uint32_t>(10 + tag);
    song += (aiff ? "ID3 " + bigEndian(chunk) : "id3 " + littleEndian(chunk)) + id3;
    const auto total = static_cast<std::uint32_t>(song.size() - 8 + pictureBytes);
    song.replace(4, 4, aiff ? bigEndian(total) : littleEndian(total));
    return writeWithHole(path, song, static_cast<long>(song.size()) + pictureBytes);
}

// The M4A `song` (its 'moov' atom last, as ffmpeg writes it) with an iTunes
// cover item ('covr') of `pictureBytes` (a hole) in a 'udta' atom at the
// end of its 'moov'.
bool m4aWithCover(const std::string& path, std::string song, long pictureBytes) {
    std::size_t at = 0, moov = std::string::npos;
    while (at + 8 <= song.size()) {
        const std::uint32_t size = static_cast<std::uint32_t>(static_cast<unsigned char>(song[at])) << 24 |
                                   static_cast<std::uint32_t>(static_cast<unsigned char>(song[at + 1])) << 16 |
                                   static_cast<std::uint32_t>(static_cast<unsigned char>(song[at + 2])) << 8 |
                                   static_cast<unsigned char>(song[at + 3]);
        if (song.compare(at + 4, 4, "moov") == 0) moov = at;
        if (size < 8) return false;
        at += size;
    }
    if (moov == std::string::npos || at != song.size()) return false;
    auto atom = [](const char* type, const std::string& content, long extra = 0) {
        return bigEndian(static_cast<std::uint32_t>(8 + content.size() + extra)) + type + content;
    };
    const std::string data = std::string("\0\0\0\x0d\0\0\0\0", 8);  // a JPEG, then the picture
    const std::string hdlr = atom("hdlr", std::string(8, '\0') + "mdirappl" + std::string(9, '\0'));
    const std::string covr = atom("covr", atom("data", data, pictureBytes), pictureBytes);
    const std::string ilst = atom("ilst", covr, pictureBytes);
    const std::string meta = atom("meta", std::string(4, '\0') + hdlr + ilst, pictureBytes);
    const std::string udta = atom("udta", meta, pictureBytes);
    const std::uint32_t moovSize = static_cast<std::uint32_t>(song.size() - moov + udta.size() + pictureBytes);
    song.replace(moov, 4, bigEndian(moovSize));
    return writeWithHole(path, song + udta, static_cast<long>(song.size() + udta.size()) + pictureBytes);
}

struct ProbeRun {
    long open = -1, play = -1, length = -1, grownKb = -1;
    std::string errors;              // the helper's standard error
    std::vector<std::string> trace;  // strace's lines that break the rules
};

// Runs the helper under strace and keeps what the song may not do: an
// internet socket made, or a file opened other than the song, the reference
// and the system's and the build's own files (failed opens, such as
// libmpv's probes of "a.mp3/VIDEO_TS", do not count).
ProbeRun probe(const TempDir& dir, const std::string& reference, const std::string& file, bool bare, int repeats) {
    const std::string trace = dir / "trace.txt", out = dir / "out.txt", err = dir / "err.txt";
    const std::string helper = KESTRO_SONG_PROBE_PATH;
    // (LeakSanitizer cannot run under ptrace: an instrumented helper runs
    // without it.)
    const std::string command = "ASAN_OPTIONS=\"$ASAN_OPTIONS:detect_leaks=0\" strace -f -qq -o '" + trace + "' -e trace=openat,socket,bind,connect '" + helper +
                                "' " + (bare ? "--bare " : "") + "'" + reference + "' '" + file + "' " +
                                std::to_string(repeats) + " >'" + out + "' 2>'" + err + "'";
    ProbeRun r;
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    std::sscanf(kestro::testing::readFile(out).c_str(), "open=%ld play=%ld length=%ld grown_kb=%ld", &r.open, &r.play,
                &r.length, &r.grownKb);
    r.errors = kestro::testing::readFile(err);
    const std::string buildDir = helper.substr(0, helper.rfind('/') + 1);
    std::istringstream lines(kestro::testing::readFile(trace));
    for (std::string line; std::getline(lines, line);) {
        if (line.find(" = -1 ") != std::string::npos) continue;
        if (line.find("socket(AF_INET") != std::string::npos) r.trace.push_back(line);
        const std::size_t q = line.find("openat(AT_FDCWD, \"");
        if (q == std::string::npos) continue;
        const std::string path = line.substr(q + 18, line.find('"', q + 18) - q - 18);
        bool allowed = path == file || path == reference || path.rfind(buildDir, 0) == 0;
        for (const char* system : {"/usr/", "/lib", "/etc/", "/proc/", "/sys/", "/dev/"})
            allowed = allowed || path.rfind(system, 0) == 0;
        if (!allowed) r.trace.push_back(line);
    }
    return r;
}

class MpvHostile : public ::testing::Test {
public:
    static void SetUpTestSuite() {
        ASSERT_TRUE(kestro::testing::runQuiet("strace -V")) << "strace is needed (scripts/setup.sh installs it)";
        dir_ = new TempDir;
        const TempDir& d = *dir_;
        ASSERT_TRUE(kestro::testing::makeTone(d / "tone.mp3", 440, 1.5));
        ASSERT_TRUE(kestro::testing::makeTone(d / "reference.wav", 440, 1.0));
        ASSERT_TRUE(kestro::testing::makeTone(d / "sentinel.wav", 880, 1.0));
        // References to the sentinel file and to an address nothing serves.
        const std::string sentinel = d / "sentinel.wav";
        const std::string http = "http://127.0.0.1:" + std::to_string(kestro::testing::closedPort());
        writeFile(d / "m3u.mp3", "#EXTM3U\n" + http + "/x.mp3\n" + sentinel + "\n");
        writeFile(d / "pls.mp3", "[playlist]\nFile1=" + http + "/x.mp3\nFile2=" + sentinel + "\nNumberOfEntries=2\n");
        writeFile(d / "edl.mp3", "# mpv EDL v0\n" + sentinel + ",0,1\n" + http + "/x.mp3,0,1\n");
        writeFile(d / "sdp.mp3", "v=0\no=- 0 0 IN IP4 127.0.0.1\ns=x\nc=IN IP4 0.0.0.0\nt=0 0\nm=audio 18799 RTP/AVP 0\n");
        writeFile(d / "hls.mp3", "#EXTM3U\n#EXT-X-TARGETDURATION:10\n#EXTINF:10,\n" + http + "/seg.ts\n#EXT-X-ENDLIST\n");
        writeFile(d / "cue.mp3", "FILE \"" + sentinel + "\" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n");
        writeFile(d / "ffconcat.mp3", "ffconcat version 1.0\nfile " + sentinel + "\n");
        ASSERT_TRUE(kestro::testing::runQuiet("cd '" + d.path() + "' && zip -q -0 zip.zip sentinel.wav && mv zip.zip zip.mp3"));
        ASSERT_TRUE(blackPng(d / "png.wav", 16000, 16000));
        const std::string ff = "ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=320x240:rate=25 ";
        ASSERT_TRUE(kestro::testing::runQuiet(ff + "-t 2 -c:v mpeg4 -f mp4 '" + (d / "video.m4a") + "'"));
        ASSERT_TRUE(kestro::testing::runQuiet(ff + "-f lavfi -i sine=frequency=440:sample_rate=44100 -t 2 -c:v mpeg4 "
                                                   "-c:a aac -f mp4 '" + (d / "av.m4a") + "'"));
        ASSERT_TRUE(hostile::sparse(d / "zeros.mp3", 100L << 20));
        ASSERT_TRUE(mp3WithCover(d / "cover.mp3", kestro::testing::readFile(d / "tone.mp3"), 100L << 20));
        for (const char* ext : {"wav", "aif", "m4a"})
            ASSERT_TRUE(kestro::testing::makeTone(d / (std::string("tone.") + ext), 440, 1.5)) << ext;
        ASSERT_TRUE(riffWithCover(d / "cover.wav", kestro::testing::readFile(d / "tone.wav"), 100L << 20, false));
        ASSERT_TRUE(riffWithCover(d / "cover.aif", kestro::testing::readFile(d / "tone.aif"), 100L << 20, true));
        ASSERT_TRUE(m4aWithCover(d / "cover.m4a", kestro::testing::readFile(d / "tone.m4a"), 100L << 20));
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }

protected:
    static TempDir* dir_;
};
TempDir* MpvHostile::dir_ = nullptr;

TEST_F(MpvHostile, SongFilesAreDataNeverReferencesOrMemory) {
    const TempDir& d = *dir_;
    struct Case {
        const char* name;
        bool bare;     // a bare core with the song core's options
        int repeats;   // the playlist case was a race
        long open;     // bare: 0 loaded, 1 not
        bool notAudio; // refused by the device's check of the content
        long lengthMs; // of a song that opens
    } cases[] = {
        {"m3u.mp3", false, 10, kestro::platform::MCIERR_INVALID_FILE, true, 0},
        {"pls.mp3", false, 1, kestro::platform::MCIERR_INVALID_FILE, true, 0},
        {"edl.mp3", false, 1, kestro::platform::MCIERR_INVALID_FILE, true, 0},
        {"sdp.mp3", false, 1, kestro::platform::MCIERR_INVALID_FILE, true, 0},
        {"hls.mp3", false, 1, kestro::platform::MCIERR_INVALID_FILE, true, 0},
        {"cue.mp3", false, 1, kestro::platform::MCIERR_INVALID_FILE, true, 0},
        {"ffconcat.mp3", false, 1, kestro::platform::MCIERR_INVALID_FILE, true, 0},
        {"zip.mp3", false, 1, kestro::platform::MCIERR_INVALID_FILE, true, 0},
        {"png.wav", false, 1, kestro::platform::MCIERR_INVALID_FILE, true, 0},
        {"zeros.mp3", false, 1, kestro::platform::MCIERR_INVALID_FILE, true, 0},
        {"video.m4a", false, 1, kestro::platform::MCIERR_INVALID_FILE, false, 0},
        {"av.m4a", false, 1, 0, false, 2000},
        {"cover.mp3", false, 1, 0, false, 1500},
        {"cover.wav", false, 1, 0, false, 1500},
        {"cover.aif", false, 1, 0, false, 1500},
        {"cover.m4a", false, 1, 0, false, 1500},
        {"m3u.mp3", true, 3, 1, false, 0},
        {"pls.mp3", true, 1, 1, false, 0},
        {"edl.mp3", true, 1, 1, false, 0},
        {"sdp.mp3", true, 1, 1, false, 0},
        {"hls.mp3", true, 1, 1, false, 0},
        {"cue.mp3", true, 1, 1, false, 0},
        {"ffconcat.mp3", true, 1, 1, false, 0},
        {"zip.mp3", true, 1, 1, false, 0},
        {"png.wav", true, 1, 1, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + (c.bare ? " (bare core)" : ""));
        const ProbeRun r = probe(d, d / "reference.wav", d / c.name, c.bare, c.repeats);
        EXPECT_EQ(r.open, c.open) << r.errors;
        EXPECT_TRUE(r.trace.empty()) << r.trace.size() << " calls, the first: " << r.trace[0];
        EXPECT_GE(r.grownKb, 0);
        EXPECT_LT(r.grownKb, 64 * 1024);
        EXPECT_EQ(r.errors.find("did not stop"), std::string::npos) << r.errors;
        EXPECT_EQ(r.errors.find("not an audio file") != std::string::npos, c.notAudio) << r.errors;
        if (c.open == 0 && !c.bare) {
            EXPECT_EQ(r.play, 0);
            EXPECT_NEAR(r.length, c.lengthMs, 60);
        }
    }
}

}  // namespace
