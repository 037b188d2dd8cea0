// The MCI song device on libmpv: its command parser, real files of every
// format made at test time, a WAV capture of what it played, bad input and a
// stalled output.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mpv/client.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <clocale>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "MpvTestMedia.h"
#include "TestUtil.h"
#include "platform/audio/AudioBackEnds.h"
#include "platform/audio/Mci.h"
#include "platform/audio/mpv/MpvMciDevice.h"
#include "platform/audio/mpv/MpvStreamPlayer.h"
#include "platform/files/Paths.h"

using namespace kestro::platform;
using kestro::testing::eventually;
using kestro::testing::nullOutput;
using kestro::testing::TempDir;
using Clock = std::chrono::steady_clock;

namespace {

constexpr double kToneSeconds = 1.5;
const char* const kFormats[] = {"mp3", "wav", "wma", "m4a", "aif", "au"};

struct Reply {
    MciError rc;
    std::string text;
};

Reply send(MciInterpreter& d, const std::string& command, unsigned size = 128) {
    std::vector<char> buf(size ? size : 1, 'x');
    MciError rc = d.send(command.c_str(), size ? buf.data() : nullptr, size);
    return {rc, size ? std::string(buf.data()) : std::string()};
}

long number(MciInterpreter& d, const std::string& command) { return std::atol(send(d, command).text.c_str()); }

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Runs `f` with LC_NUMERIC in a locale whose numbers differ from "C" (which
// libmpv refuses), then back in "C". False when that locale cannot be built.
bool withCommaDecimalLocale(const std::function<void()>& f) {
    TempDir locales;
    if (!kestro::testing::runQuiet("localedef -i de_DE -f UTF-8 '" + (locales / "de_DE.UTF-8") + "'")) return false;
    const char* old = std::getenv("LOCPATH");
    const std::string saved = old ? old : "";
    setenv("LOCPATH", locales.path().c_str(), 1);
    const bool set = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr;
    if (set) f();
    std::setlocale(LC_NUMERIC, "C");
    if (old) setenv("LOCPATH", saved.c_str(), 1);
    else unsetenv("LOCPATH");
    return set;
}

class MpvMci : public ::testing::Test {
public:
    static void SetUpTestSuite() {
        std::setlocale(LC_NUMERIC, "C");
        media_ = new TempDir;
        for (const char* ext : kFormats) {
            ASSERT_TRUE(kestro::testing::makeTone(*media_ / (std::string("tone.") + ext), 440, kToneSeconds)) << ext;
        }
        ASSERT_TRUE(kestro::testing::makeTone(*media_ / "long.mp3", 440, 6.0));
        ASSERT_TRUE(kestro::testing::makeTone(*media_ / "high.wav", 880, 1.0));
    }
    static void TearDownTestSuite() {
        delete media_;
        media_ = nullptr;
    }
    static std::string file(const std::string& name) { return *media_ / name; }
    static std::string openCommand(const std::string& path) { return "open \"" + path + "\" alias Song"; }

protected:
    static TempDir* media_;
    kestro::testing::DiagnosticLog log_;
};
TempDir* MpvMci::media_ = nullptr;

// --- parser -------------------------------------------------------------------

TEST_F(MpvMci, EveryCommandFormItsErrorsAndBoundedReplies) {
    auto d = makeMpvMciDevice(nullOutput());
    // Before the open no command finds the device, and none replies.
    for (const char* command : {"status song length", "status song position wait", "status song volume", "play song",
                                "play song from 0", "pause song", "resume song", "setaudio song volume to 5",
                                "set song time format milliseconds", "set song seek exactly on", "close song"}) {
        Reply r = send(*d, command);
        EXPECT_EQ(r.rc, MCIERR_INVALID_DEVICE_NAME) << command;
        EXPECT_EQ(r.text, "") << command;
    }
    ASSERT_EQ(send(*d, openCommand(file("tone.wav"))).rc, 0u);
    struct Case {
        const char* command;
        MciError rc;
    } cases[] = {
        {"set song time format milliseconds", 0}, {"SET SONG TIME FORMAT MS", 0}, {"set Song seek exactly on", 0},
        {"set sOnG seek exactly off", 0}, {"status song length", 0}, {"status song position wait", 0},
        {"status song position", 0}, {"status song volume", 0}, {"  status\tsong   volume  ", 0}, {"play song", 0},
        {"pause song", 0}, {"resume song", 0}, {"play song from 100", 0}, {"Play SONG From 0", 0},
        {"setaudio song volume to 0", 0}, {"setaudio song volume to 1000", 0},
        {"", MCIERR_MISSING_COMMAND_STRING}, {"   ", MCIERR_MISSING_COMMAND_STRING},
        {"fly song", MCIERR_UNRECOGNIZED_COMMAND}, {"stop song", MCIERR_UNRECOGNIZED_COMMAND},
        {"play", MCIERR_MISSING_DEVICE_NAME}, {"play other", MCIERR_INVALID_DEVICE_NAME},
        {"play songs", MCIERR_INVALID_DEVICE_NAME}, {"play song now", MCIERR_UNRECOGNIZED_KEYWORD},
        {"pause song now", MCIERR_UNRECOGNIZED_KEYWORD}, {"set song", MCIERR_MISSING_PARAMETER},
        {"set song colour red", MCIERR_UNRECOGNIZED_KEYWORD}, {"set song time format frames", MCIERR_BAD_TIME_FORMAT},
        {"set song time format", MCIERR_MISSING_PARAMETER}, {"set song seek exactly maybe", MCIERR_BAD_CONSTANT},
        {"status song", MCIERR_MISSING_PARAMETER}, {"status song colour", MCIERR_UNRECOGNIZED_KEYWORD},
        {"status song length now", MCIERR_UNRECOGNIZED_KEYWORD}, {"play song from", MCIERR_MISSING_PARAMETER},
        {"play song from -5", MCIERR_BAD_INTEGER}, {"play song from 12x", MCIERR_BAD_INTEGER},
        {"play song from 99999999999", MCIERR_BAD_INTEGER}, {"play song from 2000000", MCIERR_OUTOFRANGE},
        {"play song to 5", MCIERR_UNRECOGNIZED_KEYWORD}, {"setaudio song volume to 1001", MCIERR_OUTOFRANGE},
        {"setaudio song volume to -1", MCIERR_BAD_INTEGER}, {"setaudio song volume to loud", MCIERR_BAD_INTEGER},
        {"setaudio song volume 5", MCIERR_MISSING_PARAMETER}, {"setaudio song bass to 5", MCIERR_UNRECOGNIZED_KEYWORD},
        {"status \"song", MCIERR_NO_CLOSING_QUOTE}, {"status \"song\"x length", MCIERR_EXTRA_CHARACTERS},
        {"status \"song\" length", 0}, {"open x alias song", MCIERR_DUPLICATE_ALIAS},
        {"open x alias SONG", MCIERR_DUPLICATE_ALIAS}, {"open x alias other", MCIERR_DEVICE_OPEN},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(send(*d, c.command).rc, c.rc) << '"' << c.command << '"';
    }
    // A reply is cut to the caller's buffer, or not written without one.
    const std::string full = send(*d, "status song length").text;
    ASSERT_EQ(full.size(), 4u);  // 1500
    for (unsigned size : {1u, 2u, 3u, 4u, 5u, 6u}) {
        Reply r = send(*d, "status song length", size);
        EXPECT_EQ(r.rc, 0u);
        EXPECT_EQ(r.text, full.substr(0, size - 1)) << size;
    }
    EXPECT_EQ(d->send("status song volume", nullptr, 0), 0u);
    char text[8];
    EXPECT_TRUE(d->errorText(MCIERR_INVALID_FILE, text, sizeof text));
    EXPECT_EQ(std::string(text), "The spe");
    EXPECT_EQ(send(*d, "close SONG").rc, 0u);
    EXPECT_EQ(send(*d, "close song").rc, MCIERR_INVALID_DEVICE_NAME);
}

// Quoted and bare paths, Windows paths through the drive map, and paths a
// mishandled quote would cut.
TEST_F(MpvMci, OpenPathQuotingAndDriveMap) {
    TempDir dir;
    const std::string plain = dir / "plain.wav";
    const std::string spaced = dir / "with space %s %d.wav";
    std::filesystem::copy_file(file("tone.wav"), plain);
    std::filesystem::copy_file(file("tone.wav"), spaced);
    // Decoys a cut path could reach if a quote were mishandled.
    std::filesystem::copy_file(file("tone.wav"), dir / "a");
    std::filesystem::copy_file(file("tone.wav"), dir / "a\"b.wav");
    // A path of more than 1000 characters (each component under NAME_MAX).
    std::string deep = dir.path();
    while (deep.size() < 1000) deep += "/" + std::string(200, 'd');
    std::filesystem::create_directories(deep);
    std::filesystem::copy_file(file("tone.wav"), deep + "/long name.wav");
    std::filesystem::create_directories(dir / "music");
    std::filesystem::copy_file(file("tone.mp3"), dir / "music/a b.mp3");
    ASSERT_TRUE(setDriveMapping('Q', dir.path()));

    struct Case {
        std::string command;
        MciError rc;
    } cases[] = {
        {"open " + plain + " alias Song", 0}, {"open \"" + plain + "\" alias Song", 0},
        {"open \"" + spaced + "\" alias Song", 0}, {"open \"" + deep + "/long name.wav\" alias Song", 0},
        {"OPEN " + plain + " ALIAS song", 0}, {"open \"Q:\\music\\a b.mp3\" alias Song", 0},
        {"open Q:\\music\\..\\..\\missing.mp3 alias Song", MCIERR_FILE_NOT_FOUND},
        {"open Y:\\music\\a.mp3 alias Song", MCIERR_FILE_NOT_FOUND},  // unmapped drive
        {"open " + spaced + " alias Song", MCIERR_UNRECOGNIZED_KEYWORD},
        {"open \"" + plain + " alias Song", MCIERR_NO_CLOSING_QUOTE},
        {"open " + dir.path() + "/a\"b.wav alias Song", MCIERR_NO_CLOSING_QUOTE},
        {"open \"" + dir.path() + "/a\"b.wav\" alias Song", MCIERR_EXTRA_CHARACTERS},
        {"open \"\" alias Song", MCIERR_FILENAME_REQUIRED}, {"open", MCIERR_FILENAME_REQUIRED},
        {"open " + plain, MCIERR_MISSING_PARAMETER}, {"open " + plain + " alias", MCIERR_MISSING_PARAMETER},
        {"open " + plain + " type waveaudio", MCIERR_UNRECOGNIZED_KEYWORD},
        {"open " + plain + " alias Song wait", MCIERR_UNRECOGNIZED_KEYWORD},
        {"open " + deep + "/" + std::string(300, 'n') + ".wav alias Song", MCIERR_FILE_NOT_FOUND},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command.substr(0, 200));
        auto d = makeMpvMciDevice(nullOutput());
        EXPECT_EQ(send(*d, c.command).rc, c.rc);
        // A failed open leaves nothing open under the alias.
        Reply length = send(*d, "status song length");
        EXPECT_EQ(length.rc, c.rc == 0 ? 0u : MCIERR_INVALID_DEVICE_NAME);
        if (c.rc == 0) {
            EXPECT_NEAR(std::atol(length.text.c_str()), kToneSeconds * 1000, 50);
        }
    }
    resetDriveMappings();
}

// --- real files ------------------------------------------------------------

// Each open starts stopped at 0 and at full volume, whatever level the song
// before it was left at; the volume reads back as the level last set.
TEST_F(MpvMci, EveryFormatOpensStoppedAtZeroWithItsLengthAndFullVolume) {
    auto d = makeMpvMciDevice(nullOutput());
    const int levels[] = {0, 1, 500, 999, 1000, 250};
    for (std::size_t i = 0; i < std::size(kFormats); ++i) {
        SCOPED_TRACE(kFormats[i]);
        ASSERT_EQ(send(*d, openCommand(file(std::string("tone.") + kFormats[i]))).rc, 0u);
        EXPECT_EQ(send(*d, "set song time format milliseconds").rc, 0u);
        EXPECT_NEAR(number(*d, "status song length"), kToneSeconds * 1000, 50);
        sleepMs(150);
        EXPECT_EQ(number(*d, "status song position wait"), 0);
        EXPECT_EQ(number(*d, "status song volume"), 1000);
        ASSERT_EQ(send(*d, "setaudio song volume to " + std::to_string(levels[i])).rc, 0u);
        EXPECT_EQ(send(*d, "setaudio song volume to 1001").rc, MCIERR_OUTOFRANGE);
        EXPECT_EQ(number(*d, "status song volume"), levels[i]);
        EXPECT_EQ(send(*d, "close song").rc, 0u);
    }
}

TEST_F(MpvMci, PlayPauseResumeAndPlayFromMoveThePosition) {
    auto d = makeMpvMciDevice(nullOutput());
    ASSERT_EQ(send(*d, openCommand(file("long.mp3"))).rc, 0u);
    auto position = [&] { return number(*d, "status song position wait"); };
    ASSERT_EQ(send(*d, "play song").rc, 0u);
    EXPECT_TRUE(eventually([&] { return position() >= 300; })) << position();
    // The target is reported at once, then playback goes on from there.
    ASSERT_EQ(send(*d, "play song from 4000").rc, 0u);
    EXPECT_GE(position(), 4000);
    EXPECT_TRUE(eventually([&] { return position() >= 4300; })) << position();
    ASSERT_EQ(send(*d, "play song from 500").rc, 0u);
    EXPECT_LT(position(), 1500);
    // A pause holds the position; a resume goes on from it.
    ASSERT_EQ(send(*d, "pause song").rc, 0u);
    sleepMs(100);  // the pause reached the engine
    const long long held = position();
    sleepMs(400);
    EXPECT_NEAR(position(), held, 20);
    ASSERT_EQ(send(*d, "resume song").rc, 0u);
    EXPECT_TRUE(eventually([&] { return position() >= held + 300; })) << position();

    // Playing on to the end stays at the end.
    ASSERT_EQ(send(*d, "play song from 5800").rc, 0u);
    EXPECT_TRUE(eventually([&] { return position() >= 5900; })) << position();
    sleepMs(300);
    EXPECT_LE(position(), number(*d, "status song length"));
}

// The plug-in closes a song and opens the next in one tick. A next song as
// long as the one before (the same song again, or another of its length)
// changes no property of the core, so its length is asked for, not awaited.
TEST_F(MpvMci, ASongAsLongAsTheOneBeforeOpensWithItsLength) {
    TempDir dir;
    std::filesystem::copy_file(file("tone.mp3"), dir / "copy.mp3");
    for (const std::string& path : {file("tone.mp3"), dir / "copy.mp3"}) {
        SCOPED_TRACE(path);
        auto d = makeMpvMciDevice(nullOutput());
        ASSERT_EQ(send(*d, openCommand(file("tone.mp3"))).rc, 0u);
        for (int round = 0; round < 100; ++round) {
            sleepMs(5);  // the plug-in opens one song per tick at most
            ASSERT_EQ(send(*d, "play song").rc, 0u);
            ASSERT_EQ(send(*d, "close song").rc, 0u);
            ASSERT_EQ(send(*d, openCommand(path)).rc, 0u) << "round " << round;
            EXPECT_NEAR(number(*d, "status song length"), kToneSeconds * 1000, 50);
        }
    }
}

// One core plays song after song and loads each after its open returned:
// nothing of the song before (where it was sought to, its volume, its
// length) carries into the next, and a seek made before the load finished
// is made once it has.
TEST_F(MpvMci, NothingOfTheSongBeforeCarriesIntoTheNext) {
    const struct {
        const char* file;
        long lengthMs;
        long seekMs;  // right after the open; -1: played from the start
        int level;
    } rows[] = {
        {"long.mp3", 6000, 4000, 200}, {"high.wav", 1000, -1, 700}, {"long.mp3", 6000, -1, 1000},
        {"tone.m4a", 1500, 1000, 0},   {"long.mp3", 6000, 5000, 50}, {"tone.au", 1500, -1, 1000},
    };
    auto d = makeMpvMciDevice(nullOutput());
    for (const auto& row : rows) {
        SCOPED_TRACE(row.file);
        ASSERT_EQ(send(*d, openCommand(file(row.file))).rc, 0u);
        EXPECT_NEAR(number(*d, "status song length"), row.lengthMs, 50);
        EXPECT_EQ(number(*d, "status song position"), 0);
        EXPECT_EQ(number(*d, "status song volume"), 1000);
        ASSERT_EQ(send(*d, row.seekMs < 0 ? std::string("play song") : "play song from " + std::to_string(row.seekMs)).rc, 0u);
        const long from = row.seekMs < 0 ? 0 : row.seekMs;
        EXPECT_TRUE(eventually([&] { return number(*d, "status song position") >= from + 200; }));
        EXPECT_LT(number(*d, "status song position"), from + 1000);
        ASSERT_EQ(send(*d, "setaudio song volume to " + std::to_string(row.level)).rc, 0u);
        EXPECT_EQ(number(*d, "status song volume"), row.level);
        EXPECT_EQ(send(*d, "close song").rc, 0u);
    }
}

// libmpv's length of `path` on a core with the song core's options (the
// duration once the file loaded); -1 when it did not load within 5 s.
long libmpvLengthMs(const std::string& path) {
    mpv_handle* h = mpv_create();
    for (const auto& [name, value] : mpvSharedOptions()) mpv_set_option_string(h, name, value);
    for (const auto& [name, value] : mpvSongOptions()) mpv_set_option_string(h, name, value);
    mpv_set_option_string(h, "ao", "null");
    mpv_set_option_string(h, "pause", "yes");
    long ms = -1;
    const char* load[] = {"loadfile", path.c_str(), nullptr};
    if (mpv_initialize(h) >= 0 && mpv_command(h, load) >= 0) {
        for (const auto end = Clock::now() + std::chrono::seconds(5); Clock::now() < end;) {
            const mpv_event* e = mpv_wait_event(h, 0.1);
            double seconds = 0;
            if (e->event_id == MPV_EVENT_FILE_LOADED && mpv_get_property(h, "duration", MPV_FORMAT_DOUBLE, &seconds) >= 0) {
                ms = std::lround(seconds * 1000);
                break;
            }
        }
    }
    mpv_terminate_destroy(h);
    return ms;
}

// The open gives the length the file's header states, before libmpv has
// loaded it: libmpv's own, exactly where the format states it, within 50 ms
// for mp3 (a Xing header, or the first frame's bitrate without one) and wma.
TEST_F(MpvMci, TheLengthFromTheHeaderIsLibmpvs) {
    TempDir dir;
    ASSERT_TRUE(kestro::testing::makeTone(dir / "source.wav", 440, 7.3));
    ASSERT_TRUE(kestro::testing::runQuiet("lame --quiet -t -b 160 '" + (dir / "source.wav") + "' '" + (dir / "cbr.mp3") + "'"));
    ASSERT_TRUE(kestro::testing::runQuiet("lame --quiet -V 4 '" + (dir / "source.wav") + "' '" + (dir / "vbr.mp3") + "'"));
    const std::pair<std::string, long> rows[] = {
        {file("tone.mp3"), 50}, {file("long.mp3"), 50}, {dir / "cbr.mp3", 50}, {dir / "vbr.mp3", 50},
        {file("tone.wma"), 50}, {file("tone.wav"), 1}, {file("high.wav"), 1}, {file("tone.aif"), 1},
        {file("tone.au"), 1},   {file("tone.m4a"), 1},
    };
    auto d = makeMpvMciDevice(nullOutput());
    for (const auto& [path, tolerance] : rows) {
        SCOPED_TRACE(path);
        const long expected = libmpvLengthMs(path);
        ASSERT_GT(expected, 0);
        ASSERT_EQ(send(*d, openCommand(path)).rc, 0u);
        EXPECT_NEAR(number(*d, "status song length"), expected, tolerance);
        EXPECT_EQ(send(*d, "close song").rc, 0u);
    }
}

TEST(MpvVolumeCurve, LinearGainOntoTheCubicProperty) {
    for (auto [gain, volume] : {std::pair{1.0, 100.0}, {0.0, 0.0}, {-1.0, 0.0}, {2.0, 100.0}, {0.125, 50.0}}) {
        EXPECT_NEAR(mpvVolumeForGain(gain), volume, 1e-9) << gain;  // (50/100)^3 = 0.125
    }
    for (int level = 1; level <= 1000; ++level) {
        EXPECT_GT(mpvVolumeForGain(level / 1000.0), mpvVolumeForGain((level - 1) / 1000.0)) << level;
    }
}

// --- capture -----------------------------------------------------------------

TEST_F(MpvMci, CaptureHoldsEverySongPlayedAsOneWavFile) {
    TempDir dir;
    AudioOutput out;
    ASSERT_TRUE(parseAudioOutput(("pcm:" + (dir / "capture.wav")).c_str(), out));
    {
        auto d = makeMpvMciDevice(out);
        // Songs one after another, at full and at half volume (gain 0.5).
        for (auto [name, level] : {std::pair{"tone.mp3", 1000}, {"high.wav", 1000}, {"tone.wav", 500}}) {
            SCOPED_TRACE(name);
            ASSERT_EQ(send(*d, openCommand(file(name))).rc, 0u);
            const long length = number(*d, "status song length");
            ASSERT_EQ(send(*d, "play song").rc, 0u);
            ASSERT_EQ(send(*d, "setaudio song volume to " + std::to_string(level)).rc, 0u);
            // (An mp3's length is its estimate; playback ends at the last sample.)
            EXPECT_TRUE(eventually([&] { return number(*d, "status song position wait") >= length - 60; }));
            sleepMs(100);
            ASSERT_EQ(send(*d, "close song").rc, 0u);
        }
    }  // the device's teardown completes the capture

    kestro::testing::WavCapture w = kestro::testing::readWavCapture(dir / "capture.wav");
    EXPECT_TRUE(w.headerValid);
    EXPECT_NEAR(w.seconds(), 1.5 + 1.0 + 1.5, 0.15);
    const std::size_t r = 44100;
    EXPECT_NEAR(kestro::testing::toneFrequency(w.left, r / 10, r * 14 / 10), 440.0, 3.0);
    EXPECT_NEAR(kestro::testing::toneFrequency(w.left, r * 17 / 10, r * 24 / 10), 880.0, 5.0);
    EXPECT_NEAR(kestro::testing::toneFrequency(w.left, r * 27 / 10, r * 38 / 10), 440.0, 3.0);
    // Half volume halves the amplitude of the last song.
    EXPECT_NEAR(kestro::testing::peakBetween(w.left, 2.7, 3.8) * 2.0 / kestro::testing::peakBetween(w.left, 0.1, 1.4),
                1.0, 0.1);
}

TEST(MpvAudioOutput, ParsesTheChoices) {
    struct Case {
        const char* text;
        AudioOutput::Kind kind;
        const char* file;
        bool realtime;
    } cases[] = {
        {"auto", AudioOutput::Kind::Auto, "", false},
        {"null", AudioOutput::Kind::Null, "", false},
        {"pcm:/tmp/a b.wav", AudioOutput::Kind::Pcm, "/tmp/a b.wav", false},
        {"pcm:x", AudioOutput::Kind::Pcm, "x", false},
        {"pcm-realtime:x.wav", AudioOutput::Kind::Pcm, "x.wav", true},
        {"pcm-realtime:/a:b c.wav", AudioOutput::Kind::Pcm, "/a:b c.wav", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        AudioOutput out;
        EXPECT_TRUE(parseAudioOutput(c.text, out));
        EXPECT_EQ(out.kind, c.kind);
        EXPECT_EQ(out.file, c.file);
        EXPECT_EQ(out.realtime, c.realtime);
        EXPECT_EQ(describeAudioOutput(out), c.text);
    }
    for (const char* text : {"pcm:", "pcm-realtime:", "PCM:x", "Null", "", "alsa", static_cast<const char*>(nullptr)}) {
        AudioOutput out;  // refused, and left untouched
        EXPECT_FALSE(parseAudioOutput(text, out)) << (text ? text : "null");
        EXPECT_EQ(out.kind, AudioOutput::Kind::Auto);
        EXPECT_EQ(out.file, "");
        EXPECT_FALSE(out.realtime);
    }
}

// --- bad input -----------------------------------------------------------------

// Bad files fail at once with their code; a truncated file fails or opens
// with a shorter length; a file deleted while playing leaves the device
// answering; it still plays a whole file after them all.
TEST_F(MpvMci, BadTruncatedAndDeletedFiles) {
    TempDir dir;
    std::vector<std::pair<std::string, MciError>> cases = {
        {dir / "missing.mp3", MCIERR_FILE_NOT_FOUND}, {dir / "no-such-folder/a.mp3", MCIERR_FILE_NOT_FOUND},
        {dir.path(), MCIERR_INVALID_FILE},           {"/dev/zero", MCIERR_INVALID_FILE},
        {dir / "empty.mp3", MCIERR_INVALID_FILE},    {dir / "text.mp3", MCIERR_INVALID_FILE},
        {dir / "fifo.mp3", MCIERR_INVALID_FILE},     {dir / "list.mp3", MCIERR_INVALID_FILE},
        {dir / std::string(1100, 'x'), MCIERR_FILE_NOT_FOUND},
    };
    kestro::testing::writeFile(dir / "empty.mp3", "");
    kestro::testing::writeFile(dir / "text.mp3", "This is not audio.\nJust some words in a text file.\n");
    // A playlist under a song's name: libmpv would redirect to its entries.
    kestro::testing::writeFile(dir / "list.mp3", "#EXTM3U\n" + file("tone.mp3") + "\n");
    ASSERT_EQ(mkfifo((dir / "fifo.mp3").c_str(), 0600), 0);
    std::vector<std::string> truncated;
    for (const char* ext : kFormats) {
        // Corrupt: the right extension over noise that no decoder takes.
        std::string noise(20000, '\0');
        unsigned seed = 12345;
        for (char& c : noise) c = static_cast<char>((seed = seed * 1103515245 + 12345) >> 16);
        const std::string corrupt = dir / (std::string("corrupt.") + ext);
        kestro::testing::writeFile(corrupt, noise);
        cases.push_back({corrupt, MCIERR_INVALID_FILE});
        const std::string whole = kestro::testing::readFile(file(std::string("tone.") + ext));
        for (std::size_t keep : {std::size_t{40}, std::size_t{600}, whole.size() / 2}) {
            truncated.push_back(dir / ("cut" + std::to_string(keep) + "." + ext));
            kestro::testing::writeFile(truncated.back(), whole.substr(0, keep));
        }
    }
    auto d = makeMpvMciDevice(nullOutput());
    auto timedOpen = [&](const std::string& path) {
        const auto start = Clock::now();
        const MciError rc = send(*d, openCommand(path)).rc;
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
        return rc;
    };
    for (const auto& [path, rc] : cases) {
        SCOPED_TRACE(path.substr(0, 200));
        EXPECT_EQ(timedOpen(path), rc);
        EXPECT_EQ(send(*d, "status song length").rc, MCIERR_INVALID_DEVICE_NAME);
    }
    for (const std::string& path : truncated) {
        SCOPED_TRACE(path);
        const MciError rc = timedOpen(path);
        if (rc == 0) {
            EXPECT_LE(number(*d, "status song length"), kToneSeconds * 1000 + 50);
            EXPECT_EQ(send(*d, "play song").rc, 0u);
            EXPECT_EQ(send(*d, "close song").rc, 0u);
        } else {
            // Refused by the decoder, or (probing a cut file can take
            // seconds on a loaded machine) not loaded within the open's
            // bound: the device is left closed either way.
            EXPECT_TRUE(rc == MCIERR_INVALID_FILE || rc == MCIERR_DEVICE_NOT_READY) << rc;
            EXPECT_EQ(send(*d, "status song length").rc, MCIERR_INVALID_DEVICE_NAME);
        }
    }
    // A file deleted while it plays leaves the device answering.
    const std::string gone = dir / "gone.mp3";
    std::filesystem::copy_file(file("long.mp3"), gone);
    ASSERT_EQ(send(*d, openCommand(gone)).rc, 0u);
    ASSERT_EQ(send(*d, "play song").rc, 0u);
    std::filesystem::remove(gone);
    sleepMs(300);
    for (const char* command : {"status song position wait", "play song from 3000", "pause song", "close song"}) {
        EXPECT_EQ(send(*d, command).rc, 0u) << command;
    }
    EXPECT_EQ(send(*d, openCommand(gone)).rc, MCIERR_FILE_NOT_FOUND);
    ASSERT_EQ(send(*d, openCommand(file("tone.wav"))).rc, 0u);
    EXPECT_NEAR(number(*d, "status song length"), kToneSeconds * 1000, 50);
}

// libmpv will not start in a locale whose numbers differ from "C": each back
// end says so once, every command of the song device fails without a reply,
// and every operation of the stream player is harmless.
TEST_F(MpvMci, WithoutLibmpvBothBackEndsFailAndSayWhyOnce) {
    std::shared_ptr<MciInterpreter> d;
    std::unique_ptr<MpvStreamPlayer> player;
    if (!withCommaDecimalLocale([&] {
            d = makeMpvMciDevice(nullOutput());
            player = std::make_unique<MpvStreamPlayer>(nullOutput());
        })) {
        GTEST_SKIP() << "localedef cannot build de_DE.UTF-8 here";
    }
    ASSERT_EQ(log_.lines().size(), 2u) << log_.all();
    for (const std::string& line : log_.lines()) EXPECT_NE(line.find("LC_NUMERIC"), std::string::npos) << line;
    for (const std::string& command : {openCommand(file("tone.wav")), std::string("status song volume"),
                                       std::string("play song"), std::string("close song"), std::string("")}) {
        Reply r = send(*d, command);
        EXPECT_EQ(r.rc, MCIERR_CANNOT_LOAD_DRIVER) << command;
        EXPECT_EQ(r.text, "");
    }
    EXPECT_FALSE(player->create());
    player->setUrl("http://127.0.0.1:1/x");
    player->play();
    player->next();
    std::string v;
    EXPECT_FALSE(player->attribute("Title", v));
    EXPECT_EQ(player->durationSeconds(), 0.0);
    player->stop();
    player->destroy();
    EXPECT_EQ(log_.lines().size(), 2u) << log_.all();
}

// The host loads the back ends' library on a thread of its own and installs
// stand-ins at once: a stand-in's first call waits for the load and then
// forwards to the back end; a library that cannot be loaded, or is not the
// back ends', leaves both failing as without libmpv, said once.
TEST_F(MpvMci, BackEndsLoadedOnTheirOwnThreadOrFailingAsWithoutLibmpv) {
    const std::string build = std::filesystem::path(KESTRO_PLUGIN_PATH).parent_path();
    const struct {
        std::string library;
        MciError open;
        const char* said;  // the one diagnostic line, or nothing
    } rows[] = {
        {build + "/libkestrompv.so", 0, nullptr},
        {build + "/no-such-library.so", MCIERR_CANNOT_LOAD_DRIVER, "cannot load"},
        {KESTRO_PLUGIN_PATH, MCIERR_CANNOT_LOAD_DRIVER, "has no kestroAudioBackEnds"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.library);
        log_.clear();
        AudioBackEnds backEnds(nullOutput(), true, true, false, row.library);
        backEnds.start();
        const std::shared_ptr<MciInterpreter> d = backEnds.songDevice();
        const std::shared_ptr<StreamPlayer> player = backEnds.streamPlayer();
        ASSERT_TRUE(d && player);
        EXPECT_EQ(send(*d, openCommand(file("tone.wav"))).rc, row.open);
        EXPECT_EQ(send(*d, "status song length").rc, row.open == 0 ? 0u : MCIERR_CANNOT_LOAD_DRIVER);
        EXPECT_EQ(player->create(), row.open == 0);
        player->destroy();
        std::size_t said = 0;
        for (const std::string& line : log_.lines()) said += line.find("audio back ends") != std::string::npos;
        EXPECT_EQ(said, row.said ? 1u : 0u) << log_.all();
        EXPECT_TRUE(!row.said || log_.has(row.said)) << log_.all();
    }
}

// --- a stalled output ----------------------------------------------------------

// The capture is a FIFO whose reader takes a little and then stops, so the
// output blocks libmpv's core. Every command still answers at once, and a
// later open fails within its bound. (The plug-in's ticks on a stalled
// output are timed in the plug-in's own tests.)
TEST_F(MpvMci, CommandsAnswerAtOnceWhileTheOutputIsStalled) {
    std::signal(SIGPIPE, SIG_IGN);
    TempDir dir;
    const std::string fifo = dir / "stalled.pcm";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    std::atomic<bool> drain{false}, stop{false};
    std::thread readerThread([&] {
        char buf[4096];
        std::size_t taken = 0;
        while (!stop) {
            if (taken < 16384 || drain) {
                ssize_t n = ::read(reader, buf, sizeof buf);
                if (n > 0) taken += static_cast<std::size_t>(n);
            }
            sleepMs(1);
        }
    });

    AudioOutput out;
    out.kind = AudioOutput::Kind::Pcm;
    out.file = fifo;
    {
        auto d = makeMpvMciDevice(out);
        ASSERT_EQ(send(*d, openCommand(file("long.mp3"))).rc, 0u);
        ASSERT_EQ(send(*d, "play song").rc, 0u);
        sleepMs(500);  // the pipe fills, the output stalls
        for (const char* command : {"status song position wait", "status song volume", "setaudio song volume to 300",
                                    "pause song", "resume song", "play song from 1000", "status song length"}) {
            const auto start = Clock::now();
            EXPECT_EQ(send(*d, command).rc, 0u) << command;
            EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500)) << command;
        }
        EXPECT_EQ(number(*d, "status song volume"), 300);
        EXPECT_EQ(send(*d, "close song").rc, 0u);
        const auto start = Clock::now();
        const MciError rc = send(*d, openCommand(file("tone.mp3"))).rc;
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(kOpenTimeoutMs + 1500));
        EXPECT_TRUE(rc == 0 || rc == MCIERR_DEVICE_NOT_READY) << rc;
        drain = true;  // let the core go so that the teardown completes
    }
    stop = true;
    readerThread.join();
    ::close(reader);
}

}  // namespace
