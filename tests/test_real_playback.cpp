// Playback end to end: the real kestro-host with the real plug-in and the
// libmpv song device, on game folders of real audio files made at test
// time; what it did is read from the transcript and from a WAV capture.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "MpvTestMedia.h"
#include "TestUtil.h"
#include "platform/audio/Mci.h"
#include "platform/system/Text.h"

using namespace kestro::testing;

namespace {

struct Song {
    std::string name;
    int hz;
    double seconds;
    std::string tags;  // ffmpeg -metadata arguments, for mp3 and m4a
};

// A game folder whose Songs hold `songs`, tones made by ffmpeg.
void makeGame(const TempDir& game, const std::vector<Song>& songs) {
    makeDirs(game / "Songs");
    for (const Song& s : songs) {
        const std::string path = game / ("Songs/" + s.name);
        const std::string codec =
            kestro::platform::endsWith(path, ".m4a") ? "-c:a aac -b:a 128k -f ipod" : "-c:a libmp3lame -b:a 128k";
        ASSERT_TRUE(s.tags.empty() ? makeTone(path, s.hz, s.seconds)
                                   : runQuiet("ffmpeg -nostdin -v error -y -f lavfi -i 'sine=frequency=" +
                                              std::to_string(s.hz) + ":duration=" + std::to_string(s.seconds) +
                                              ":sample_rate=44100' -af volume=0.5 -ac 2 " + codec + " " + s.tags +
                                              " '" + path + "'"))
            << s.name;
    }
}

// The number after "=> " in the first line that starts with `prefix`, or -1.
long replyTo(const HostRun& run, const std::string& prefix) {
    for (const std::string& l : run.lines)
        if (l.rfind(prefix, 0) == 0 && l.find("=> ") != std::string::npos) return std::atol(l.c_str() + l.find("=> ") + 3);
    return -1;
}

}  // namespace

// A song starts with its tags on the panel and the device's length, and the
// capture holds its tone. One row per kind of file: timed by its stored
// duration (mp3), by the device (m4a, wav), with and without tags.
TEST(RealPlayback, ASongStartsWithItsTagsLengthAndTone) {
    struct Row {
        Song song;
        std::vector<std::string> panel;  // texts the screen shows
        std::vector<std::string> notOnPanel;
    };
    const std::vector<Row> rows = {
        {{"harbour.mp3", 440, 8.0, "-metadata title='Harbour Lights' -metadata artist='Quay Band' "
                                   "-metadata album=Docks -metadata date=2011"},
         {"Harbour Lights", "Quay Band", "Docks", "2011"},
         {}},
        {{"dusk.m4a", 660, 5.0, "-metadata title=Sunset -metadata artist=Dusk"}, {"Sunset", "Dusk"}, {}},
        {{"plain.wav", 880, 3.0, ""}, {"Time Played:"}, {"Artist:", "Title:"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.song.name);
        TempDir game, out;
        makeGame(game, {row.song});
        const HostRun run = runHost(game, "vehicle 7\ntick\npress X\nwait 1500\nscreen\npress MEDIA_STOP\nwait 100\n",
                                    "--audio 'pcm:" + (out / "capture.wav") + "' --realtime");
        ASSERT_EQ(run.status, 0);
        EXPECT_NEAR(replyTo(run, "mci 0 status song length"), row.song.seconds * 1000, 50);
        EXPECT_TRUE(run.has("mci 0 play song"));
        std::string screen;
        for (const std::string& l : run.lines)
            if (l.rfind("screen ", 0) == 0) screen += l + "\n";
        for (const std::string& text : row.panel) EXPECT_NE(screen.find(text), std::string::npos) << text << "\n" << screen;
        for (const std::string& text : row.notOnPanel) EXPECT_EQ(screen.find(text), std::string::npos) << text;

        // The capture holds the 1.5 s played, in the song's tone: never
        // more, and less only by the time the output takes to start after
        // "play song" (a few hundred ms on a loaded machine, more under the
        // sanitizers).
        const WavCapture w = readWavCapture(out / "capture.wav");
        EXPECT_TRUE(w.headerValid);
        double toneSeconds = 0;
        for (const Stretch& st : stretches(w))
            if (std::abs(st.hz - row.song.hz) < 4) toneSeconds += st.seconds;
        EXPECT_GE(toneSeconds, 0.75) << describe(stretches(w));
        EXPECT_LE(toneSeconds, 1.75) << describe(stretches(w));
    }
}

// A song that cannot be played is replaced by the next one, with the report
// of the failure's platform text, then "-" and the path. Noise under a
// song's name fails its open: the "play song" after it fails (no device is
// open) and its error is reported. A file whose header passes the device's
// checks (an mp3's first frames, its length stated) followed by noise opens
// and plays, then fails while it loads: that failure is reported when the
// device learns it, in a later tick, and the next song plays. (A file gone
// since the scan differs only in the open's code, which is the device's
// test.)
TEST(RealPlayback, AnUnplayableSongIsReportedAndTheNextOnePlays) {
    using namespace kestro::platform;
    std::string noise(60000, '\0');
    unsigned seed = 99;
    for (char& c : noise) c = static_cast<char>((seed = seed * 1103515245 + 12345) >> 16);
    const struct {
        const char* name;
        std::size_t headerBytes;  // kept from the real song before the noise
        std::string failure;      // the transcript's line of the failure
    } rows[] = {
        {"noise", 0, "mci " + std::to_string(MCIERR_INVALID_DEVICE_NAME) + " play song"},
        {"a header, then noise", 2000, "mci " + std::to_string(MCIERR_INVALID_FILE) + " (late failure)"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TempDir game;
        makeGame(game, {{"a.mp3", 440, 3.0, ""}, {"b.wav", 880, 3.0, ""}});
        const std::string bad = game / "Songs/a.mp3";
        writeFile(bad, readFile(bad).substr(0, row.headerBytes) + noise);
        const HostRun run =
            runHost(game, "vehicle 7\ntick\nrandom 0\npress X\ntick\nwait 2500\n", "--audio null --realtime");
        ASSERT_EQ(run.status, 0);
        std::string transcript;
        for (const std::string& l : run.lines) transcript += l + "\n";
        const int open = run.find("mci " + std::to_string(row.headerBytes ? 0 : MCIERR_INVALID_FILE) + " open " + bad +
                                  " alias Song");
        ASSERT_GE(open, 0) << transcript;
        const int failure = run.find(row.failure, open);
        ASSERT_GE(failure, 0) << transcript;
        const MciError code = row.headerBytes ? MCIERR_INVALID_FILE : MCIERR_INVALID_DEVICE_NAME;
        const int report = run.find(std::string("log ") + mciStandardErrorText(code), failure);
        ASSERT_GE(report, 0) << transcript;
        EXPECT_EQ(run.lines[static_cast<std::size_t>(report) + 1], "log -" + bad);
        const int next = run.find("mci 0 open " + game / "Songs/b.wav" + " alias Song", report);
        ASSERT_GE(next, 0) << transcript;
        EXPECT_GE(run.find("mci 0 play song", next), 0);
        EXPECT_LT(run.find("message 5000 No Songs Found"), 0);
    }
}

// One run with the real-time capture: start, pause, resume, a seek forward,
// the end of the song, the next song, a volume step, stop. The capture holds
// what was asked, in order: the first tone, silence while paused, the first
// tone again for the time the seek left of it, the second tone, louder after
// the volume step, then nothing. (The keys' seek targets are the key tests';
// the device's positions after pause and seek are the device's tests.)
TEST(RealPlayback, ARealTimeCaptureHoldsWhatWasAsked) {
    TempDir game, out;
    // Both timed by the device (an mp3 is timed by its stored duration, a
    // second longer than the file, so a second of silence would follow it).
    makeGame(game, {{"a.wav", 440, 6.0, ""}, {"b.wav", 880, 8.0, ""}});
    const std::string scenario =
        "vehicle 7\ntick\nrandom 0\npress X\nwait 2500\n"
        "press MEDIA_PLAY_PAUSE\nwait 1000\npress MEDIA_PLAY_PAUSE\nwait 500\n"
        "press NUMPAD3\nwait 2000\n"  // at 3 s, +2 s: a ends 1 s later; b starts
        "press NUMPAD9\nwait 1000\n"  // volume 500 -> 600
        "press MEDIA_STOP\nwait 1000\n";
    const std::string capture = out / "capture.wav";
    ASSERT_EQ(runHost(game, scenario, "--audio 'pcm:" + capture + "' --realtime").status, 0);

    const WavCapture w = readWavCapture(capture);
    ASSERT_TRUE(w.headerValid);
    std::vector<Stretch> s = stretches(w);
    // Leading silence (from the host's start to the song's) does not count.
    if (!s.empty() && s.front().hz == 0) s.erase(s.begin());
    ASSERT_GE(s.size(), 6u) << describe(s);
    struct Expected {
        double hz;
        double peak;     // the tones are made at 0.5; volume 500 halves them
        double seconds;  // 0: at least 0.5 s, to the end
    };
    const Expected expected[] = {
        {440, 0.25, 2.5}, {0, 0, 1.0}, {440, 0.25, 1.5}, {880, 0.25, 1.0}, {880, 0.30, 1.0}, {0, 0, 0},
    };
    for (std::size_t i = 0; i < 6; ++i) {
        SCOPED_TRACE("stretch " + std::to_string(i) + describe(s));
        EXPECT_NEAR(s[i].hz, expected[i].hz, 8);
        EXPECT_NEAR(s[i].peak, expected[i].peak, 0.02);
        if (expected[i].seconds > 0) EXPECT_NEAR(s[i].seconds, expected[i].seconds, 0.3);
        else EXPECT_GE(s[i].seconds, 0.5);
    }
    EXPECT_EQ(s.size(), 6u) << "nothing may follow the stop" << describe(s);
}

// With the panel hidden (nothing refreshes the played time), a pause and
// its resume still time the rest of the song from what it had played: the
// next song starts when the paused song's audio ends. A stale played time
// would start it seconds late (or never); the next song's own load may
// leave a moment of silence on a loaded machine, no more.
TEST(RealPlayback, AResumeWithThePanelHiddenEndsTheSongWhenItsAudioEnds) {
    TempDir game, out;
    makeGame(game, {{"a.wav", 440, 4.0, ""}, {"b.wav", 880, 3.0, ""}});
    writeFile(game / "Kestro.ini", "[Defaults]\nDisplay=0\n");
    const std::string scenario =
        "vehicle 7\ntick\nrandom 0\npress X\nwait 2000\n"
        "press MEDIA_PLAY_PAUSE\nwait 1000\npress MEDIA_PLAY_PAUSE\nwait 3500\n"
        "press MEDIA_STOP\nwait 500\n";
    const std::string capture = out / "capture.wav";
    ASSERT_EQ(runHost(game, scenario, "--audio 'pcm:" + capture + "' --realtime").status, 0);
    const WavCapture w = readWavCapture(capture);
    ASSERT_TRUE(w.headerValid);
    std::vector<Stretch> s = stretches(w);
    if (!s.empty() && s.front().hz == 0) s.erase(s.begin());
    // A short silence between the two songs is the next one's load.
    if (s.size() > 3 && s[3].hz == 0 && s[3].seconds < 0.6) s.erase(s.begin() + 3);
    ASSERT_GE(s.size(), 4u) << describe(s);
    const double hz[] = {440, 0, 440, 880};
    const double seconds[] = {2.0, 1.0, 2.0, 1.5};
    for (std::size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE("stretch " + std::to_string(i) + describe(s));
        EXPECT_NEAR(s[i].hz, hz[i], 8);
        // The last song runs until the stop: however late it started, it
        // played at least a second.
        if (i < 3) EXPECT_NEAR(s[i].seconds, seconds[i], 0.3);
        else EXPECT_GE(s[i].seconds, 1.0);
    }
    EXPECT_LT(s[3].start - (s[2].start + s[2].seconds), 0.6) << describe(s);
}

// Six files of zeros named .mp3 (a preallocated download): each is tried in
// order with its two log lines, one per tick (the content check refuses
// each at once, and a tick opens one song at most), then the start ends
// with "No Songs Found".
TEST(RealPlayback, AChainOfUnplayableFilesIsTriedOneSongPerTick) {
    using namespace kestro::platform;
    TempDir game;
    makeDirs(game / "Songs");
    for (int i = 1; i <= 6; ++i) {
        const std::string path = game / ("Songs/" + std::to_string(i) + ".mp3");
        writeFile(path, "");
        ASSERT_EQ(::truncate(path.c_str(), 100 << 20), 0);
    }
    const HostRun run = runHost(game, "tick\nrandom 0\npress X\ntick 8\n", "--audio null");
    ASSERT_EQ(run.status, 0);
    int at = 0;
    for (int i = 1; i <= 6; ++i) {
        SCOPED_TRACE(i);
        const std::string path = game / ("Songs/" + std::to_string(i) + ".mp3");
        const int open = run.find("mci " + std::to_string(MCIERR_INVALID_FILE) + " open " + path + " alias Song", at);
        ASSERT_GE(open, 0);
        EXPECT_EQ(run.ticks[static_cast<std::size_t>(open)], 1 + i);
        const int report = run.find("log -" + path, open);
        ASSERT_GE(report, 0);
        EXPECT_EQ(run.ticks[static_cast<std::size_t>(report)], 1 + i);
        at = report;
    }
    const int end = run.find("message 5000 No Songs Found", at);
    ASSERT_GE(end, 0);
    EXPECT_EQ(run.ticks[static_cast<std::size_t>(end)], 7);
}
