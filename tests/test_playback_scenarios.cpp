// Playback through the real host in scenario mode, with the scripted song
// device and stream player where exact command sequences matter.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestUtil.h"

using kestro::testing::HostRun;
using kestro::testing::runHost;
using kestro::testing::TempDir;
using kestro::testing::writeFile;

namespace {

// Expects `events` in the transcript in this order (other lines between),
// and none of `absent` after the last of them.
void expectInOrder(const HostRun& run, const std::vector<std::string>& events,
                   const std::vector<std::string>& absent) {
    int at = 0;
    for (const std::string& e : events) {
        const int found = run.find(e, at);
        ASSERT_GE(found, 0) << "missing, or out of order: " << e;
        at = found + 1;
    }
    for (const std::string& e : absent) EXPECT_LT(run.find(e, at), 0) << "after the last event: " << e;
}

// A scenario run through the host with the scripted devices, and the
// events it must produce in order ("{game}" stands for the game folder).
struct Row {
    const char* name;
    std::string ini;
    std::string scenario;
    std::vector<std::string> events;
    std::vector<std::string> absent;
};

void runRows(const std::vector<Row>& rows, const std::vector<std::string>& files = {}) {
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        TempDir game;
        for (const std::string& f : files) writeFile(game / f, "");
        writeFile(game / "Kestro.ini", "[Defaults]\n" + r.ini);
        HostRun run = runHost(game, r.scenario, "--mci scripted --stream scripted");
        ASSERT_EQ(run.status, 0);
        std::vector<std::string> events = r.events;
        for (std::string& e : events)
            if (std::size_t at = e.find("{game}"); at != std::string::npos) e.replace(at, 6, game.path());
        expectInOrder(run, events, r.absent);
    }
}

}  // namespace

// Scenarios of the song keys and song start with the scripted device: each
// row is a scenario after the start key (a one-song library of a wav file,
// timed by the device) and the events it must produce, in order.
TEST(PlaybackScenario, SongStartAndKeysWithTheScriptedDevice) {
    const std::string start = "mci reply status song length = 180000\ntick\npress X\ntick\n";
    const std::vector<Row> rows = {
        {"volume is sent after a failed play; the one song is no replacement",
         "",
         "mci fail play song = 296\ntick\npress X\ntick\n",
         {"mci 296 play song", "mci 0 setaudio song volume to 500",
          "log -{game}/Songs/a.wav",
          "message 5000 No Songs Found"},
         {"mci 0 close song"}},
        {"stop gives the radio back and discards the start key", "",
         start + "press MEDIA_STOP\npress X\ntick\ntick\n",
         {"key MEDIA_STOP 0x8001", "mci 0 close song",
          "radio ENABLE_FRONTEND_RADIO - station=RADIO_01 frontend=on phone=off gameplay=off",
          "radio RETUNE_RADIO_UP - station=RADIO_02 frontend=on phone=on gameplay=on"},
         {"mci 0 play song"}},
    };
    runRows(rows, {"Songs/a.wav"});
}

// The stream start through the host: the radio off in its order, the player
// set up with volume / 10, the fixed wait, the item played; both stops; a
// player that cannot be made.
TEST(PlaybackScenario, StreamStartAndStops) {
    const std::string url = "Url=http://127.0.0.1:9/radio\n";
    const std::vector<Row> rows = {
        {"start order and volume 999 -> 99", url + "Volume=999\n",
         "tick\npress T\ntick\npress X\ntick\n",
         {"message 5000 Url Enabled", "radio RETUNE_RADIO_TO_STATION_NAME OFF station=OFF frontend=on phone=off gameplay=off",
          "radio DISABLE_FRONTEND_RADIO - station=OFF frontend=off phone=off gameplay=off",
          "radio SET_MOBILE_PHONE_RADIO_STATE false station=OFF frontend=off phone=off gameplay=off",
          "radio SET_MOBILE_RADIO_ENABLED_DURING_GAMEPLAY false station=OFF frontend=off phone=off gameplay=off",
          "stream create", "stream loop 1", "stream autostart 1", "stream volume 99",
          "stream url http://127.0.0.1:9/radio", "stream play"},
         {}},
        {"volume 1000 -> 100; the stop key", url + "Volume=1000\n",
         "tick\npress T\ntick\npress X\ntick\npress MEDIA_STOP\ntick\n",
         {"stream volume 100", "stream play", "stream stop", "stream destroy",
          "radio ENABLE_FRONTEND_RADIO - station=OFF frontend=on phone=off gameplay=off",
          "radio SET_MOBILE_PHONE_RADIO_STATE true station=OFF frontend=on phone=on gameplay=off",
          "radio SET_MOBILE_RADIO_ENABLED_DURING_GAMEPLAY true station=OFF frontend=on phone=on gameplay=on",
          "radio RETUNE_RADIO_UP - station=RADIO_01 frontend=on phone=on gameplay=on"},
         {}},
        {"on foot with OnFootEnabled 0: stopped, no retune", url + "OnFootEnabled=0\n",
         "vehicle 7\ntick\npress T\ntick\npress X\ntick\nfoot\ntick\n",
         {"stream play", "stream stop", "stream destroy",
          "radio ENABLE_FRONTEND_RADIO - station=OFF frontend=on phone=off gameplay=off"},
         {"radio RETUNE_RADIO_UP - station=RADIO_01 frontend=on phone=off gameplay=off",
          "radio SET_MOBILE_PHONE_RADIO_STATE true station=OFF frontend=on phone=on gameplay=off"}},
        {"empty Url: nothing at all", "",
         "tick\npress T\ntick\npress X\ntick\n",
         {"key X 0x8001"},
         {"stream create", "radio DISABLE_FRONTEND_RADIO - station=RADIO_01 frontend=off phone=off gameplay=off"}},
        {"a player that cannot be made: logged, idle, radio back", url,
         "stream fail-create\ntick\npress T\ntick\npress X\ntick\n",
         {"stream create failed", "log Stream Player Not Available: http://127.0.0.1:9/radio",
          "radio ENABLE_FRONTEND_RADIO - station=OFF frontend=on phone=off gameplay=off"},
         {"stream play"}},
    };
    runRows(rows);
}

TEST(PlaybackScenario, ScriptedLinesNeedTheScriptedDevices) {
    TempDir game;
    EXPECT_EQ(runHost(game, "mci reply status song length = 5\n", "--mci none").status, 1);
    EXPECT_EQ(runHost(game, "stream duration 5\n", "--mci scripted").status, 1);
    EXPECT_EQ(runHost(game, "mci bogus\n", "--mci scripted").status, 1);
    EXPECT_EQ(runHost(game, "stream duration -1\n", "--stream scripted").status, 1);
    EXPECT_EQ(runHost(game, "mci fail play song = x\n", "--mci scripted").status, 1);
}
