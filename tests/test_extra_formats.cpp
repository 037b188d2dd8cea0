// FLAC, Ogg Vorbis and Opus behind ExtraFormats: the scan's passes, the
// tags and length, the catalogue, song start, and the song device's rule,
// with the setting on and off.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "MpvTestMedia.h"
#include "TestUtil.h"
#include "TickHarness.h"
#include "library/Catalogue.h"
#include "library/LibraryScan.h"
#include "library/SongTable.h"
#include "platform/audio/mpv/MpvMciDevice.h"
#include "platform/audio/mpv/SongFormats.h"
#include "platform/system/Text.h"
#include "platform/tags/MediaTags.h"
#include "playback/MciSongPlayer.h"
#include "playback/SongStart.h"
#include "settings/Settings.h"

using namespace kestro;
using namespace kestro::testing;

namespace {

// A 2.5 s tone in the format of `path`'s extension, with tags.
bool makeTaggedTone(const std::string& path, int hz, const std::string& title) {
    const char* codec = platform::endsWith(path, ".flac") ? "flac"
                        : platform::endsWith(path, ".ogg") ? "libvorbis -f ogg"
                                                           : "libopus -f opus";
    return runQuiet("ffmpeg -nostdin -v error -y -f lavfi -i 'sine=frequency=" + std::to_string(hz) +
                    ":duration=2.5:sample_rate=44100' -af volume=0.5 -ac 2 -c:a " + codec + " -metadata title='" +
                    title + "' -metadata artist='Quay Band' -metadata album=Docks -metadata date=2008-05-01 '" +
                    path + "'");
}

struct ExtraFormatsTest : ::testing::Test {
    void SetUp() override {
        std::memset(SongTable, 0, sizeof SongTable);
        cwd = std::make_unique<ScopedCwd>(game.path());
    }
    void TearDown() override {
        cwd.reset();
        std::memset(SongTable, 0, sizeof SongTable);
        songCount = 0;
        lastSongIndex = 0;
        resetPlayerState();
    }
    // Loads the settings (ExtraFormats=`value`) and scans.
    void scanWith(const std::string& value) {
        writeFile(game / "Kestro.ini", "[Defaults]\nExtraFormats=" + value + "\n");
        resetPlayerState();
        readLoadTimeSettings();
        std::memset(SongTable, 0, sizeof SongTable);
        scanLibrary();
    }
    std::vector<std::string> paths() const {
        std::vector<std::string> out;
        for (int i = 0; i < songCount; ++i) out.emplace_back(SongTable[i].path);
        return out;
    }
    void startAt(int i) {
        playerState.lastIndex = static_cast<std::uint32_t>(songCount - 1);
        playerState.currentIndex = static_cast<std::uint32_t>(i);
        playerState.randomIndex = i;
        playerState.currentSong = &SongTable[i];
        startSong(h.thread);
    }
    TempDir game;
    std::unique_ptr<ScopedCwd> cwd;
    TickHarness h;
};

}  // namespace

// Each format: its tags and length as the tag reader gives them, where the
// scan puts it with the setting on (after the seven passes, in the order
// flac, ogg, opus) and that it is absent with it off, its catalogue line, and
// its start (a tag copy and timing by the stored duration, directly and
// through a shortcut; by the device without the setting).
TEST_F(ExtraFormatsTest, TagsLengthTablePlaceCatalogueLineAndStart) {
    struct Row {
        const char* name;
        int place;  // in the table with the setting on
    };
    const Row rows[] = {{"b.flac", 2}, {"c.ogg", 3}, {"d.opus", 4}};
    makeDirs(game / "Songs");
    makeDirs(game / "Extras");
    ASSERT_TRUE(makeTone(game / "Songs/a.mp3", 440, 1.0));
    for (const Row& r : rows) ASSERT_TRUE(makeTaggedTone(game / (std::string("Songs/") + r.name), 660, r.name));
    // A shortcut to a FLAC file (the "lnk" pass) is an entry either way.
    ASSERT_TRUE(makeTaggedTone(game / "Extras/t.flac", 880, "t.flac"));
    std::filesystem::create_symlink(game / "Extras/t.flac", game / "Songs/t.lnk");

    for (const char* off : {"0", "2", "on"}) {
        SCOPED_TRACE(off);
        scanWith(off);
        EXPECT_EQ(paths(), (std::vector<std::string>{game / "Songs/a.mp3", game / "Extras/t.flac"}));
        EXPECT_STREQ(SongTable[1].title, "");  // no tags read, as before
    }
    scanWith("1");
    ASSERT_EQ(paths(), (std::vector<std::string>{game / "Songs/a.mp3", game / "Extras/t.flac", game / "Songs/b.flac",
                                                 game / "Songs/c.ogg", game / "Songs/d.opus"}));
    EXPECT_STREQ(SongTable[1].title, "t.flac");
    writeCatalogue();
    const std::string catalogue = readFile(game / "songs.txt");

    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        const std::string path = game / (std::string("Songs/") + r.name);
        platform::MediaTags reader;
        reader.setXiphFormats(true);
        ASSERT_TRUE(reader.open(path.c_str()));
        std::uint64_t duration = 0;
        ASSERT_TRUE(reader.duration(duration));
        EXPECT_NEAR(static_cast<double>(duration) / 1e4, 2500, 5);
        EXPECT_FALSE(reader.limited());
        platform::MediaTags plain;  // without the setting nothing is read
        EXPECT_FALSE(plain.open(path.c_str()));

        const SongEntry& e = SongTable[r.place];
        EXPECT_STREQ(e.title, r.name);
        EXPECT_STREQ(e.artist, "Quay Band");
        EXPECT_STREQ(e.album, "Docks");
        EXPECT_STREQ(e.year, "2008");
        EXPECT_EQ(e.durationMs, 3000);
        EXPECT_NE(catalogue.find(std::string(r.name) + " |00:00:02 |Quay Band |Docks |2008 |" + path + "\r\n"),
                  std::string::npos)
            << catalogue;

        // Started directly, through a shortcut kept in the table, and
        // without the setting: tags and timing.
        std::filesystem::create_symlink(path, game / "s.lnk");
        SongTable[5] = e;
        std::snprintf(SongTable[5].path, sizeof SongTable[5].path, "%s", (game / "s.lnk").c_str());
        h.mci->replies["status song length"] = "2600";
        for (const auto& [index, setting] : {std::pair{r.place, 1}, std::pair{5, 1}, std::pair{r.place, 0}}) {
            SCOPED_TRACE(std::to_string(index) + " " + std::to_string(setting));
            songCount = 6;
            playerState.ExtraFormats = setting;
            startAt(index);
            EXPECT_EQ(h.mci->opened().back(), path);
            EXPECT_EQ(std::string(playerState.nowTitle), setting ? r.name : "");
            EXPECT_EQ(playerState.endTime, setting ? 3000u : 2600u);
            closeSong(h.thread);
        }
        std::filesystem::remove(game / "s.lnk");
    }
    EXPECT_NE(catalogue.find("Total Songs: 5"), std::string::npos);

    // A length of 0 is said, as for MP3.
    h.log.clear();
    playerState.ExtraFormats = 1;
    SongTable[2].durationMs = 0;
    h.mci->replies["status song length"] = "0";
    startAt(2);
    EXPECT_EQ(h.log, (std::vector<std::string>{"Unable to Play: " + game / "Songs/b.flac"}));
}

// The song device's rule: extension x setting x what the file starts with.
TEST(SongFormats, ExtensionSettingAndContentDecide) {
    auto oggPage = [](const std::string& packet) {
        std::string page("OggS\0\x02", 6);
        page += std::string(20, '\0');
        page += '\x01';
        page += static_cast<char>(packet.size());
        return page + packet;
    };
    const std::string flac = std::string("fLaC\0\0\0\x22", 8) + std::string(34, '\0');
    const std::string vorbis = oggPage(std::string("\x01vorbis", 7) + std::string(23, '\0'));
    const std::string opus = oggPage("OpusHead" + std::string(11, '\0'));
    const std::string speex = oggPage("Speex   " + std::string(72, '\0'));
    const std::string theora = oggPage("\x80theora" + std::string(35, '\0'));
    const std::string oggFlac = oggPage("\x7F" "FLAC" + std::string(46, '\0'));
    const std::string notBos = [&] {
        std::string p = vorbis;
        p[5] = 0;
        return p;
    }();
    struct Row {
        const char* name;
        bool on;
        const std::string& content;
        long tagBytes;
        bool admitted;
    };
    const Row rows[] = {
        {"a.flac", true, flac, 0, true},          {"a.flac", false, flac, 0, false},
        {"a.FLAC", true, flac, 0, true},          {"dir.flac/a.flac", true, flac, 0, true},
        {"a.flac", true, flac, 4096, true},       {"a.flac", true, flac, 16L << 20, true},
        {"a.flac", true, flac, (16L << 20) + 1, false},
        {"a.ogg", true, vorbis, 0, true},         {"a.ogg", false, vorbis, 0, false},
        {"a.ogg", true, vorbis, 4096, false},     {"a.Ogg", true, vorbis, 0, true},
        {"a.opus", true, opus, 0, true},          {"a.opus", false, opus, 0, false},
        {"a.ogg", true, opus, 0, false},          {"a.opus", true, vorbis, 0, false},
        {"a.ogg", true, speex, 0, false},         {"a.ogg", true, theora, 0, false},
        {"a.flac", true, oggFlac, 0, false},      {"a.ogg", true, notBos, 0, false},
        {"a.mp3", true, flac, 0, false},          {"a.oga", true, vorbis, 0, false},
        {"a.flac", true, vorbis, 0, false},       {"a.ogg", true, flac, 0, false},
        {"a.flac", true, flac.substr(0, 7), 0, false}, {"a.ogg", true, vorbis.substr(0, 40), 0, false},
        {"flac", true, flac, 0, true},  // the whole name is the extension, as the scan takes it
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.name) + (r.on ? " on " : " off ") + std::to_string(r.tagBytes));
        const auto* bytes = reinterpret_cast<const unsigned char*>(r.content.data());
        EXPECT_EQ(platform::extraSongAdmitted(r.on, r.name, bytes, static_cast<long>(r.content.size()), r.tagBytes),
                  r.admitted);
    }
    EXPECT_STREQ(platform::songLavfOptions(false), "format_whitelist=[mp3,asf,wav,aiff,au,mov],protocol_whitelist=file");
    EXPECT_STREQ(platform::songLavfOptions(true),
                 "format_whitelist=[mp3,asf,wav,aiff,au,mov,flac,ogg],protocol_whitelist=file");
}

// The real host with ExtraFormats=1 in Kestro.ini: each format starts on
// the libmpv song device with its length, and the capture holds its tone.
// Without the setting the device refuses the same file.
TEST(ExtraFormatsDevice, EachFormatStartsAndItsCaptureHoldsTheTone) {
    struct Row {
        const char* name;
        int hz;
    };
    for (const Row& r : {Row{"song.flac", 440}, Row{"song.ogg", 660}, Row{"song.opus", 880}}) {
        SCOPED_TRACE(r.name);
        TempDir game, out;
        makeDirs(game / "Songs");
        ASSERT_TRUE(makeTaggedTone(game / (std::string("Songs/") + r.name), r.hz, r.name));
        writeFile(game / "Kestro.ini", "[Defaults]\nExtraFormats=1\n");
        const HostRun run = runHost(game, "vehicle 7\ntick\npress X\nwait 1500\nscreen\npress MEDIA_STOP\nwait 100\n",
                                    "--audio 'pcm:" + (out / "capture.wav") + "' --realtime");
        ASSERT_EQ(run.status, 0);
        EXPECT_TRUE(run.has("mci 0 play song"));
        bool titleShown = false;
        for (const std::string& l : run.lines) titleShown |= l.rfind("screen ", 0) == 0 && l.find(r.name) != std::string::npos;
        EXPECT_TRUE(titleShown);
        const WavCapture w = readWavCapture(out / "capture.wav");
        EXPECT_TRUE(w.headerValid);
        double toneSeconds = 0;
        for (const Stretch& st : stretches(w))
            if (std::abs(st.hz - r.hz) < 4) toneSeconds += st.seconds;
        EXPECT_GE(toneSeconds, 1.0) << describe(stretches(w));
        EXPECT_LE(toneSeconds, 1.75) << describe(stretches(w));

        const std::string path = game / (std::string("Songs/") + r.name);
        DiagnosticLog diagnostics;
        for (bool on : {true, false}) {
            auto device = platform::makeMpvMciDevice(nullOutput(), on);
            char reply[64];
            EXPECT_EQ(device->send(("open " + path + " alias song").c_str(), reply, sizeof reply),
                      on ? 0 : platform::MCIERR_INVALID_FILE);
            if (on) {
                device->send("status song length", reply, sizeof reply);
                EXPECT_NEAR(std::atol(reply), 2500, 30);
            }
        }
        EXPECT_TRUE(diagnostics.has("cannot play \"" + path + "\": not an audio file")) << diagnostics.all();
    }
}
