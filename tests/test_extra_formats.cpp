// FLAC, Ogg Vorbis and Opus behind ExtraFormats: the scan's passes, the
// tags and length, the catalogue, song start, and the song device's rule,
// with the setting on and off.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "MpvTestMedia.h"
#include "TestUtil.h"
#include "TickHarness.h"
#include "library/Catalogue.h"
#include "library/LibraryScan.h"
#include "platform/audio/mpv/MpvMciDevice.h"
#include "platform/audio/mpv/SongFormats.h"
#include "platform/tags/MediaTags.h"
#include "playback/MciSongPlayer.h"
#include "playback/SongStart.h"
#include "settings/Settings.h"

using namespace kestro;
using namespace kestro::testing;

namespace {

// A 2.5 s tone in the format of `name`'s extension, tagged with `name`.
bool makeTaggedTone(const std::string& dir, const std::string& name, int hz) {
    const std::string ext = name.substr(name.rfind('.') + 1);
    const char* codec = ext == "flac" ? "flac" : ext == "ogg" ? "libvorbis -f ogg" : "libopus -f opus";
    return runQuiet("ffmpeg -nostdin -v error -y -f lavfi -i 'sine=frequency=" + std::to_string(hz) +
                    ":duration=2.5' -af volume=0.5 -ac 2 -c:a " + codec + " -metadata title='" + name +
                    "' -metadata artist='Quay Band' -metadata album=Docks -metadata date=2008-05-01 '" + dir + "/" +
                    name + "'");
}

struct ExtraFormatsTest : ::testing::Test {
    void TearDown() override {
        std::memset(SongTable, 0, sizeof SongTable);
        songCount = lastSongIndex = 0;
        resetPlayerState();
    }
    // Loads the settings (ExtraFormats=`value`), scans, gives the paths.
    std::vector<std::string> scanWith(const std::string& value) {
        writeFile(game / "Kestro.ini", "[Defaults]\nExtraFormats=" + value + "\n");
        resetPlayerState();
        readLoadTimeSettings();
        std::memset(SongTable, 0, sizeof SongTable);
        scanLibrary();
        std::vector<std::string> out;
        for (int i = 0; i < songCount; ++i) out.emplace_back(SongTable[i].path);
        return out;
    }
    TempDir game;
    ScopedCwd cwd{game.path()};
    TickHarness h;
};

}  // namespace

// Each format: its tags and length, where the scan puts it with the setting
// on (after the seven passes: flac, ogg, opus) and that it is absent with it
// off, its catalogue line, and its start (a tag copy and timing by the
// stored duration, directly and through a shortcut; by the device and
// without tags when the setting is off).
TEST_F(ExtraFormatsTest, TagsLengthTablePlaceCatalogueLineAndStart) {
    const std::pair<const char*, int> rows[] = {{"b.flac", 2}, {"c.ogg", 3}, {"d.opus", 4}};  // name, place
    makeDirs(game / "Songs");
    makeDirs(game / "Extras");
    ASSERT_TRUE(makeTone(game / "Songs/a.mp3", 440, 1.0));
    for (const auto& [name, place] : rows) ASSERT_TRUE(makeTaggedTone(game / "Songs", name, 660));
    // A shortcut to a FLAC file (the "lnk" pass) is an entry either way.
    ASSERT_TRUE(makeTaggedTone(game / "Extras", "t.flac", 880));
    std::filesystem::create_symlink(game / "Extras/t.flac", game / "Songs/t.lnk");
    for (const char* off : {"0", "2", "on"}) {
        EXPECT_EQ(scanWith(off), (std::vector<std::string>{game / "Songs/a.mp3", game / "Extras/t.flac"})) << off;
        EXPECT_STREQ(SongTable[1].title, "");  // no tags read, as before
    }
    ASSERT_EQ(scanWith("1"), (std::vector<std::string>{game / "Songs/a.mp3", game / "Extras/t.flac", game / "Songs/b.flac",
                                                       game / "Songs/c.ogg", game / "Songs/d.opus"}));
    EXPECT_STREQ(SongTable[1].title, "t.flac");
    writeCatalogue();
    const std::string catalogue = readFile(game / "songs.txt");
    EXPECT_NE(catalogue.find("Total Songs: 5"), std::string::npos);

    for (const auto& [name, place] : rows) {
        SCOPED_TRACE(name);
        const std::string path = game / (std::string("Songs/") + name);
        platform::MediaTags reader, plain;  // without the setting nothing is read
        reader.setXiphFormats(true);
        std::uint64_t duration = 0;
        EXPECT_TRUE(reader.open(path.c_str()) && reader.duration(duration) && !reader.limited());
        EXPECT_NEAR(static_cast<double>(duration) / 1e4, 2500, 5);
        EXPECT_FALSE(plain.open(path.c_str()));
        const SongEntry& e = SongTable[place];
        EXPECT_EQ(std::string(e.title) + "|" + e.artist + "|" + e.album + "|" + e.year, std::string(name) + "|Quay Band|Docks|2008");
        EXPECT_EQ(e.durationMs, 3000);
        EXPECT_NE(catalogue.find(std::string(name) + " |00:00:02 |Quay Band |Docks |2008 |" + path + "\r\n"),
                  std::string::npos) << catalogue;

        // Started directly and through a shortcut kept in the table (entry
        // 5) with the setting, and directly without it.
        std::filesystem::create_symlink(path, game / "s.lnk");
        SongTable[5] = e;
        std::snprintf(SongTable[5].path, sizeof SongTable[5].path, "%s", (game / "s.lnk").c_str());
        h.mci->replies["status song length"] = "2600";
        for (const auto& [index, setting] : {std::pair{place, 1}, std::pair{5, 1}, std::pair{place, 0}}) {
            SCOPED_TRACE(std::to_string(index) + " " + std::to_string(setting));
            songCount = 6;
            playerState.ExtraFormats = setting;
            playerState.lastIndex = 5;
            playerState.currentIndex = static_cast<std::uint32_t>(playerState.randomIndex = index);
            playerState.currentSong = &SongTable[index];
            startSong(h.thread);
            EXPECT_EQ(h.mci->opened().back(), path);
            EXPECT_EQ(std::string(playerState.nowTitle), setting ? name : "");
            EXPECT_EQ(playerState.endTime, setting ? 3000u : 2600u);
            closeSong(h.thread);
        }
        std::filesystem::remove(game / "s.lnk");
        // A length of 0 is said, as for MP3.
        SongTable[place].durationMs = 0;
        h.mci->replies["status song length"] = "0";
        playerState.ExtraFormats = 1;
        playerState.currentSong = &SongTable[place];
        h.log.clear();
        startSong(h.thread);
        EXPECT_EQ(h.log, (std::vector<std::string>{"Unable to Play: " + path}));
        closeSong(h.thread);
    }
}

// The song device's rule: extension x setting x what the file starts with.
TEST(SongFormats, ExtensionSettingAndContentDecide) {
    auto oggPage = [](const std::string& packet, char type = 2) {
        return std::string("OggS\0", 5) + type + std::string(20, '\0') + '\x01' + static_cast<char>(packet.size()) + packet;
    };
    const std::string flac = std::string("fLaC\0\0\0\x22", 8) + std::string(34, '\0');
    const std::string vorbis = oggPage(std::string("\x01vorbis", 7) + std::string(23, '\0'));
    const std::string opus = oggPage("OpusHead" + std::string(11, '\0'));
    const struct {
        const char* name;
        bool on;
        std::string content;
        long tagBytes;
        bool admitted;
    } rows[] = {
        {"a.flac", true, flac, 0, true}, {"a.flac", false, flac, 0, false}, {"a.FLAC", true, flac, 0, true},
        {"d.flac/a.flac", true, flac, 0, true}, {"a.flac", true, flac, 16L << 20, true},
        {"a.flac", true, flac, (16L << 20) + 1, false}, {"flac", true, flac, 0, true},  // the whole name, as the scan
        {"a.ogg", true, vorbis, 0, true}, {"a.ogg", false, vorbis, 0, false}, {"a.Ogg", true, vorbis, 0, true},
        {"a.ogg", true, vorbis, 4096, false}, {"a.opus", true, opus, 0, true}, {"a.opus", false, opus, 0, false},
        {"a.ogg", true, opus, 0, false}, {"a.opus", true, vorbis, 0, false},
        {"a.ogg", true, oggPage("Speex   " + std::string(72, '\0')), 0, false},
        {"a.ogg", true, oggPage("\x80theora" + std::string(35, '\0')), 0, false},
        {"a.flac", true, oggPage("\x7F" "FLAC" + std::string(46, '\0')), 0, false},
        {"a.ogg", true, oggPage(std::string("\x01vorbis", 7) + std::string(23, '\0'), 0), 0, false},  // no stream start
        {"a.mp3", true, flac, 0, false}, {"a.oga", true, vorbis, 0, false}, {"a.flac", true, vorbis, 0, false},
        {"a.flac", true, flac.substr(0, 7), 0, false}, {"a.ogg", true, vorbis.substr(0, 40), 0, false},
    };
    for (const auto& r : rows) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(r.content.data());
        EXPECT_EQ(platform::extraSongAdmitted(r.on, r.name, bytes, static_cast<long>(r.content.size()), r.tagBytes), r.admitted)
            << r.name << (r.on ? " on " : " off ") << r.tagBytes;
    }
    // A file's metadata blocks (pictures libavformat would keep while the
    // song plays): at most 128 MiB and 256 blocks (holes: sparse files).
    TempDir dir;
    for (const auto& [blocks, length, admitted] : {std::tuple{7, 0xFFFFFF, true}, std::tuple{9, 0xFFFFFF, false},
                                                   std::tuple{255, 0, true}, std::tuple{256, 0, false}}) {
        const std::string path = dir / "a.flac";
        {
            std::ofstream out(path, std::ios::binary | std::ios::trunc);
            out << flac;
            for (int i = 0; i < blocks; ++i) {
                out << static_cast<char>(i + 1 == blocks ? 0x86 : 6) << static_cast<char>(length >> 16)
                    << static_cast<char>(length >> 8) << static_cast<char>(length);
                out.seekp(length, std::ios::cur);
            }
            out << '\0';  // a first audio byte
        }
        EXPECT_EQ(platform::sniffSongFile(true, path.c_str()).format == platform::MediaFormat::Flac, admitted) << blocks;
    }
    EXPECT_STREQ(platform::songLavfOptions(false), "format_whitelist=[mp3,asf,wav,aiff,au,mov],protocol_whitelist=file");
    EXPECT_STREQ(platform::songLavfOptions(true), "format_whitelist=[mp3,asf,wav,aiff,au,mov,flac,ogg],protocol_whitelist=file");
}

// The real host with ExtraFormats=1 in Kestro.ini: each format starts on
// the libmpv song device, and the capture holds its tone. A device made
// without the setting refuses the same file.
TEST(ExtraFormatsDevice, EachFormatStartsAndItsCaptureHoldsTheTone) {
    for (const auto& [name, hz] : {std::pair{"song.flac", 440}, std::pair{"song.ogg", 660}, std::pair{"song.opus", 880}}) {
        SCOPED_TRACE(name);
        TempDir game, out;
        makeDirs(game / "Songs");
        ASSERT_TRUE(makeTaggedTone(game / "Songs", name, hz));
        writeFile(game / "Kestro.ini", "[Defaults]\nExtraFormats=1\n");
        const HostRun run = runHost(game, "vehicle 7\ntick\npress X\nwait 1500\nscreen\npress MEDIA_STOP\nwait 100\n",
                                    "--audio 'pcm:" + (out / "capture.wav") + "' --realtime");
        ASSERT_EQ(run.status, 0);
        EXPECT_TRUE(run.has("mci 0 play song"));
        EXPECT_TRUE(run.has("screen Title:          " + std::string(name)));
        const WavCapture w = readWavCapture(out / "capture.wav");
        EXPECT_TRUE(w.headerValid);
        double toneSeconds = 0;
        for (const Stretch& st : stretches(w))
            if (std::abs(st.hz - hz) < 4) toneSeconds += st.seconds;
        // Of the 1.5 s waited, the song's own load and the output's start
        // may take a few hundred ms on a loaded machine; it never plays
        // longer than the wait.
        EXPECT_GE(toneSeconds, 0.75) << describe(stretches(w));
        EXPECT_LE(toneSeconds, 1.75) << describe(stretches(w));

        const std::string path = game / (std::string("Songs/") + name);
        DiagnosticLog diagnostics;
        for (bool on : {true, false}) {
            char reply[64];
            auto device = platform::makeMpvMciDevice(nullOutput(), on);
            EXPECT_EQ(device->send(("open " + path + " alias song").c_str(), reply, sizeof reply),
                      on ? 0 : platform::MCIERR_INVALID_FILE);
            EXPECT_NEAR(device->send("status song length", reply, sizeof reply) == 0 ? std::atol(reply) : 0, on ? 2500 : 0, 30);
        }
        EXPECT_TRUE(diagnostics.has("cannot play \"" + path + "\": not an audio file")) << diagnostics.all();
    }
}
