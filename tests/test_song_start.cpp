// Song start, the replacement of songs that cannot be played, the start of
// playback and track selection, against a recording MCI device.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "TickHarness.h"
#include "game/Natives.h"
#include "library/SongTable.h"
#include "playback/MciSongPlayer.h"
#include "playback/SongStart.h"
#include "playback/TrackSelection.h"

using namespace kestro;
using kestro::testing::TickHarness;

namespace {

void put(int i, const std::string& path, const char* title = "", std::int32_t durationMs = 0, const char* year = "") {
    SongEntry& e = SongTable[i];
    std::memset(&e, 0, sizeof e);
    std::snprintf(e.path, sizeof e.path, "%s", path.c_str());
    std::snprintf(e.fullTitle, sizeof e.fullTitle, "%s", title);
    std::snprintf(e.title, sizeof e.title, "%.36s", title);
    std::snprintf(e.year, sizeof e.year, "%s", year);
    e.durationMs = durationMs;
}

// A library of `n` songs /m/0.mp3 ... with durations of 100 s.
void library(int n) {
    for (int i = 0; i < n; ++i) put(i, "/m/" + std::to_string(i) + ".mp3", ("Song " + std::to_string(i)).c_str(), 100000);
    songCount = n;
    lastSongIndex = n - 1;
}

struct SongStartTest : ::testing::Test {
    void SetUp() override { std::memset(SongTable, 0, sizeof SongTable); }
    void TearDown() override {
        std::memset(SongTable, 0, sizeof SongTable);
        songCount = 0;
        lastSongIndex = 0;
    }
    // Starts the song at index i (sequential order, as after a start).
    void startAt(std::uint32_t i) {
        playerState.lastIndex = static_cast<std::uint32_t>(songCount > 0 ? songCount - 1 : 0);
        playerState.currentIndex = i;
        playerState.randomIndex = static_cast<std::int32_t>(i);
        playerState.currentSong = &SongTable[i];
        startSong(h.thread);
    }
    // Ticks until no replacement waits for its open (a tick opens one song).
    // Returns the ticks it took.
    int finish() {
        int ticks = 0;
        while (playerState.startChain.pending && ticks < 2 * MaxSongs) {
            h.tick();
            ++ticks;
        }
        return ticks;
    }
    TickHarness h;
};

}  // namespace

// The open command quotes a path with a space (plain paths: the tests below),
// a failed length query reads as 0, the volume is the player's.
TEST_F(SongStartTest, StartSequence) {
    put(0, "/music/a b.mp3", "Title", 180000);
    songCount = 1;
    h.mci->replies["status song length"] = "";
    playerState.volume = 730;
    startAt(0);
    const std::vector<std::string> sequence = {
        "open \"/music/a b.mp3\" alias Song", "set song time format milliseconds", "set song seek exactly on",
        "status song length", "set song seek exactly off", "play song", "setaudio song volume to 730"};
    EXPECT_EQ(h.mci->commands, sequence);
    EXPECT_EQ(playerState.mciLengthMs, 0);
    EXPECT_EQ(h.thread.playerMode, PlayingSong);
}

// By the last three characters of the path (a shortcut by its target's):
// which tags are copied, and whether the song is timed by its stored
// duration. The seek ratio is the device's length over the stored duration
// when the device is longer by more than 5000 ms, else 1.0. "Unable to
// Play: %s" for a length of 0 only for the listed spellings (not aif, au,
// m4a), and the start goes on.
TEST_F(SongStartTest, StartByTypeTagsTimingRatioAndUnableToPlay) {
    struct Row {
        const char* path;
        const char* target;  // for shortcut entries: the target file's name
        std::int32_t duration;
        const char* deviceLength;
        bool tags;
        std::int32_t length;
        float ratio;
        bool unable;
    };
    // Timed by the stored 120 s or by the device's 150 s (a ratio of 1.25).
    auto byType = [](const char* path, const char* target, bool tags, bool byDuration) {
        return Row{path, target, 120000, "150000", tags, byDuration ? 120000 : 150000, byDuration ? 1.25f : 1.0f,
                   false};
    };
    const Row rows[] = {
        byType("a.mp3", nullptr, true, true),     byType("a.MP3", nullptr, true, true),
        byType("a.mP3", nullptr, true, true),     byType("a.wma", nullptr, true, true),
        byType("a.wMa", nullptr, true, true),     byType("a.Wma", nullptr, true, true),
        byType("a.m4a", nullptr, true, false),    byType("a.M4a", nullptr, true, false),
        byType("a.m4A", nullptr, true, false),    byType("a.wav", nullptr, false, false),
        byType("a.aif", nullptr, false, false),   byType("a.au", nullptr, false, false),
        byType("a.iff", nullptr, false, false),   byType("a.mpx", nullptr, false, false),
        byType("s.lnk", "t.mp3", true, true),     byType("s.LNK", "t.WMA", true, true),
        byType("s.Lnk", "t.m4a", true, false),    byType("s.LNk", "t.wav", false, false),
        // the ratio's bound
        {"a.mp3", nullptr, 100000, "105000", true, 100000, 1.0f, false},
        {"a.mp3", nullptr, 100000, "105001", true, 100000, 1.05001f, false},
        {"a.mp3", nullptr, 100000, "90000", true, 100000, 1.0f, false},
        {"a.mp3", nullptr, 0, "60000", true, 60000, 1.0f, false},  // no stored duration: the device times it
        // a length of 0
        {"a.iff", nullptr, 0, "0", false, 0, 1.0f, true},
        {"a.WAV", nullptr, 0, "0", false, 0, 1.0f, true},
        {"a.AIF", nullptr, 0, "0", false, 0, 1.0f, true},
        {"a.aif", nullptr, 0, "0", false, 0, 1.0f, false},
        {"a.au", nullptr, 0, "0", false, 0, 1.0f, false},
        {"a.m4a", nullptr, 0, "0", true, 0, 1.0f, false},
    };
    kestro::testing::TempDir dir;
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.path) + " " + std::to_string(r.duration) + " " + r.deviceLength);
        const std::string path = dir / r.path;
        if (r.target) {
            kestro::testing::writeFile(dir / r.target, "");
            std::filesystem::remove(path);
            std::filesystem::create_symlink(dir / r.target, path);
        }
        put(0, path, "Tagged", r.duration, "2008");
        songCount = 1;
        playerState.lengthRatio = 0.0f;
        h.mci->replies["status song length"] = r.deviceLength;
        h.log.clear();
        startAt(0);
        EXPECT_EQ(std::string(playerState.nowTitle), r.tags ? "Tagged" : "");
        EXPECT_EQ(std::string(playerState.nowYear), r.tags ? "2008" : "");
        EXPECT_EQ(playerState.lengthMs, r.length);
        EXPECT_EQ(playerState.endTime, static_cast<std::uint32_t>(r.length));
        EXPECT_FLOAT_EQ(playerState.lengthRatio, r.ratio);
        EXPECT_EQ(h.log, r.unable ? std::vector<std::string>{"Unable to Play: " + path} : std::vector<std::string>{});
        EXPECT_EQ(h.thread.playerMode, PlayingSong);
        if (r.target) {
            EXPECT_EQ(h.mci->opened().back(), dir / r.target);
        }
        closeSong(h.thread);
    }
}

TEST_F(SongStartTest, TitleMessageOnlyWhilePanelIsOff) {
    library(1);
    for (int displayOn : {0, 1}) {
        h.world.showMessage("", 0);
        playerState.displayOn = displayOn;
        startAt(0);
        const auto* message = h.world.currentMessage();
        EXPECT_EQ(message ? message->text : "none", displayOn ? "none" : "Song 0");
        closeSong(h.thread);
    }
}

// A song that cannot be played is reported and replaced: the next entry in
// sequential order (wrapping), a random draw in random order.
TEST_F(SongStartTest, ReplacementInBothOrders) {
    library(3);
    h.mci->unplayable.insert("/m/2.mp3");
    startAt(2);
    EXPECT_EQ(h.mci->opened(), (std::vector<std::string>{"/m/2.mp3"}));  // the replacement opens next tick
    EXPECT_EQ(h.mci->count("close song"), 1);
    EXPECT_EQ(finish(), 1);
    EXPECT_EQ(h.mci->opened(), (std::vector<std::string>{"/m/2.mp3", "/m/0.mp3"}));
    ASSERT_EQ(h.log.size(), 2u);
    EXPECT_EQ(h.log[1], "-/m/2.mp3");
    EXPECT_EQ(playerState.currentIndex, 0u);
    EXPECT_EQ(h.mci->count("close song"), 1);
    EXPECT_EQ(h.thread.playerMode, PlayingSong);

    closeSong(h.thread);
    h.mci->commands.clear();
    playerState.randomOn = 1;
    playerState.historyCount = 0;
    h.world.forceNextRandom(1);
    startAt(2);
    finish();
    EXPECT_EQ(h.mci->opened(), (std::vector<std::string>{"/m/2.mp3", "/m/1.mp3"}));
    EXPECT_EQ(playerState.randomIndex, 1);
    EXPECT_EQ(playerState.currentIndex, 2u);  // random draws leave the sequential place
    EXPECT_EQ(playerState.historyCount, 1);
    EXPECT_EQ(std::string(playerState.nowTitle), "Song 1");
}

// A chain of failures ends: the one-song library at once, a library of bad
// files once every entry has failed (in both orders), with "No Songs Found"
// and nothing playing.
TEST_F(SongStartTest, ReplacementChainsEnd) {
    struct Row {
        int songs;
        int randomOn;
    };
    for (const Row& r : {Row{1, 0}, Row{3, 0}, Row{3, 1}, Row{200, 1}}) {
        SCOPED_TRACE(std::to_string(r.songs) + (r.randomOn ? " random" : " sequential"));
        library(r.songs);
        for (int i = 0; i < r.songs; ++i) h.mci->unplayable.insert("/m/" + std::to_string(i) + ".mp3");
        h.mci->commands.clear();
        h.world.showMessage("", 0);
        playerState.randomOn = r.randomOn;
        startAt(0);
        EXPECT_EQ(finish(), r.songs - 1);  // one open per tick
        auto opened = h.mci->opened();
        EXPECT_EQ(opened.size(), static_cast<std::size_t>(r.songs));  // each bad file opened once
        std::sort(opened.begin(), opened.end());
        EXPECT_EQ(std::unique(opened.begin(), opened.end()), opened.end());
        ASSERT_NE(h.world.currentMessage(), nullptr);
        EXPECT_EQ(h.world.currentMessage()->text, "No Songs Found");
        EXPECT_EQ(playerState.songActive, 0);
        EXPECT_NE(h.thread.playerMode, PlayingSong);
        EXPECT_LE(playerState.historyCount, kHistorySize);
    }
}

// Entries that cannot be opened are replaced, each with its log line: a
// shortcut to a missing file, one to a folder (silently), a path too long for
// the open command; a shortcut to a file plays its target.
TEST_F(SongStartTest, EntriesReplacedAtStart) {
    kestro::testing::TempDir dir;
    kestro::testing::writeFile(dir / "real song.mp3", "");
    std::filesystem::create_directories(dir / "folder");
    std::filesystem::create_symlink(dir / "gone.mp3", dir / "missing.lnk");
    std::filesystem::create_symlink(dir / "folder", dir / "folder.lnk");
    std::filesystem::create_symlink(dir / "real song.mp3", dir / "good.lnk");
    const std::string longPath = "/" + std::string(1100, 'p') + ".mp3";
    put(0, dir / "missing.lnk");
    put(1, dir / "folder.lnk");
    put(2, longPath, "Long", 100000);
    put(3, dir / "good.lnk");
    songCount = 4;
    startAt(0);
    // The good shortcut's entry has no stored duration (the scan took no
    // tags for it): timed by that duration it gets 0 and says so.
    ASSERT_EQ(h.log.size(), 3u);
    EXPECT_EQ(h.log[0], "Original for Shortcut Not Found " + dir / "missing.lnk");
    EXPECT_EQ(h.log[1].rfind("Path Too Long To Play: /ppp", 0), 0u);
    EXPECT_EQ(h.log[2], "Unable to Play: " + dir / "good.lnk");
    EXPECT_EQ(h.mci->opened(), (std::vector<std::string>{"\"" + dir / "real song.mp3" + "\""}));
    EXPECT_EQ(playerState.currentIndex, 3u);
    EXPECT_EQ(h.thread.playerMode, PlayingSong);
}

// The start key's choice of the first song.
TEST_F(SongStartTest, StartPlaybackChoosesTheFirstSong) {
    lastSongIndex = -1;
    startPlayback(h.thread);  // no songs
    ASSERT_NE(h.world.currentMessage(), nullptr);
    EXPECT_EQ(h.world.currentMessage()->text, "No Songs Found");
    EXPECT_TRUE(h.mci->commands.empty());
    EXPECT_TRUE(h.radioCalls.empty());

    library(5);
    h.world.forceNextRandom(3);
    startPlayback(h.thread);  // first start: random even in sequential order
    EXPECT_EQ(playerState.currentIndex, 3u);
    EXPECT_EQ(playerState.randomIndex, 3);
    EXPECT_EQ(playerState.lastIndex, 4u);
    EXPECT_EQ(playerState.firstStart, 0);
    EXPECT_EQ(playerState.historyCount, 0);  // the first draw is not recorded
    EXPECT_EQ(h.radioCalls, (std::vector<std::string>{"DISABLE_FRONTEND_RADIO", "SET_MOBILE_PHONE_RADIO_STATE false",
                                                      "SET_MOBILE_RADIO_ENABLED_DURING_GAMEPLAY false"}));
    AdvanceTrack();  // then sequential from there
    SwitchToCurrentSong(h.thread);
    EXPECT_EQ(h.mci->opened().back(), "/m/4.mp3");
    closeSong(h.thread);
    startPlayback(h.thread);  // a later start replays the current song
    EXPECT_EQ(h.mci->opened().back(), "/m/4.mp3");
}

// Sequential order wraps both ways; random order walks back through its
// history, then restarts the current song; switching random off goes on from
// the sequential place.
TEST_F(SongStartTest, TrackSelection) {
    library(3);
    struct Step {
        std::uint32_t last, from;
        void (*move)();
        std::uint32_t to;
    };
    for (Step s : {Step{2, 2, &AdvanceTrack, 0}, Step{2, 0, &PreviousTrack, 2}, Step{2, 2, &PreviousTrack, 1},
                   Step{2, 1, &AdvanceTrack, 2}, Step{0, 0, &AdvanceTrack, 0}, Step{0, 0, &PreviousTrack, 0}}) {
        SCOPED_TRACE(std::to_string(s.last) + " " + std::to_string(s.from) + " -> " + std::to_string(s.to));
        playerState.lastIndex = s.last;
        playerState.currentIndex = s.from;
        s.move();
        EXPECT_EQ(playerState.currentIndex, s.to);
        EXPECT_EQ(playerState.currentSong, &SongTable[s.to]);
    }

    playerState.lastIndex = 2;
    playerState.currentIndex = 2;
    playerState.currentSong = &SongTable[2];
    playerState.randomOn = 1;
    playerState.historyCount = 0;
    SongEntry* before = playerState.currentSong;
    PreviousTrack();  // no draw to go back to: the current song again
    EXPECT_EQ(playerState.currentSong, before);
    h.world.forceNextRandom(0);
    AdvanceTrack();  // A = 0
    h.world.forceNextRandom(1);
    AdvanceTrack();  // B = 1
    EXPECT_EQ(playerState.historyCount, 2);
    PreviousTrack();
    EXPECT_EQ(playerState.currentSong, &SongTable[1]);  // B again
    PreviousTrack();
    EXPECT_EQ(playerState.currentSong, &SongTable[0]);  // then A
    EXPECT_EQ(playerState.historyCount, 0);
    EXPECT_EQ(playerState.currentIndex, 2u);  // random draws never move it
    playerState.randomOn = 0;
    AdvanceTrack();
    EXPECT_EQ(playerState.currentIndex, 0u);
}

// A full history drops its oldest draw; it never grows past its array.
TEST_F(SongStartTest, FullHistoryDropsTheOldestDraw) {
    library(3);
    playerState.lastIndex = 2;
    playerState.randomOn = 1;
    playerState.historyCount = kHistorySize;
    for (int i = 0; i < kHistorySize; ++i) playerState.history[i] = i % 3;
    h.world.forceNextRandom(2);
    AdvanceTrack();
    EXPECT_EQ(playerState.historyCount, kHistorySize);
    EXPECT_EQ(playerState.history[kHistorySize - 1], 2);
    EXPECT_EQ(playerState.history[0], 1);  // the old first entry (0) is gone
}

// A stop during a cutscene ends the cutscene's pause with the song: the next
// song starts playing (no "resume song" with the old times) and the panel is
// back as it was.
TEST_F(SongStartTest, StopDuringACutsceneLeavesNoPauseBehind) {
    library(2);
    startAt(0);
    h.world.startCutscene();
    h.tick();
    ASSERT_EQ(playerState.cutscenePaused, 1);
    ASSERT_EQ(playerState.displayOn, 0);
    closeSong(h.thread);  // the stop key's close
    EXPECT_EQ(playerState.cutscenePaused, 0);
    EXPECT_EQ(playerState.paused, 0);
    EXPECT_EQ(playerState.displayOn, 1);
    startAt(1);
    h.mci->commands.clear();
    h.world.endCutscene();
    h.tick();
    EXPECT_EQ(h.mci->count("resume song"), 0);
    EXPECT_EQ(playerState.endTime, 100000u);
}
