// The script tick against the host's simulated game: on foot, pause menu,
// cutscenes, radio, vehicle watch, the panel step, the rest period and the
// mode dispatch.
#include <gtest/gtest.h>

#include <algorithm>

#include "TestUtil.h"
#include "TickHarness.h"
#include "game/Natives.h"

using namespace kestro;
using kestro::testing::startFakeSong;
using kestro::testing::TickHarness;

namespace {

bool contains(const std::vector<std::string>& v, const std::string& s) {
    return std::find(v.begin(), v.end(), s) != v.end();
}

}  // namespace

// ---- on foot --------------------------------------------------------------

TEST(ScriptTickOnFoot, SongStopsWithinOneTickAndRestsFor2501Ms) {
    TickHarness h;
    playerState.OnFootEnabled = 0;
    h.world.enterVehicle(7);
    h.tick();
    startFakeSong(h, 180000);
    playerState.vehicleWatch = 1;
    h.tick();
    EXPECT_EQ(h.mci->count("close song"), 0);

    h.world.leaveVehicle();
    h.tick();
    EXPECT_EQ(h.mci->count("close song"), 1);
    EXPECT_EQ(h.thread.playerMode, Resting);
    EXPECT_EQ(playerState.songActive, 0);
    EXPECT_EQ(playerState.vehicleWatch, 0);
    EXPECT_TRUE(contains(h.radioCalls, "ENABLE_FRONTEND_RADIO"));
    // OnFootEnabled is 0: the mobile radio is not given back.
    EXPECT_FALSE(contains(h.radioCalls, "SET_MOBILE_PHONE_RADIO_STATE true"));

    // Resting: no keys are polled until timer A passes 2500.
    h.keyQueries = 0;
    h.keyboard.press(StartKey);
    std::uint32_t restStart = h.world.gameTime();
    while (h.world.gameTime() - restStart < 2500) {
        h.tick();
        if (h.world.gameTime() - restStart <= 2500) {
            EXPECT_EQ(h.thread.playerMode, Resting) << h.world.gameTime() - restStart;
        }
    }
    EXPECT_EQ(h.keyQueries, 0);
    h.tick();  // timer A now 2520 > 2500
    EXPECT_EQ(h.thread.playerMode, Idle);
    // The start key's pending press was read once and thrown away.
    EXPECT_GE(h.keyQueries, 1);
    EXPECT_FALSE(h.keyboard.pending(StartKey));
}

TEST(ScriptTickOnFoot, RestEndsAtExactly2501NotAt2500) {
    TickHarness h(1);  // 1 ms ticks to see the boundary
    playerState.OnFootEnabled = 0;
    startFakeSong(h, 180000);
    h.tick();  // on foot from the start: stops now, timer A reset
    ASSERT_EQ(h.thread.playerMode, Resting);
    h.ticks(2500);  // timer A reads 2500 on the last of these
    EXPECT_EQ(h.thread.playerMode, Resting);
    h.tick();  // 2501
    EXPECT_EQ(h.thread.playerMode, Idle);
}

TEST(ScriptTickOnFoot, OnFootAllowedChangesNothing) {
    TickHarness h;
    playerState.OnFootEnabled = 1;
    startFakeSong(h, 180000);
    h.ticks(10);
    EXPECT_EQ(h.mci->count("close song"), 0);
    EXPECT_EQ(h.thread.playerMode, PlayingSong);
    EXPECT_EQ(playerState.songActive, 1);
}

TEST(ScriptTickOnFoot, StreamStopsOnFootAndGivesRadioBack) {
    TickHarness h;
    playerState.OnFootEnabled = 0;
    playerState.streamActive = 1;
    playerState.vehicleWatch = 1;
    h.thread.playerMode = PlayingStream;
    h.tick();
    EXPECT_EQ(h.stream->count("stop"), 1);
    EXPECT_EQ(h.stream->count("destroy"), 1);
    EXPECT_EQ(playerState.streamActive, 0);
    EXPECT_EQ(playerState.vehicleWatch, 0);
    EXPECT_EQ(h.thread.playerMode, Resting);
    EXPECT_TRUE(contains(h.radioCalls, "ENABLE_FRONTEND_RADIO"));
}

// ---- pause menu -----------------------------------------------------------

// The fade pauses a song on the song device and the stream on its player
// alike; each row runs the same ticks on one of them.
struct Playing {
    const char* what;
    void (*start)(TickHarness&);
    int (*pauses)(const TickHarness&);
    int (*resumes)(const TickHarness&);
};

const Playing kPlaying[] = {
    {"song", [](TickHarness& h) { startFakeSong(h, 180000); },
     [](const TickHarness& h) { return h.mci->count("pause song"); },
     [](const TickHarness& h) { return h.mci->count("resume song"); }},
    {"stream",
     [](TickHarness& h) {
         playerState.streamActive = 1;
         h.thread.playerMode = PlayingStream;
     },
     [](const TickHarness& h) { return h.stream->count("pause"); },
     [](const TickHarness& h) { return h.stream->count("play"); }},
};

TEST(ScriptTickPauseMenu, FadingPausesOnceAndResumesAfter) {
    for (const Playing& p : kPlaying) {
        SCOPED_TRACE(p.what);
        TickHarness h;
        p.start(h);
        h.world.setFading(true);
        h.ticks(3);
        EXPECT_EQ(p.pauses(h), 1);
        EXPECT_EQ(playerState.fadePaused, 1);
        h.world.setFading(false);
        h.tick();
        EXPECT_EQ(p.resumes(h), 1);
        EXPECT_EQ(playerState.fadePaused, 0);
        h.ticks(3);
        EXPECT_EQ(p.resumes(h), 1);
    }
}

// Paused by its own key: a fade neither pauses it nor resumes it at its
// end; a fade's flag left over goes at the end all the same.
TEST(ScriptTickPauseMenu, FadeWhilePausedByKeyLeavesItPaused) {
    for (const Playing& p : kPlaying) {
        for (const bool leftOver : {false, true}) {
            SCOPED_TRACE(std::string(p.what) + (leftOver ? ", fade flag left over" : ""));
            TickHarness h;
            p.start(h);
            playerState.paused = 1;
            playerState.fadePaused = leftOver;
            h.world.setFading(!leftOver);
            h.tick();
            EXPECT_EQ(playerState.fadePaused, 0);
            h.tick();
            h.world.setFading(false);
            h.ticks(2);
            EXPECT_EQ(p.pauses(h), 0);
            EXPECT_EQ(p.resumes(h), 0);
            EXPECT_EQ(playerState.fadePaused, 0);
        }
    }
}

TEST(ScriptTickPauseMenu, FailingPauseIsReportedEndsTickAndIsRetried) {
    TickHarness h;
    startFakeSong(h, 180000);
    std::snprintf(SongTable[0].path, sizeof SongTable[0].path, "/songs/a.mp3");
    playerState.currentSong = &SongTable[0];
    playerState.rescanPending = 1;  // would run in step 4 if the tick went on
    h.mci->failures["pause song"] = platform::MCIERR_INVALID_DEVICE_NAME;
    h.world.setFading(true);
    h.tick();
    ASSERT_EQ(h.log.size(), 2u);
    EXPECT_EQ(h.log[0], platform::mciStandardErrorText(platform::MCIERR_INVALID_DEVICE_NAME));
    EXPECT_EQ(h.log[1], "-/songs/a.mp3");
    EXPECT_EQ(playerState.fadePaused, 0);
    EXPECT_EQ(playerState.rescanPending, 1);  // the tick ended before the scan
    h.tick();
    EXPECT_EQ(h.mci->count("pause song"), 2);  // tried again while the fade lasts
    SongTable[0] = SongEntry{};
}

TEST(ScriptTickPauseMenu, FailingResumeKeepsFadePaused) {
    TickHarness h;
    startFakeSong(h, 180000);
    h.world.setFading(true);
    h.tick();
    h.mci->failures["resume song"] = platform::MCIERR_HARDWARE;
    h.world.setFading(false);
    h.tick();
    EXPECT_EQ(playerState.fadePaused, 1);
    EXPECT_EQ(h.log.size(), 2u);
    h.mci->failures.clear();
    h.tick();
    EXPECT_EQ(playerState.fadePaused, 0);
}

TEST(ScriptTickPauseMenu, FadeEndingAfterStopResumesNothing) {
    TickHarness h;
    startFakeSong(h, 180000);
    h.world.setFading(true);
    h.tick();
    ASSERT_EQ(playerState.fadePaused, 1);
    // The stop key closes the song; closing clears fadePaused.
    playerState.songActive = 0;
    playerState.fadePaused = 0;
    h.thread.playerMode = Idle;
    h.world.setFading(false);
    h.tick();
    EXPECT_EQ(h.mci->count("resume song"), 0);
}

// ---- cutscenes ------------------------------------------------------------

TEST(ScriptTickCutscene, PausesAtStartHidesPanelAndRestoresAtEnd) {
    TickHarness h;
    startFakeSong(h, 180000);
    h.waitMs(1000);
    std::int32_t elapsedBefore = playerState.elapsedMs;
    EXPECT_GT(elapsedBefore, 0);
    h.world.startCutscene();
    h.tick();
    EXPECT_EQ(h.mci->count("pause song"), 1);
    EXPECT_EQ(playerState.cutscenePaused, 1);
    EXPECT_EQ(playerState.endTime, PausedEndTime);
    EXPECT_EQ(playerState.running, 0);
    EXPECT_EQ(playerState.paused, 1);
    EXPECT_EQ(playerState.displayOn, 0);
    EXPECT_EQ(playerState.panelHiddenByCutscene, 1);
    std::int32_t elapsedAtPause = playerState.elapsedMs;

    h.ticks(50);  // the cutscene time grows past 1: no second pause
    EXPECT_EQ(h.mci->count("pause song"), 1);
    h.radioCalls.clear();
    h.world.endCutscene();
    h.tick();
    EXPECT_EQ(h.mci->count("resume song"), 1);
    EXPECT_EQ(h.radioCalls,
              (std::vector<std::string>{"DISABLE_FRONTEND_RADIO", "SET_MOBILE_PHONE_RADIO_STATE false",
                                        "SET_MOBILE_RADIO_ENABLED_DURING_GAMEPLAY false"}));
    EXPECT_EQ(playerState.cutscenePaused, 0);
    EXPECT_EQ(playerState.paused, 0);
    EXPECT_EQ(playerState.running, 1);
    EXPECT_EQ(playerState.displayOn, 1);
    EXPECT_EQ(playerState.panelHiddenByCutscene, 0);
    EXPECT_EQ(playerState.endTime, static_cast<std::uint32_t>(180000 - elapsedAtPause));
    EXPECT_EQ(playerState.startTime,
              static_cast<std::int32_t>(h.world.gameTime()) - elapsedAtPause);
}

TEST(ScriptTickCutscene, PanelOffStaysOff) {
    TickHarness h;
    startFakeSong(h, 180000);
    playerState.displayOn = 0;
    h.world.startCutscene();
    h.tick();
    EXPECT_EQ(playerState.displayOn, 0);
    EXPECT_EQ(playerState.panelHiddenByCutscene, 0);
    h.world.endCutscene();
    h.tick();
    EXPECT_EQ(playerState.displayOn, 0);
}

TEST(ScriptTickCutscene, IgnoresMciFailuresAndPausesStreamToo) {
    TickHarness h;
    startFakeSong(h, 180000);
    h.mci->failures["pause song"] = platform::MCIERR_HARDWARE;
    h.world.startCutscene();
    h.tick();
    EXPECT_EQ(playerState.cutscenePaused, 1);
    EXPECT_TRUE(h.log.empty());

    TickHarness s;
    playerState.streamActive = 1;
    s.thread.playerMode = PlayingStream;
    s.world.startCutscene();
    s.tick();
    EXPECT_EQ(s.stream->count("pause"), 1);
    s.world.endCutscene();
    s.tick();
    EXPECT_EQ(s.stream->count("play"), 1);
    EXPECT_EQ(playerState.cutscenePaused, 0);
}

// ---- radio and vehicle ----------------------------------------------------

TEST(ScriptTickRadio, RetuningIsSwitchedOffInTheSameTick) {
    TickHarness h;
    startFakeSong(h, 180000);
    h.world.retuneNextTick();
    h.tick();
    EXPECT_TRUE(contains(h.radioCalls, "RETUNE_RADIO_TO_STATION_NAME OFF"));
    EXPECT_EQ(h.world.radio().station, host::GameWorld::kRadioOff);
    h.radioCalls.clear();
    h.tick();
    EXPECT_TRUE(h.radioCalls.empty());
}

TEST(ScriptTickRadio, NothingPlayingLeavesRadioAlone) {
    TickHarness h;
    h.world.retuneNextTick();
    h.tick();
    EXPECT_TRUE(h.radioCalls.empty());
}

TEST(ScriptTickVehicle, OtherVehicleForcesRadioOffEveryTick) {
    TickHarness h;
    startFakeSong(h, 180000);
    playerState.vehicleWatch = 1;
    playerState.startVehicle = 5;
    h.world.enterVehicle(5);
    h.ticks(3);
    EXPECT_TRUE(h.radioCalls.empty());
    h.world.enterVehicle(9);
    h.ticks(3);
    EXPECT_EQ(std::count(h.radioCalls.begin(), h.radioCalls.end(),
                         "RETUNE_RADIO_TO_STATION_NAME OFF"),
              3);
    EXPECT_EQ(playerState.currentVehicle, 9);
    // Without the watch nothing happens.
    h.radioCalls.clear();
    playerState.vehicleWatch = 0;
    h.ticks(2);
    EXPECT_TRUE(h.radioCalls.empty());
}

// ---- panel step and timing ------------------------------------------------

TEST(ScriptTickTiming, TheTimingExample) {
    TickHarness h;
    // A song of 180000 ms starts at game time T.
    h.tick();
    std::uint32_t T = h.world.gameTime();
    startFakeSong(h, 180000);
    EXPECT_EQ(playerState.endTime, 180000u);
    h.waitMs(60000);
    EXPECT_EQ(h.world.gameTime(), T + 60000);
    EXPECT_EQ(playerState.elapsedMs, 60000);

    // A pause (here: a cutscene) and its resume.
    h.world.startCutscene();
    h.tick();
    EXPECT_EQ(playerState.endTime, PausedEndTime);
    h.waitMs(5000);
    h.world.endCutscene();
    h.tick();
    std::uint32_t resumeAt = h.world.gameTime();
    // The pause takes the time played when it paused (one tick after the
    // last panel refresh): 60020, and 119980 ms remain.
    std::int32_t e = playerState.elapsedMs;
    EXPECT_EQ(e, 60020);
    EXPECT_EQ(playerState.endTime, 119980u);
    EXPECT_EQ(playerState.endTime, static_cast<std::uint32_t>(180000 - e));
    EXPECT_EQ(playerState.startTime, static_cast<std::int32_t>(resumeAt) - e);

    // The song counts as over once timer A passes the new endTime.
    std::uint32_t endAt = playerState.endTime;
    while (h.world.gameTime() - resumeAt < endAt) {
        h.tick();
        ASSERT_EQ(h.mci->count("close song"), 0) << h.world.gameTime() - resumeAt;
    }
    h.tick();
    EXPECT_EQ(h.mci->count("close song"), 1);
}

TEST(ScriptTickPanel, ElapsedRefreshedOnlyWhenPanelShownAndNotPaused) {
    TickHarness h;
    startFakeSong(h, 180000);
    h.waitMs(200);
    EXPECT_EQ(playerState.elapsedMs, 200);
    playerState.displayOn = 0;
    h.waitMs(200);
    EXPECT_EQ(playerState.elapsedMs, 200);
    playerState.displayOn = 2;  // anything but 1 hides the panel
    h.waitMs(200);
    EXPECT_EQ(playerState.elapsedMs, 200);
    playerState.displayOn = 1;
    playerState.paused = 1;
    h.waitMs(200);
    EXPECT_EQ(playerState.elapsedMs, 200);
    playerState.paused = 0;
    h.tick();
    EXPECT_EQ(playerState.elapsedMs, 820);
}

// ---- mode dispatch ----------------------------------------------------------

TEST(ScriptTickModes, StreamModeReadsTagsAndSetsVehicleWatch) {
    TickHarness h;
    playerState.streamActive = 1;
    h.thread.playerMode = PlayingStream;
    std::snprintf(playerState.nowAlbum, sizeof playerState.nowAlbum, "kept");
    h.stream->tags["Title"] = "Song on air";
    h.stream->tags["Author"] = "Some DJ";
    h.tick();
    EXPECT_STREQ(playerState.nowTitle, "Song on air");
    EXPECT_STREQ(playerState.nowArtist, "Some DJ");
    EXPECT_STREQ(playerState.nowAlbum, "kept");
    EXPECT_EQ(playerState.vehicleWatch, 1);
}

TEST(ScriptTickModes, UnknownModeDoesNothingAfterPanel) {
    TickHarness h;
    h.thread.playerMode = 7;
    h.keyboard.press(StartKey);
    h.ticks(3);
    EXPECT_EQ(h.thread.playerMode, 7);
    EXPECT_EQ(h.keyQueries, 0);
    EXPECT_TRUE(h.mci->commands.empty());
}

TEST(ScriptTickModes, SongOverAfterEndTimeSwitchesSongAndEndsTick) {
    TickHarness h;
    startFakeSong(h, 1000);
    h.waitMs(1000);  // timer A == 1000: not yet over
    EXPECT_EQ(h.mci->count("close song"), 0);
    h.tick();
    // Closed, then the next song (here the current one again) started.
    EXPECT_EQ(h.mci->count("close song"), 1);
    EXPECT_EQ(h.mci->count("play song"), 1);
    EXPECT_EQ(h.mci->commands.front(), "close song");
    EXPECT_EQ(h.thread.playerMode, PlayingSong);
}

TEST(ScriptTickScan, FirstTickScansOnceAndReadsUrl) {
    kestro::testing::TempDir dir;
    kestro::testing::ScopedCwd cwd(dir.path());
    TickHarness h;
    kestro::testing::writeFile(dir / "Kestro.ini", "[Defaults]\nUrl=http://127.0.0.1:8000/live\n");
    playerState.rescanPending = 1;
    h.tick();
    EXPECT_STREQ(playerState.streamUrl, "http://127.0.0.1:8000/live");
    EXPECT_EQ(h.log, (std::vector<std::string>{"No Shortcutdir in ini"}));
    kestro::testing::writeFile(dir / "Kestro.ini", "[Defaults]\nUrl=changed\n");
    h.ticks(3);  // no second scan, no second read
    EXPECT_STREQ(playerState.streamUrl, "http://127.0.0.1:8000/live");
    EXPECT_EQ(playerState.rescanPending, 0);
    EXPECT_EQ(songCount, 0);
    EXPECT_EQ(lastSongIndex, -1);
}
