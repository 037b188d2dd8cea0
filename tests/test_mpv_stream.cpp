// The stream player on libmpv against a real Icecast server and a real
// source client, local playlists, and servers that misbehave.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <clocale>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "IcecastServer.h"
#include "MpvTestMedia.h"
#include "TestUtil.h"
#include "platform/Diagnostics.h"
#include "platform/MpvMciDevice.h"
#include "platform/MpvStreamPlayer.h"
#include "platform/Text.h"

using namespace kestro::platform;
using kestro::testing::IcecastServer;
using kestro::testing::StubHttpServer;
using kestro::testing::TempDir;
using Clock = std::chrono::steady_clock;

namespace {

// Every operation must come back at once: network waits are seconds, so
// this ceiling (generous for a loaded machine) tells "returned" from
// "waited on the network or the core".
constexpr auto kCallCeiling = std::chrono::milliseconds(50);

template <class F>
bool eventually(F done, std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) {
    const auto end = Clock::now() + limit;
    while (Clock::now() < end) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return done();
}

AudioOutput nullOutput() {
    AudioOutput o;
    o.kind = AudioOutput::Kind::Null;
    return o;
}

std::string tag(StreamPlayer& p, const char* name) {
    std::string v;
    return p.attribute(name, v) ? v : std::string("<none>");
}

// Times every call made through it and keeps the slowest.
struct CallTimer {
    std::chrono::nanoseconds slowest{0};
    std::string slowestName;
    template <class F>
    auto operator()(const char* name, F f) {
        const auto start = Clock::now();
        struct Done {
            CallTimer* t;
            const char* name;
            Clock::time_point start;
            ~Done() {
                auto d = Clock::now() - start;
                if (d > t->slowest) {
                    t->slowest = std::chrono::duration_cast<std::chrono::nanoseconds>(d);
                    t->slowestName = name;
                }
            }
        } done{this, name, start};
        return f();
    }
};

class MpvStream : public ::testing::Test {
public:
    static void SetUpTestSuite() {
        std::setlocale(LC_NUMERIC, "C");
        media_ = new TempDir;
        // Two tagged entries for the playlists, long enough not to end.
        const std::string ff = "ffmpeg -nostdin -v error -y -f lavfi -i 'sine=frequency=";
        ASSERT_TRUE(kestro::testing::runQuiet(ff + "440:duration=20:sample_rate=44100' -c:a libmp3lame -b:a 64k "
                                              "-metadata title=First -metadata artist='Artist A' -metadata album='Album A' "
                                              "-metadata date=2001 '" + (*media_ / "first.mp3") + "'"));
        ASSERT_TRUE(kestro::testing::runQuiet(ff + "880:duration=30:sample_rate=44100' -c:a libmp3lame -b:a 64k "
                                              "-metadata title=Second -metadata artist='Artist B' '" +
                                              (*media_ / "second.mp3") + "'"));
    }
    static void TearDownTestSuite() {
        delete media_;
        media_ = nullptr;
    }
    static std::string file(const std::string& name) { return *media_ / name; }

protected:
    void SetUp() override {
        setDiagnosticSink([this](const char* line) {
            std::lock_guard<std::mutex> g(lock_);
            diagnostics_.push_back(line);
        });
    }
    void TearDown() override { setDiagnosticSink(nullptr); }
    bool diagnosed(const std::string& part) {
        std::lock_guard<std::mutex> g(lock_);
        for (const std::string& d : diagnostics_)
            if (d.find(part) != std::string::npos) return true;
        return false;
    }
    std::string allDiagnostics() {
        std::lock_guard<std::mutex> g(lock_);
        std::string all;
        for (const std::string& d : diagnostics_) all += d + "\n";
        return all;
    }

    static TempDir* media_;
    std::mutex lock_;
    std::vector<std::string> diagnostics_;
};
TempDir* MpvStream::media_ = nullptr;

class MpvIcecast : public MpvStream {
protected:
    void SetUp() override {
        MpvStream::SetUp();
        const std::string why = IcecastServer::unavailableReason();
        if (!why.empty()) GTEST_SKIP() << why;
        server_ = std::make_unique<IcecastServer>();
        ASSERT_TRUE(server_->running()) << server_->error();
        ASSERT_TRUE(server_->startSource("/kestro.mp3", 440)) << server_->error();
    }
    std::unique_ptr<IcecastServer> server_;
};

// --- a real Icecast server ----------------------------------------------------

TEST_F(MpvIcecast, TheStreamPlaysItsToneIntoTheCapture) {
    TempDir dir;
    AudioOutput out;
    ASSERT_TRUE(parseAudioOutput(("pcm:" + (dir / "stream.wav")).c_str(), out));
    {
        MpvStreamPlayer player(out);
        ASSERT_TRUE(player.create());
        player.setVolume(100);
        player.setUrl(server_->url("/kestro.mp3"));
        player.play();
        EXPECT_TRUE(eventually([&] { return player.positionSeconds() > 3.0; })) << allDiagnostics();
        EXPECT_EQ(player.durationSeconds(), 0.0);  // a live stream has no length
        player.stop();
        player.destroy();
    }
    kestro::testing::WavCapture w = kestro::testing::readWavCapture(dir / "stream.wav");
    EXPECT_TRUE(w.headerValid);
    EXPECT_GT(w.seconds(), 2.5);
    EXPECT_NEAR(kestro::testing::toneFrequency(w.left, 44100, w.left.size() - 4410), 440.0, 4.0);
}

TEST_F(MpvIcecast, TheChangingTitleReachesTheTags) {
    MpvStreamPlayer player(nullOutput());
    ASSERT_TRUE(player.create());
    player.setUrl(server_->url("/kestro.mp3"));
    player.play();
    struct Case {
        std::string title;
        std::string expectTitle;
        std::string expectAuthor;  // "<none>": no author
    } cases[] = {
        {"Artist One - Song One", "Song One", "Artist One"},
        {"Just a title", "Just a title", "<none>"},
        {"Trio - Song - Extended", "Song - Extended", "Trio"},
        {"\xC3\x89t\xC3\xA9 - Caf\xC3\xA9 100%", "Caf\xC3\xA9 100%", "\xC3\x89t\xC3\xA9"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        ASSERT_TRUE(server_->setTitle("/kestro.mp3", c.title));
        EXPECT_TRUE(eventually([&] { return tag(player, "Title") == c.expectTitle; })) << tag(player, "Title");
        EXPECT_EQ(tag(player, "Author"), c.expectAuthor);
    }
    EXPECT_EQ(player.durationSeconds(), 0.0);
}

// A long title with "%" and accented letters through the server's own
// metadata update (Icecast sends it as Latin-1, which is not UTF-8): the tags
// are UTF-8 again, bounded, and cut between characters. (An ICY block
// carries at most 4080 bytes and Icecast takes an update request of about
// 4 kB once encoded, so a 10 kB title cannot reach a listener through it;
// raw bytes that are not text are sent by the stub server further down.)
TEST_F(MpvIcecast, AHugeHostileTitleIsBounded) {
    MpvStreamPlayer player(nullOutput());
    ASSERT_TRUE(player.create());
    player.setUrl(server_->url("/kestro.mp3"));
    player.play();
    std::string title = "Big - ";
    while (title.size() < 1300) title += "100% \xC3\xA9t\xC3\xA9 %s%n ";
    ASSERT_TRUE(server_->setTitle("/kestro.mp3", title));
    ASSERT_TRUE(eventually([&] { return tag(player, "Author") == "Big"; })) << tag(player, "Title").substr(0, 80);
    const std::string t = tag(player, "Title");
    EXPECT_LE(t.size(), kStreamTagMaxBytes);
    EXPECT_GT(t.size(), kStreamTagMaxBytes - 4);
    EXPECT_EQ(t.substr(0, 5), "100% ");
    // Whole UTF-8 characters only.
    for (std::size_t i = 0; i < t.size();) {
        const unsigned char b = static_cast<unsigned char>(t[i]);
        const std::size_t n = b < 0x80 ? 1 : b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC2 ? 2 : 0;
        ASSERT_NE(n, 0u) << "byte " << i;
        ASSERT_LE(i + n, t.size()) << "a character cut at the end";
        for (std::size_t k = 1; k < n; ++k) ASSERT_EQ(static_cast<unsigned char>(t[i + k]) & 0xC0, 0x80u) << i;
        i += n;
    }
}

TEST_F(MpvIcecast, PauseHoldsThePositionAndPlayResumesIt) {
    MpvStreamPlayer player(nullOutput());
    ASSERT_TRUE(player.create());
    player.setUrl(server_->url("/kestro.mp3"));
    player.play();
    ASSERT_TRUE(eventually([&] { return player.positionSeconds() > 1.0; })) << allDiagnostics();
    player.pause();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const double held = player.positionSeconds();
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    EXPECT_NEAR(player.positionSeconds(), held, 0.1);
    player.play();
    EXPECT_TRUE(eventually([&] { return player.positionSeconds() > held + 0.5; }));
    for (int v : {0, 37, 100, 150, -4}) {
        player.setVolume(v);
        EXPECT_EQ(player.volume(), std::clamp(v, 0, 100));
    }
}

TEST_F(MpvIcecast, VolumeScalesTheCapturedStream) {
    TempDir dir;
    AudioOutput out;
    ASSERT_TRUE(parseAudioOutput(("pcm:" + (dir / "volume.wav")).c_str(), out));
    {
        MpvStreamPlayer player(out);
        ASSERT_TRUE(player.create());
        player.setVolume(100);
        player.setUrl(server_->url("/kestro.mp3"));
        player.play();
        // The server's burst gives about 4 s at once; the rest comes in
        // real time, so the change of volume lands near 5 s in the capture.
        ASSERT_TRUE(eventually([&] { return player.positionSeconds() > 5.0; }));
        player.setVolume(50);
        EXPECT_TRUE(eventually([&] { return player.positionSeconds() > 8.0; }));
        player.stop();
    }
    kestro::testing::WavCapture w = kestro::testing::readWavCapture(dir / "volume.wav");
    ASSERT_GT(w.left.size(), 44100u * 7);
    auto peak = [&](double from, double to) {
        int m = 0;
        for (std::size_t i = std::size_t(from * 44100); i < std::size_t(to * 44100) && i < w.left.size(); ++i)
            m = std::max(m, std::abs(int(w.left[i])));
        return m;
    };
    const int full = peak(1.0, 4.0);
    ASSERT_GT(full, 1000);
    // Volume 50 is half the amplitude.
    EXPECT_NEAR(double(peak(w.seconds() - 1.5, w.seconds() - 0.1)) / full, 0.5, 0.05);
}

TEST_F(MpvIcecast, StopReleasesTheConnection) {
    MpvStreamPlayer player(nullOutput());
    ASSERT_TRUE(player.create());
    player.setUrl(server_->url("/kestro.mp3"));
    player.play();
    EXPECT_TRUE(eventually([&] { return server_->listeners("/kestro.mp3") == 1; }));
    player.stop();
    EXPECT_TRUE(eventually([&] { return server_->listeners("/kestro.mp3") == 0; }));
    // Playing after a stop connects again; destroy lets it go once more.
    player.play();
    EXPECT_TRUE(eventually([&] { return server_->listeners("/kestro.mp3") == 1; }));
    player.destroy();
    EXPECT_TRUE(eventually([&] { return server_->listeners("/kestro.mp3") == 0; }));
}

// --- local playlists ----------------------------------------------------------

TEST_F(MpvStream, PlaylistsMoveOnWithNextAndBackWithPrevious) {
    TempDir dir;
    const std::string m3u = dir / "two.m3u";
    const std::string pls = dir / "two.pls";
    kestro::testing::writeFile(m3u, "#EXTM3U\n#EXTINF:20,First\n" + file("first.mp3") + "\n#EXTINF:30,Second\n" +
                                        file("second.mp3") + "\n");
    kestro::testing::writeFile(pls, "[playlist]\nFile1=" + file("first.mp3") + "\nFile2=" + file("second.mp3") +
                                        "\nNumberOfEntries=2\nVersion=2\n");
    for (const std::string& list : {m3u, pls}) {
        for (bool loop : {false, true}) {
            SCOPED_TRACE(list + (loop ? " loop" : " once"));
            MpvStreamPlayer player(nullOutput());
            ASSERT_TRUE(player.create());
            player.setLoop(loop);
            player.setUrl(list);
            player.play();
            auto at = [&](const char* title) {
                return eventually([&] { return tag(player, "Title") == title; }) &&
                       eventually([&] { return player.durationSeconds() > 0; });
            };
            ASSERT_TRUE(at("First")) << tag(player, "Title") << allDiagnostics();
            EXPECT_EQ(tag(player, "Author"), "Artist A");
            EXPECT_EQ(tag(player, "WM/AlbumTitle"), "Album A");
            EXPECT_EQ(tag(player, "WM/Year"), "2001");
            EXPECT_NEAR(player.durationSeconds(), 20.0, 0.1);

            player.next();
            // At once: the new entry's tags, or none until they arrive;
            // never the entry before.
            EXPECT_NE(tag(player, "Title"), "First");
            ASSERT_TRUE(at("Second")) << tag(player, "Title");
            EXPECT_NEAR(player.durationSeconds(), 30.0, 0.1);
            EXPECT_EQ(tag(player, "WM/AlbumTitle"), "<none>");

            player.next();  // wraps in loop mode, stays otherwise
            ASSERT_TRUE(at(loop ? "First" : "Second")) << tag(player, "Title");
            player.previous();
            ASSERT_TRUE(at(loop ? "Second" : "First")) << tag(player, "Title");
            if (!loop) {
                player.previous();  // stays at the first entry
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                EXPECT_EQ(tag(player, "Title"), "First");
            }
            // A pause and a resume keep the entry now playing.
            player.pause();
            player.play();
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            EXPECT_EQ(tag(player, "Title"), loop ? "Second" : "First");
        }
    }
}

TEST_F(MpvStream, WithoutLibmpvCreateFails) {
    TempDir locales;
    if (!kestro::testing::runQuiet("localedef -i de_DE -f UTF-8 '" + (locales / "de_DE.UTF-8") + "'")) {
        GTEST_SKIP() << "localedef cannot build de_DE.UTF-8 here";
    }
    setenv("LOCPATH", locales.path().c_str(), 1);
    ASSERT_NE(std::setlocale(LC_NUMERIC, "de_DE.UTF-8"), nullptr);
    MpvStreamPlayer player(nullOutput());
    std::setlocale(LC_NUMERIC, "C");
    EXPECT_FALSE(player.create());
    unsetenv("LOCPATH");
    // Every operation is then harmless.
    player.setUrl("http://127.0.0.1:1/x");
    player.play();
    player.next();
    std::string v;
    EXPECT_FALSE(player.attribute("Title", v));
    EXPECT_EQ(player.durationSeconds(), 0.0);
    player.stop();
    player.destroy();
    EXPECT_TRUE(diagnosed("LC_NUMERIC")) << allDiagnostics();
}

// --- bad servers and bad addresses ---------------------------------------------

// Drives the player through every operation for a while against `url` and
// checks that no call waits; returns the slowest call.
// The skips and pauses come in the first second; after that only the
// per-tick reads, until `span` has passed or `enough` says so.
CallTimer exercise(MpvStreamPlayer& player, const std::string& url, std::chrono::milliseconds span,
                   const std::function<bool()>& enough = [] { return false; }) {
    CallTimer time;
    time("create", [&] { return player.create(); });
    time("setLoop", [&] { player.setLoop(true); });
    time("setAutoStart", [&] { player.setAutoStart(true); });
    time("setVolume", [&] { player.setVolume(80); });
    time("setUrl", [&] { player.setUrl(url); });
    time("play", [&] { player.play(); });
    const auto start = Clock::now();
    const auto end = start + span;
    int round = 0;
    while (Clock::now() < end && !(Clock::now() - start > std::chrono::milliseconds(1500) && enough())) {
        std::string v;
        for (const char* name : {"Title", "Author", "WM/AlbumTitle", "WM/Year"}) {
            time("attribute", [&] { return player.attribute(name, v); });
            EXPECT_LE(v.size(), kStreamTagMaxBytes);
        }
        time("durationSeconds", [&] { return player.durationSeconds(); });
        time("volume", [&] { return player.volume(); });
        if (round == 5) time("pause", [&] { player.pause(); });
        if (round == 10) time("play", [&] { player.play(); });
        if (round == 15) time("next", [&] { player.next(); });
        if (round == 20) time("previous", [&] { player.previous(); });
        if (round == 25) time("play", [&] { player.play(); });
        ++round;
        std::this_thread::sleep_for(std::chrono::milliseconds(16));
    }
    time("stop", [&] { player.stop(); });
    time("destroy", [&] { player.destroy(); });
    return time;
}

TEST_F(MpvStream, BadServersAndAddressesNeverHoldACall) {
    TempDir dir;
    const std::string mp3 = kestro::testing::readFile(file("first.mp3"));
    StubHttpServer silent(StubHttpServer::Mode::Silent);
    StubHttpServer html(StubHttpServer::Mode::Html);
    StubHttpServer closing(StubHttpServer::Mode::CloseMidStream, mp3);
    kestro::testing::writeFile(dir / "empty.m3u", "");
    kestro::testing::writeFile(dir / "malformed.pls", "[playlist]\nFile1\nFile2=\n=x\nNumberOfEntries=-7\n\xff\xfe\n");
    {
        std::ofstream big(dir / "big.m3u");
        for (int i = 0; i < 10000; ++i) big << (i % 2 ? file("first.mp3") : dir / ("missing" + std::to_string(i) + ".mp3")) << "\n";
    }
    struct Case {
        std::string name;
        std::string url;
        std::string diagnostic;  // a part of the line expected ("" none required)
    } cases[] = {
        {"closed port", "http://127.0.0.1:" + std::to_string(kestro::testing::closedPort()) + "/x.mp3", "cannot play"},
        {"unresolvable host", "http://kestro-no-such-host.invalid/stream.mp3", "cannot play"},
        {"never answers", silent.url(), "cannot play"},
        {"closes mid-stream", closing.url(), ""},
        {"web page", html.url("/index.html"), "cannot play"},
        {"empty playlist", dir / "empty.m3u", "\"" + dir / "empty.m3u"},
        {"malformed playlist", dir / "malformed.pls", "\"" + dir / "malformed.pls"},
        {"playlist of 10000 entries", dir / "big.m3u", "cannot play"},
        {"address of 2000 characters", "http://127.0.0.1:" + std::to_string(kestro::testing::closedPort()) + "/" +
                                           std::string(2000, 'a'), "cannot play"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        {
            std::lock_guard<std::mutex> g(lock_);
            diagnostics_.clear();
        }
        MpvStreamPlayer player(nullOutput());
        // The network timeout is 5 s: drive the player past it, or until the
        // failure has been reported.
        CallTimer t = exercise(player, c.url, std::chrono::milliseconds(kStreamNetworkTimeoutSeconds * 1000 + 3000),
                               [&] { return !c.diagnostic.empty() && diagnosed(c.diagnostic); });
        EXPECT_LT(t.slowest, kCallCeiling) << t.slowestName << " took " << t.slowest.count() / 1000 << " us";
        if (!c.diagnostic.empty()) {
            EXPECT_TRUE(diagnosed(c.diagnostic)) << allDiagnostics();
        }
        std::lock_guard<std::mutex> g(lock_);
        EXPECT_LE(diagnostics_.size(), 6u) << "the log is flooded";
        for (const std::string& d : diagnostics_) EXPECT_LT(d.size(), 1024u);
    }
}

TEST_F(MpvStream, HugeHostileIcyTitlesAreBoundedAtACharacterBoundary) {
    const std::string mp3 = kestro::testing::readFile(file("first.mp3"));
    // 4080 bytes is all an ICY block carries: "%", invalid UTF-8 (so the
    // text is read as Latin-1) and multi-byte characters across the cut.
    std::string hostile = "Band %s%n%x - ";
    while (hostile.size() < 1020) hostile += "%d\xff\xfe";
    hostile.resize(1020);
    hostile += "x\xC3\xA9y";  // bytes 1020..1023: the cut falls inside the é
    while (hostile.size() < 3900) hostile += "\xC3\xA9%";
    StubHttpServer icy(StubHttpServer::Mode::IcyTitle, mp3, hostile);
    MpvStreamPlayer player(nullOutput());
    CallTimer t = exercise(player, icy.url(), std::chrono::milliseconds(3000));
    EXPECT_LT(t.slowest, kCallCeiling) << t.slowestName;

    // Again, looking at the tags while it plays.
    ASSERT_TRUE(player.create());
    player.setUrl(icy.url());
    player.play();
    // (The file's own tags come first; the ICY title follows the first
    // 8 kB of audio.)
    ASSERT_TRUE(eventually([&] { return tag(player, "Author").rfind("Band ", 0) == 0; })) << allDiagnostics();
    const std::string title = tag(player, "Title");
    EXPECT_LE(title.size(), kStreamTagMaxBytes);
    EXPECT_GT(title.size(), 900u);
    // The cut left the last character whole: the lead byte of the last
    // multi-byte sequence has all its continuation bytes.
    std::size_t lead = title.size();
    while (lead > 0 && (static_cast<unsigned char>(title[lead - 1]) & 0xC0) == 0x80) --lead;
    if (lead > 0 && static_cast<unsigned char>(title[lead - 1]) >= 0xC0) {
        const unsigned char b = static_cast<unsigned char>(title[lead - 1]);
        const std::size_t need = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : 1;
        EXPECT_EQ(title.size() - lead, need) << "a character was cut in two";
    }
}

}  // namespace

// --- the real-time capture ------------------------------------------------------

// The song device and the stream player on one real-time capture, each in
// turn: played, paused, resumed, at half volume, stopped. The capture holds
// the tone while it plays, silence while paused and after the stop, and
// half the amplitude after the volume change; the device's position follows
// the wall clock.
TEST_F(MpvStream, ARealTimeCaptureHoldsWhatEachBackEndPlayed) {
    TempDir dir;
    const std::string capture = dir / "capture.wav";
    AudioOutput out;
    ASSERT_TRUE(parseAudioOutput(("pcm-realtime:" + capture).c_str(), out));
    auto sleep = [](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
    {
        auto song = makeMpvMciDevice(out);
        MpvStreamPlayer stream(out);
        char reply[128];
        auto send = [&](const std::string& c) { return song->send(c.c_str(), reply, sizeof reply); };
        struct Row {
            const char* name;
            std::function<void()> play, pause, resume, half, stop;
        };
        const Row rows[] = {
            {"song",
             [&] {
                 ASSERT_EQ(send("open \"" + file("first.mp3") + "\" alias Song"), 0u);
                 ASSERT_EQ(send("play song"), 0u);
             },
             [&] { EXPECT_EQ(send("pause song"), 0u); }, [&] { EXPECT_EQ(send("resume song"), 0u); },
             [&] { EXPECT_EQ(send("setaudio song volume to 500"), 0u); },
             [&] { EXPECT_EQ(send("close song"), 0u); }},
            {"stream",
             [&] {
                 ASSERT_TRUE(stream.create());
                 stream.setVolume(100);
                 stream.setUrl(file("second.mp3"));
                 stream.play();
             },
             [&] { stream.pause(); }, [&] { stream.play(); }, [&] { stream.setVolume(50); },
             [&] { stream.stop(); }},
        };
        for (const Row& row : rows) {
            SCOPED_TRACE(row.name);
            row.play();
            sleep(1200);
            if (std::string(row.name) == "song") {
                // Real time: about 1.2 s played (after the open's load).
                EXPECT_NEAR(std::atol((send("status song position"), reply)), 1200, 250);
            }
            row.pause();
            sleep(800);
            row.resume();
            sleep(600);
            row.half();
            sleep(600);
            row.stop();
            sleep(600);
        }
    }  // the back ends are gone: the writer finished the file

    const kestro::testing::WavCapture w = kestro::testing::readWavCapture(capture);
    ASSERT_TRUE(w.headerValid);
    std::vector<kestro::testing::Stretch> s = kestro::testing::stretches(w);
    if (!s.empty() && s.front().hz == 0) s.erase(s.begin());
    struct Expected {
        double hz;
        double peak;  // relative to the first stretch of the same back end
        double seconds;
    };
    // The tones of first.mp3 and second.mp3 (440 and 880 Hz, at the level
    // ffmpeg made them).
    const Expected expected[] = {
        {440, 1.0, 1.2}, {0, 0, 0.8}, {440, 1.0, 0.6}, {440, 0.5, 0.6}, {0, 0, 0.6},
        {880, 1.0, 1.2}, {0, 0, 0.8}, {880, 1.0, 0.6}, {880, 0.5, 0.6},
    };
    ASSERT_GE(s.size(), 10u) << kestro::testing::describe(s);
    // A stretch of tone at full level is split where the pause was.
    for (std::size_t i = 0; i < 9; ++i) {
        SCOPED_TRACE("stretch " + std::to_string(i) + kestro::testing::describe(s));
        const double full = s[i < 5 ? 0 : 5].peak;
        EXPECT_NEAR(s[i].hz, expected[i].hz, 8);
        EXPECT_NEAR(s[i].peak, expected[i].peak * full, 0.03);
        EXPECT_NEAR(s[i].seconds, expected[i].seconds, 0.3);
    }
    EXPECT_EQ(s[9].hz, 0) << kestro::testing::describe(s);
    EXPECT_EQ(s.size(), 10u) << "nothing may follow the stop" << kestro::testing::describe(s);
}
