// Playback through the real host in scenario mode, with the scripted song
// device and stream player where exact command sequences matter.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "MpvTestMedia.h"
#include "TestUtil.h"

using kestro::testing::HostRun;
using kestro::testing::runHost;
using kestro::testing::TempDir;
using kestro::testing::writeFile;

namespace {

// Whether transcript line `i` is `event`: the line itself, or with a "~"
// prefix a line that contains the rest.
bool matches(const HostRun& run, int i, const std::string& event) {
    const std::string& line = run.lines[static_cast<std::size_t>(i)];
    if (!event.empty() && event[0] == '~') return line.find(event.substr(1)) != std::string::npos;
    return line == event;
}

int findFrom(const HostRun& run, const std::string& event, int from, int to) {
    for (int i = from; i < to; ++i)
        if (matches(run, i, event)) return i;
    return -1;
}

// Expects `events` in the transcript in this order (other lines between),
// and none of `absent` after the last of them. An event may start with
// "@T " (it happens at game time T, or up to 100 ms later), and
// then "!" (it must not happen between the events before and after it) or
// "~" (a line that contains it).
void expectInOrder(const HostRun& run, const std::vector<std::string>& events,
                   const std::vector<std::string>& absent) {
    const int end = static_cast<int>(run.lines.size());
    int at = 0;
    std::vector<std::string> between;
    for (std::string e : events) {
        long time = -1;
        if (e[0] == '@') {
            time = std::atol(e.c_str() + 1);
            e = e.substr(e.find(' ') + 1);
        }
        if (e[0] == '!') {
            between.push_back(e.substr(1));
            continue;
        }
        const int found = findFrom(run, e, at, end);
        ASSERT_GE(found, 0) << "missing, or out of order: " << e;
        for (const std::string& b : between) EXPECT_LT(findFrom(run, b, at, found), 0) << "before " << e << ": " << b;
        between.clear();
        if (time >= 0) {
            EXPECT_GE(run.times[static_cast<std::size_t>(found)], time) << e;
            EXPECT_LE(run.times[static_cast<std::size_t>(found)], time + 100) << e;
        }
        at = found + 1;
    }
    for (const std::string& e : absent) EXPECT_LT(findFrom(run, e, at, end), 0) << "after the last event: " << e;
}

// A scenario run through the host with the scripted devices, and the
// events it must produce in order ("{game}" stands for the game folder, in
// the scenario and the events). Files named with a length are tones made by
// a real encoder; the others are empty.
struct Row {
    const char* name;
    std::string ini;
    std::string scenario;
    std::vector<std::string> events;
    std::vector<std::string> absent;
};

void replaceGame(std::string& text, const std::string& game) {
    for (std::size_t at; (at = text.find("{game}")) != std::string::npos;) text.replace(at, 6, game);
}

struct File {
    std::string name;
    double seconds = 0;  // 0: an empty file
};

void runRows(const std::vector<Row>& rows, const std::vector<File>& files = {}) {
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        TempDir game;
        for (const File& f : files) {
            kestro::testing::makeDirs(std::filesystem::path(game / f.name).parent_path());
            if (f.seconds > 0) ASSERT_TRUE(kestro::testing::makeTone(game / f.name, 440, f.seconds));
            else writeFile(game / f.name, "");
        }
        writeFile(game / "Kestro.ini", "[Defaults]\n" + r.ini);
        std::string scenario = r.scenario;
        replaceGame(scenario, game.path());
        HostRun run = runHost(game, scenario, "--mci scripted --stream scripted");
        ASSERT_EQ(run.status, 0);
        std::vector<std::string> events = r.events;
        for (std::string& e : events) replaceGame(e, game.path());
        std::vector<std::string> absent = r.absent;
        for (std::string& e : absent) replaceGame(e, game.path());
        expectInOrder(run, events, absent);
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
    runRows(rows, {{"Songs/a.wav"}});
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

// The game-following rules and the start chain, each a scenario with the
// scripted devices. Tick N runs at game time 20 N.
TEST(PlaybackScenario, FollowingTheGameAndReplacingSongs) {
    const std::string unplayable =
        "mci unplayable {game}/Songs/a.wav\nmci unplayable {game}/Songs/b.wav\nmci unplayable {game}/Songs/c.wav\n";
    const std::string length = "mci reply status song length = 10000\n";
    const std::vector<Row> rows = {
        {"a failing chain opens one song per tick, then gives the radio back", "",
         unplayable + "tick\nrandom 0\npress X\ntick 4\n",
         {"@40 mci 0 open {game}/Songs/a.wav alias Song", "@40 mci 296 play song", "@40 log -{game}/Songs/a.wav",
          "@40 mci 0 close song", "@60 mci 0 open {game}/Songs/b.wav alias Song", "@60 mci 296 play song",
          "@80 mci 0 open {game}/Songs/c.wav alias Song", "@80 mci 296 play song",
          "@80 message 5000 No Songs Found", "@80 ~radio ENABLE_FRONTEND_RADIO",
          "@80 ~radio SET_MOBILE_RADIO_ENABLED_DURING_GAMEPLAY true"},
         {"~mci 0 open", "~radio RETUNE_RADIO_UP"}},
        {"the stop key while a replacement waits abandons the start", "",
         unplayable + "tick\nrandom 0\npress X\ntick\npress MEDIA_STOP\ntick 3\n",
         {"@40 mci 296 play song", "@60 key MEDIA_STOP 0x8001", "@60 ~radio ENABLE_FRONTEND_RADIO",
          "@60 ~radio RETUNE_RADIO_UP"},
         {"~mci 0 open", "message 5000 No Songs Found"}},
        {"on foot while a replacement waits (OnFootEnabled 0): stopped, resting", "OnFootEnabled=0\n",
         unplayable + "vehicle 7\ntick\nrandom 0\npress X\ntick\nfoot\ntick\npress X\ntick 3\n",
         {"@40 mci 296 play song", "@60 ~radio ENABLE_FRONTEND_RADIO"},
         {"~mci 0 open", "~radio RETUNE_RADIO_UP", "key X 0x8001"}},
        {"a start key press while a replacement waits is used up", "",
         length + "mci unplayable {game}/Songs/a.wav\ntick\nrandom 0\npress X\ntick\npress X\ntick\ntick 3\n",
         {"@40 mci 296 play song", "@60 key X 0x8001", "@60 mci 0 open {game}/Songs/b.wav alias Song",
          "@60 mci 0 play song"},
         {"~mci 0 open"}},
        {"a random chain ends though the generator never yields the last index", "",
         unplayable + "tick\npress R\ntick\nrandom 0\nrandom 0\nrandom 0\nrandom 0\npress X\ntick 4\n",
         {"@60 mci 0 open {game}/Songs/a.wav alias Song", "@80 mci 0 open {game}/Songs/b.wav alias Song",
          "@100 mci 0 open {game}/Songs/c.wav alias Song", "@100 message 5000 No Songs Found"},
         {"~mci 0 open"}},
        {"a draw outside the library (a faulty game) counts as the first song", "",
         length + "tick\nrandom-force 7\npress X\ntick\n",
         {"@40 random 0 2 7", "@40 mci 0 open {game}/Songs/a.wav alias Song", "@40 mci 0 play song"},
         {}},
        {"a resume with the panel hidden times the rest from the pause", "Display=0\n",
         length + "tick\nrandom 0\npress X\ntick\nwait 4000\npress MEDIA_PLAY_PAUSE\ntick\nwait 1000\n"
                  "press MEDIA_PLAY_PAUSE\ntick\nwait 7000\n",
         {"@40 mci 0 play song", "@4060 mci 0 pause song", "@5080 mci 0 resume song", "!mci 0 close song",
          "@11080 mci 0 close song"},
         {}},
        {"a pause made during the pause menu's fade stays after it", "",
         length + "tick\nrandom 0\npress X\ntick\nfading on\ntick 2\npress MEDIA_PLAY_PAUSE\ntick\nfading off\n"
                  "tick 3\npress MEDIA_PLAY_PAUSE\ntick\n",
         {"mci 0 pause song", "key MEDIA_PLAY_PAUSE 0x8001", "mci 0 pause song", "scenario fading off",
          "!mci 0 resume song", "scenario press MEDIA_PLAY_PAUSE", "mci 0 resume song"},
         {}},
        {"a cutscene that starts during the fade keeps its pause after it", "",
         length + "tick\nrandom 0\npress X\ntick\nfading on\ntick\ncutscene start\ntick\nfading off\ntick 3\n"
                  "cutscene end\ntick\n",
         {"mci 0 pause song", "scenario cutscene start", "mci 0 pause song", "scenario fading off",
          "!mci 0 resume song", "scenario cutscene end", "mci 0 resume song"},
         {}},
        {"a failing one-song library gives the radio back", "",
         "mci unplayable {game}/Songs/a.wav\ntick\npress X\ntick\n",
         {"mci 296 play song", "message 5000 No Songs Found", "~radio ENABLE_FRONTEND_RADIO"},
         {"~radio RETUNE_RADIO_UP"}},
        {"a song that fails after its start is reported and replaced in the tick that learns it", "",
         length + "mci fail-later {game}/Songs/a.wav = 296\ntick\nrandom 0\npress X\ntick\ntick 2\n",
         {"@40 mci 0 open {game}/Songs/a.wav alias Song", "@40 mci 0 play song", "@60 mci 296 (late failure)",
          "@60 log -{game}/Songs/a.wav", "@60 mci 0 close song", "@60 mci 0 open {game}/Songs/b.wav alias Song",
          "@60 mci 0 play song"},
         {"mci 296 (late failure)", "~mci 0 open"}},
        {"a one-song library whose song fails later closes it and gives the radio back", "",
         length + "mci fail-later {game}/Songs/a.wav = 296\ntick\npress X\ntick\ntick 2\n",
         {"@40 mci 0 play song", "@60 mci 296 (late failure)", "@60 log -{game}/Songs/a.wav",
          "@60 message 5000 No Songs Found", "@60 ~radio ENABLE_FRONTEND_RADIO", "@60 mci 0 close song"},
         {"~mci 0 open", "mci 296 (late failure)"}},
    };
    runRows({rows[0], rows[1], rows[2], rows[3], rows[4], rows[5], rows[10]},
            {{"Songs/a.wav"}, {"Songs/b.wav"}, {"Songs/c.wav"}});
    runRows({rows[6], rows[7], rows[8], rows[9], rows[11]}, {{"Songs/a.wav"}});

    // Previous in random order with nothing to go back to restarts the
    // current song with its own stored length (b's, 21 s for a 20 s file),
    // not the last drawn one's (a's, 11 s): b is closed 21 s after its
    // restart.
    runRows({{"random previous with an empty history restarts with the song's own length", "",
              "tick\nrandom 0\npress X\ntick\npress MEDIA_NEXT_TRACK\ntick\npress R\ntick\n"
              "press MEDIA_PREV_TRACK\ntick\nwait 22000\n",
              {"@60 mci 0 open {game}/Songs/b.mp3 alias Song", "@100 mci 0 open {game}/Songs/b.mp3 alias Song",
               "!mci 0 close song", "@21100 mci 0 close song"},
              {}}},
            {{"Songs/a.mp3", 10.0}, {"Songs/b.mp3", 20.0}});

    // The stream: a new entry starts with empty texts (the last album is
    // not the new entry's); a player that cannot be made gives the radio
    // back as the stream's stop does, and says so.
    const std::string url = "Url=http://127.0.0.1:9/radio\n";
    runRows({{"the next entry's texts start empty", url,
              "stream tag Title = One\nstream tag WM/AlbumTitle = Album1\ntick\npress T\ntick\npress X\ntick 3\n"
              "screen\nstream untag WM/AlbumTitle\npress MEDIA_NEXT_TRACK\ntick 3\nscreen\n",
              {"~Album1", "scenario press MEDIA_NEXT_TRACK", "~One"},
              {"~Album"}},
             {"a player that cannot be made: message and the radio retuned", url,
              "stream fail-create\ntick\npress T\ntick\npress X\ntick\n",
              {"stream create failed", "log Stream Player Not Available: http://127.0.0.1:9/radio",
               "message 5000 Stream Not Available", "~radio ENABLE_FRONTEND_RADIO", "~radio RETUNE_RADIO_UP"},
              {"stream play"}}});
}
