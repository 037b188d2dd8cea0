// The keys of PlayingSong and PlayingStream, and the now-playing panel, run
// through the real tick against the simulated game and a recording device.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "TickHarness.h"
#include "plugin/InfoPanel.h"

using namespace kestro;
using kestro::testing::startFakeSong;
using kestro::testing::TickHarness;

namespace {

// "x y text" for each text drawn this frame, with the style checked.
std::vector<std::string> frame(const TickHarness& h) {
    std::vector<std::string> out;
    for (const host::DrawnText& d : h.world.frameTexts()) {
        EXPECT_TRUE(d.hasScale && d.scaleX == 0.22f && d.scaleY == 0.22f) << d.text;
        EXPECT_TRUE(d.hasShadow && d.shadowA == 0.3f && d.shadowB == 0.22f && !d.shadowFlags[0] &&
                    !d.shadowFlags[1] && d.shadowFlags[2])
            << d.text;
        char xy[64];
        std::snprintf(xy, sizeof xy, "%g %g ", d.x, d.y);
        out.push_back(xy + d.text);
    }
    return out;
}

}  // namespace

// The two seeks: the device moves 2000 ms, the times move 2000 / ratio.
TEST(SongKeys, SeeksMoveDeviceAndTimes) {
    struct Row {
        bool forward;
        float ratio;
        const char* position;
        const char* command;  // nullptr: nothing is played from anywhere
        std::int32_t timesMove;
    };
    const Row rows[] = {
        {true, 1.0f, "30000", "play song from 32000", -2000},
        {true, 1.25f, "30000", "play song from 32000", -1600},
        {false, 1.0f, "30000", "play song from 28000", 2000},
        {false, 1.25f, "30000", "play song from 28000", 1600},
        {false, 1.0f, "2001", nullptr, 0},
        {true, 1.0f, "2001", nullptr, 0},
        {true, 2.0f, "1000", nullptr, 0},  // not above 2001 / 2
        {true, 2.0f, "1002", "play song from 3002", -1000},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.forward ? "forward " : "back ") + r.position);
        TickHarness h;
        startFakeSong(h, 180000);
        playerState.lengthRatio = r.ratio;
        h.mci->replies["status song position wait"] = r.position;
        const std::uint32_t end = playerState.endTime;
        const std::int32_t start = playerState.startTime;
        h.keyboard.press(r.forward ? playerState.FforwardKey : playerState.FrewindKey);
        h.tick();
        EXPECT_EQ(h.mci->count("set song time format milliseconds"), 1);
        EXPECT_EQ(h.mci->commands.back(), r.command ? r.command : "status song position wait");
        EXPECT_EQ(static_cast<std::int32_t>(playerState.endTime - end), r.timesMove);
        EXPECT_EQ(playerState.startTime - start, r.timesMove);
        EXPECT_EQ(playerState.vehicleWatch, 1);
    }
}

// A failing command of a seek or the pause key is reported, ends the tick,
// and leaves what was changed before it.
TEST(SongKeys, FailuresAreReportedAndEndTheTick) {
    struct Row {
        const char* failing;
        int key;  // 0 forward, 1 pause, 2 resume
    };
    for (Row r : {Row{"set song time format milliseconds", 0}, Row{"status song position wait", 0},
                  Row{"play song from 32000", 0}, Row{"pause song", 1}, Row{"resume song", 2}}) {
        SCOPED_TRACE(r.failing);
        TickHarness h;
        startFakeSong(h, 180000);
        playerState.lengthRatio = 1.0f;
        playerState.currentSong = &SongTable[0];
        std::strcpy(SongTable[0].path, "/m/a.mp3");
        h.mci->replies["status song position wait"] = "30000";
        h.mci->failures[r.failing] = platform::MCIERR_HARDWARE;
        if (r.key == 2) {
            playerState.paused = 1;
            playerState.running = 0;
            playerState.elapsedMs = 40000;
        }
        h.keyboard.press(r.key == 0 ? playerState.FforwardKey : playerState.PauseKey);
        if (r.key == 0) h.keyboard.press(playerState.DisplayKey);  // would act if the tick went on
        h.tick();
        EXPECT_EQ(h.log, (std::vector<std::string>{"There is a problem with your media device. Make sure it is "
                                                   "working correctly or contact the device manufacturer.",
                                                   "-/m/a.mp3"}));
        EXPECT_EQ(playerState.displayOn, 1);
        EXPECT_EQ(playerState.paused, r.key == 2 ? 1 : 0);  // a failed pause leaves it playing
        // The resume recomputed the times before it failed.
        if (r.key == 2) {
            EXPECT_EQ(playerState.endTime, 140000u);
        }
        std::memset(&SongTable[0], 0, sizeof SongTable[0]);
    }
}

TEST(SongKeys, VolumeTables) {
    struct Row {
        bool up;
        const char* level;
        std::int32_t result;  // -1: unchanged, nothing sent
    };
    const Row rows[] = {{true, "500", 600},   {true, "0", 100},     {true, "74", 100},    {true, "75", 200},
                        {true, "974", 1000},  {true, "975", -1},    {true, "980", -1},    {true, "-5", -1},
                        {false, "500", 400},  {false, "111", 100},  {false, "110", -1},   {false, "100", -1},
                        {false, "1000", 900}, {false, "1001", -1},  {false, "junk", -1}, {true, "junk", 100}};
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.up ? "up " : "down ") + r.level);
        TickHarness h;
        startFakeSong(h, 180000);
        h.mci->replies["status song volume"] = r.level;
        playerState.volume = 321;
        h.keyboard.press(r.up ? playerState.VolumeUpKey : playerState.VolumeDownKey);
        h.tick();
        EXPECT_EQ(playerState.volume, r.result < 0 ? 321 : r.result);
        EXPECT_EQ(h.mci->commands.back(),
                  r.result < 0 ? std::string("status song volume")
                               : "setaudio song volume to " + std::to_string(r.result));
    }
}

TEST(SongKeys, OneKeyPerTickAndControl) {
    TickHarness h;
    startFakeSong(h, 180000);
    h.keyboard.press(playerState.DisplayKey);
    h.keyboard.press(playerState.RandomKey);
    h.tick();
    EXPECT_EQ(playerState.displayOn, 0);
    EXPECT_EQ(playerState.randomOn, 0);  // its press waits
    h.tick();
    EXPECT_EQ(playerState.randomOn, 1);

    // Without control the seeks still act, the other keys do not.
    h.world.setControl(false);
    playerState.lengthRatio = 1.0f;
    h.mci->replies["status song position wait"] = "30000";
    h.keyboard.press(playerState.FforwardKey);
    h.tick();
    EXPECT_EQ(h.mci->commands.back(), "play song from 32000");
    h.keyboard.press(playerState.StopKey);
    h.tick();
    EXPECT_EQ(h.thread.playerMode, PlayingSong);
    h.world.setControl(true);
    h.tick();  // the stop press was never queried: it acts now
    EXPECT_EQ(h.thread.playerMode, Idle);
    EXPECT_EQ(h.mci->commands.back(), "close song");
}

TEST(SongKeys, PauseAndResumeRecomputeTheTimes) {
    TickHarness h;
    startFakeSong(h, 180000);
    h.waitMs(60000);  // the panel refreshes elapsedMs
    h.keyboard.press(playerState.PauseKey);
    h.tick();
    EXPECT_EQ(playerState.paused, 1);
    EXPECT_EQ(playerState.running, 0);
    EXPECT_EQ(playerState.endTime, PausedEndTime);
    const std::int32_t elapsed = playerState.elapsedMs;
    h.waitMs(5000);
    h.keyboard.press(playerState.PauseKey);
    h.tick();
    EXPECT_EQ(playerState.paused, 0);
    EXPECT_EQ(playerState.running, 1);
    EXPECT_EQ(playerState.endTime, static_cast<std::uint32_t>(180000 - elapsed));
    EXPECT_EQ(playerState.startTime, static_cast<std::int32_t>(h.world.gameTime()) - elapsed);
    EXPECT_EQ(h.mci->count("pause song"), 1);
    EXPECT_EQ(h.mci->count("resume song"), 1);

    // Seeking while paused does nothing and ends the tick.
    h.keyboard.press(playerState.PauseKey);
    h.tick();
    h.keyboard.press(playerState.FforwardKey);
    h.keyboard.press(playerState.DisplayKey);
    h.tick();
    EXPECT_EQ(h.mci->count("set song time format milliseconds"), 0);
    EXPECT_EQ(playerState.displayOn, 1);
}

// Stream volume moves in steps of 10 from the player's level, without asking for control.
TEST(StreamKeys, VolumeSteps) {
    struct Row {
        bool up;
        int level;
        int result;  // -1 unchanged
    };
    for (Row r : {Row{false, 10, 0}, Row{true, 100, -1}, Row{true, 0, 10}, Row{true, 95, -1}, Row{false, 0, -1}}) {
        SCOPED_TRACE(std::to_string(r.level));
        TickHarness h;
        h.thread.playerMode = PlayingStream;
        playerState.streamActive = 1;
        h.stream->setVolume(r.level);
        h.stream->ops.clear();
        playerState.volume = 321;
        h.world.setControl(false);  // stream keys do not ask
        h.keyboard.press(r.up ? playerState.VolumeUpKey : playerState.VolumeDownKey);
        h.tick();
        EXPECT_EQ(playerState.volume, r.result < 0 ? 321 : 10 * r.result);
        EXPECT_EQ(h.stream->ops.empty(), r.result < 0);
    }
}

TEST(Panel, TimeTexts) {
    struct Row {
        std::uint32_t ms;
        const char* text;
    };
    for (Row r : {Row{0, "00:00:00"}, Row{999, "00:00:00"}, Row{3723000, "01:02:03"}, Row{90000000, "01:00:00"},
                  Row{86399999, "23:59:59"}, Row{0xFFFFFFFFu, "17:02:47"}}) {
        char text[kTimeTextSize];
        formatPanelTime(text, r.ms);
        EXPECT_STREQ(text, r.text) << r.ms;
    }
}

// The rows of the song panel, at their places, labels before values; a row
// whose tag is empty leaves its place empty.
TEST(Panel, SongRowsPausedHiddenAndStream) {
    TickHarness h;
    startFakeSong(h, 180000);
    std::strcpy(playerState.nowArtist, "Quay Band");
    std::strcpy(playerState.nowTitle, "Harbour Lights");
    std::strcpy(playerState.nowAlbum, "Docks");
    std::strcpy(playerState.nowYear, "2011");
    playerState.randomOn = 1;
    h.waitMs(61000);
    EXPECT_EQ(frame(h), (std::vector<std::string>{
                            "0.63 0.04 Time Played:", "0.75 0.04 00:01:01", "0.63 0.06 Artist:", "0.75 0.06 Quay Band",
                            "0.63 0.08 Title:", "0.75 0.08 Harbour Lights", "0.63 0.1 Album:", "0.75 0.1 Docks",
                            "0.63 0.12 Year:", "0.75 0.12 2011", "0.63 0.14 Time Remaining:", "0.75 0.14 00:01:59",
                            "0.63 0.16 Volume:", "0.75 0.16 500", "0.63 0.18 Random On"}));
    playerState.nowArtist[0] = playerState.nowTitle[0] = playerState.nowAlbum[0] = playerState.nowYear[0] = '\0';
    playerState.randomOn = 0;
    h.tick();
    EXPECT_EQ(frame(h), (std::vector<std::string>{"0.63 0.04 Time Played:", "0.75 0.04 00:01:01",
                                                  "0.63 0.14 Time Remaining:", "0.75 0.14 00:01:58",
                                                  "0.63 0.16 Volume:", "0.75 0.16 500"}));

    // Paused, the times stand still while a volume change shows; Display 2
    // draws nothing; the stream panel has no remaining time and no random row.
    playerState.paused = 1;
    playerState.volume = 700;
    h.waitMs(5000);
    const auto f = frame(h);
    EXPECT_EQ(f[1], "0.75 0.04 00:01:01");
    EXPECT_EQ(f.back(), "0.75 0.16 700");
    playerState.paused = 0;
    playerState.displayOn = 2;
    h.waitMs(3000);
    EXPECT_TRUE(h.world.frameTexts().empty());

    TickHarness s;
    s.thread.playerMode = PlayingStream;
    playerState.streamActive = 1;
    playerState.randomOn = 1;
    playerState.startTime = static_cast<std::int32_t>(s.world.gameTime());
    std::strcpy(playerState.nowTitle, "Live");
    s.waitMs(2000);
    EXPECT_EQ(frame(s), (std::vector<std::string>{"0.63 0.04 Time Played:", "0.75 0.04 00:00:02", "0.63 0.08 Title:",
                                                  "0.75 0.08 Live", "0.63 0.14 Volume:", "0.75 0.14 500"}));
}

// The stream's timing: a start waits its fixed 1000 ms; a duration becomes
// the length in ms, a zero one keeps the last song's times, and a length the
// player learns only after the start (or a move) is taken when it comes.
TEST(StreamTiming, DurationInMsZeroKeepsLengthLearnedLater) {
    struct Row {
        double atStart;
        double later;
        std::int32_t lengthAtStart;
        std::int32_t lengthLater;
    };
    for (Row r : {Row{12.5, 12.5, 12500, 12500}, Row{0, 0, 180000, 180000}, Row{0, 7.9999, 180000, 7999}}) {
        SCOPED_TRACE(r.later);
        TickHarness h;
        std::strcpy(playerState.streamUrl, "http://127.0.0.1:9/radio");
        playerState.urlEnabled = 1;
        playerState.lengthMs = 180000;  // the last song's
        playerState.endTime = 180000;
        h.stream->duration = r.atStart;
        h.keyboard.press(StartKey);
        h.tick();
        EXPECT_EQ(h.sleeps, (std::vector<std::uint32_t>{1000}));
        EXPECT_EQ(playerState.lengthMs, r.lengthAtStart);
        h.stream->duration = r.later;
        h.tick();
        EXPECT_EQ(playerState.lengthMs, r.lengthLater);
        EXPECT_EQ(playerState.endTime, static_cast<std::uint32_t>(r.lengthLater));
        // A move refreshes again: startTime restarts at the move.
        h.waitMs(1000);
        h.stream->duration = 3.0;
        h.keyboard.press(playerState.NextKey);
        h.tick();
        EXPECT_EQ(playerState.lengthMs, 3000);
        EXPECT_EQ(playerState.startTime, static_cast<std::int32_t>(h.world.gameTime()));
    }
}
