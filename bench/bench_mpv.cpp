// The libmpv song device: its start sequence (which returns before libmpv's
// load ends) against bare libmpv loading the same file, and the per-tick
// queries, with the output working and with it stalled.
//
//   build/kestro_bench --benchmark_filter=Mpv --benchmark_repetitions=9
//       --benchmark_report_aggregates_only=true   (one line)
//
// Every core loads one file before timing starts: the first load of a
// process (40-100 ms) is not part of the figures.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <mpv/client.h>
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <memory>
#include <vector>
#include <string>
#include <thread>

#include "BenchMedia.h"
#include "HostileFiles.h"
#include "platform/system/Diagnostics.h"
#include "platform/tags/MediaTags.h"
#include "platform/audio/mpv/MpvMciDevice.h"
#include "platform/audio/mpv/SongFormats.h"
#include "platform/audio/mpv/MpvStreamPlayer.h"
#include "IcecastServer.h"
#include "TestUtil.h"

using namespace kestro::platform;

namespace {

using kestro::bench::mediaDir;
using kestro::bench::mediaFile;

AudioOutput nullOutput() {
    AudioOutput o;
    o.kind = AudioOutput::Kind::Null;
    return o;
}

// Bare libmpv on the null output, on a core with the device's options (or
// with the shared ones only), so that a comparison shows the device's own
// work: loadfile (paused), then FILE_LOADED and the duration (its change,
// or asked for once the file loaded: reloading the same file reports no
// change).
class BareCore {
public:
    explicit BareCore(bool songOptions = true) : h_(mpv_create()) {
        for (const auto& [name, value] : mpvSharedOptions()) mpv_set_option_string(h_, name, value);
        if (songOptions) {
            for (const auto& [name, value] : mpvSongOptions()) mpv_set_option_string(h_, name, value);
        }
        mpv_set_option_string(h_, "ao", "null");
        mpv_initialize(h_);
        mpv_observe_property(h_, 1, "duration", MPV_FORMAT_DOUBLE);
        int yes = 1;
        mpv_set_property(h_, "pause", MPV_FORMAT_FLAG, &yes);
    }
    ~BareCore() { mpv_terminate_destroy(h_); }
    BareCore(const BareCore&) = delete;
    BareCore& operator=(const BareCore&) = delete;

    void load(const std::string& file) {
        const char* cmd[] = {"loadfile", file.c_str(), "replace", nullptr};
        mpv_command_async(h_, 0, cmd);
        bool loaded = false;
        for (;;) {
            mpv_event* e = mpv_wait_event(h_, 5);
            if (e->event_id == MPV_EVENT_NONE) break;
            if (e->event_id == MPV_EVENT_FILE_LOADED) loaded = true;
            if (loaded && e->event_id == MPV_EVENT_PROPERTY_CHANGE &&
                static_cast<mpv_event_property*>(e->data)->format == MPV_FORMAT_DOUBLE)
                break;
            double duration = 0;
            if (loaded && mpv_get_property(h_, "duration", MPV_FORMAT_DOUBLE, &duration) >= 0) break;
        }
    }

private:
    mpv_handle* h_;
};

// The device loads a song after its start sequence: a song's load is given
// the time to end (as the ticks after a start would) before the next start,
// outside the time measured, so that starts never pile up unplayed loads.
void settle() { std::this_thread::sleep_for(std::chrono::milliseconds(30)); }

// The plug-in's start sequence on the device, and the close before the next.
void startAndClose(MciInterpreter& d, const std::string& open) {
    char reply[128];
    d.send(open.c_str(), reply, sizeof reply);
    d.send("set song time format milliseconds", reply, sizeof reply);
    d.send("set song seek exactly on", reply, sizeof reply);
    d.send("status song length", reply, sizeof reply);
    d.send("set song seek exactly off", reply, sizeof reply);
    d.send("play song", reply, sizeof reply);
    d.send("setaudio song volume to 800", nullptr, 0);
    d.send("close song", nullptr, 0);
}

void BM_MpvBareLoad(benchmark::State& state) {
    const std::string file = mediaFile(static_cast<int>(state.range(0)));
    state.SetLabel(kestro::bench::mediaFormat(static_cast<int>(state.range(0))));
    BareCore core;
    core.load(file);  // the first file of the core
    for (auto _ : state) core.load(file);
}
BENCHMARK(BM_MpvBareLoad)->DenseRange(0, kestro::bench::kMediaFormats - 1)->ArgName("format")->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_MpvDeviceStartSequence(benchmark::State& state) {
    const std::string open = "open " + mediaFile(static_cast<int>(state.range(0))) + " alias Song";
    state.SetLabel(kestro::bench::mediaFormat(static_cast<int>(state.range(0))));
    auto d = makeMpvMciDevice(nullOutput());
    startAndClose(*d, open);
    settle();
    for (auto _ : state) {
        startAndClose(*d, open);
        state.PauseTiming();
        settle();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_MpvDeviceStartSequence)->DenseRange(0, kestro::bench::kMediaFormats - 1)->ArgName("format")->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(30);

double medianOf(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

// Runs `first` and `second` one after the other in each iteration, so that
// the load of a shared machine falls on both alike; the median of each (in
// ms) is the counter of its name.
void interleaved(benchmark::State& state, const char* firstName, const std::function<void()>& first,
                 const char* secondName, const std::function<void()>& second, bool settleAfter = false) {
    std::vector<double> firstMs, secondMs;
    using C = std::chrono::steady_clock;
    for (auto _ : state) {
        auto t0 = C::now();
        first();
        auto t1 = C::now();
        second();
        auto t2 = C::now();
        if (settleAfter) settle();
        firstMs.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
        secondMs.push_back(std::chrono::duration<double, std::milli>(t2 - t1).count());
    }
    state.counters[firstName] = medianOf(firstMs);
    state.counters[secondName] = medianOf(secondMs);
}

// Both of the above interleaved: the medians of each and their ratio
// (device / bare) are the counters.
void BM_MpvStartVersusBare(benchmark::State& state) {
    const std::string file = mediaFile(static_cast<int>(state.range(0)));
    const std::string open = "open " + file + " alias Song";
    state.SetLabel(kestro::bench::mediaFormat(static_cast<int>(state.range(0))));
    BareCore core;
    auto d = makeMpvMciDevice(nullOutput());
    core.load(file);
    startAndClose(*d, open);
    settle();
    interleaved(state, "bare_ms", [&] { core.load(file); }, "device_ms", [&] { startAndClose(*d, open); }, true);
    const double bare = state.counters["bare_ms"];
    state.counters["ratio"] = bare > 0 ? state.counters["device_ms"] / bare : 0.0;
}
BENCHMARK(BM_MpvStartVersusBare)->DenseRange(0, kestro::bench::kMediaFormats - 1)->ArgName("format")->Iterations(60)->Unit(benchmark::kMillisecond)->UseRealTime();

// What the song core's options (one local file, as audio) cost a load:
// a core with them and one with the shared options only, interleaved.
void BM_MpvSongOptionsVersusShared(benchmark::State& state) {
    const std::string file = mediaFile(static_cast<int>(state.range(0)));
    state.SetLabel(kestro::bench::mediaFormat(static_cast<int>(state.range(0))));
    BareCore song(true), shared(false);
    song.load(file);
    shared.load(file);
    interleaved(state, "song_ms", [&] { song.load(file); }, "shared_ms", [&] { shared.load(file); });
}
BENCHMARK(BM_MpvSongOptionsVersusShared)->DenseRange(0, kestro::bench::kMediaFormats - 1)->ArgName("format")->Iterations(60)->Unit(benchmark::kMillisecond)->UseRealTime();

// The song device's check of a file's first bytes, before libmpv is asked.
void BM_SniffAudioFile(benchmark::State& state) {
    const std::string file = mediaFile(static_cast<int>(state.range(0)));
    state.SetLabel(kestro::bench::mediaFormat(static_cast<int>(state.range(0))));
    for (auto _ : state) benchmark::DoNotOptimize(sniffAudioFile(file.c_str()).format);
}
BENCHMARK(BM_SniffAudioFile)->DenseRange(0, kestro::bench::kMediaFormats - 1)->ArgName("format")->Unit(benchmark::kMicrosecond);

// The formats ExtraFormats adds (30 s tones): the tag reader's read of the
// length and the four texts (arg 0), and the song device's check (arg 1).
void BM_XiphFormats(benchmark::State& state) {
    static const char* const kCodecs[][2] = {{"flac", "flac"}, {"ogg", "libvorbis"}, {"opus", "libopus"}};
    const auto* f = kCodecs[state.range(0)];
    const std::string file = mediaDir() + "/tone." + f[0];
    if (std::system(("ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=440:duration=30 -metadata title=T "
                     "-metadata date=2008 -c:a " + std::string(f[1]) + " " + file).c_str()) != 0)
        state.SkipWithError("ffmpeg failed");
    state.SetLabel(f[0]);
    for (auto _ : state) {
        if (state.range(1) == 0) {
            MediaTags m;
            m.setXiphFormats(true);
            benchmark::DoNotOptimize(m.open(file.c_str()));
        } else {
            benchmark::DoNotOptimize(sniffSongFile(true, file.c_str()).format);
        }
    }
}
BENCHMARK(BM_XiphFormats)->ArgsProduct({{0, 1, 2}, {0, 1}})->ArgNames({"format", "check"})->Unit(benchmark::kMicrosecond);

// The device's open of 100 MB of zeros named .mp3 (a preallocated
// download): refused by the content check, libmpv never asked.
void BM_MpvOpenZeros(benchmark::State& state) {
    const std::string file = mediaDir() + "/zeros.mp3";
    if (!hostile::sparse(file, 100L << 20)) state.SkipWithError("cannot make the file");
    auto d = makeMpvMciDevice(nullOutput());
    char reply[64];
    const std::string open = "open " + file + " alias Song";
    for (auto _ : state) {
        if (d->send(open.c_str(), reply, sizeof reply) != MCIERR_INVALID_FILE) state.SkipWithError("not refused");
    }
}
BENCHMARK(BM_MpvOpenZeros)->Unit(benchmark::kMicrosecond);

void tickQueries(benchmark::State& state, MciInterpreter& d) {
    char reply[128];
    char volume[255];
    std::chrono::nanoseconds slowest{0};
    long over = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        d.send("status song position wait", reply, sizeof reply);
        d.send("status song volume", volume, sizeof volume);
        benchmark::DoNotOptimize(reply[0] + volume[0]);
        const auto took = std::chrono::steady_clock::now() - start;
        slowest = std::max(slowest, took);
        over += took > std::chrono::milliseconds(1) ? 1 : 0;
    }
    state.counters["max_us"] = static_cast<double>(slowest.count()) / 1000.0;
    state.counters["over_1ms"] = static_cast<double>(over);
}

// The two queries the tick makes while a song plays on the null output.
void BM_MpvTickQueries(benchmark::State& state) {
    auto d = makeMpvMciDevice(nullOutput());
    char reply[128];
    d->send(("open " + mediaFile(0) + " alias Song").c_str(), reply, sizeof reply);
    d->send("play song", reply, sizeof reply);
    tickQueries(state, *d);
}
BENCHMARK(BM_MpvTickQueries)->Unit(benchmark::kNanosecond);

// The same with the output stalled: the capture is a FIFO whose reader took
// nothing, so libmpv's core is blocked writing to it.
void BM_MpvTickQueriesStalled(benchmark::State& state) {
    std::signal(SIGPIPE, SIG_IGN);
    const std::string fifo = mediaDir() + "/stalled.pcm";
    ::unlink(fifo.c_str());
    mkfifo(fifo.c_str(), 0600);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    AudioOutput out;
    out.kind = AudioOutput::Kind::Pcm;
    out.file = fifo;
    {
        auto d = makeMpvMciDevice(out);
        char reply[128];
        d->send(("open " + mediaFile(0) + " alias Song").c_str(), reply, sizeof reply);
        d->send("play song", reply, sizeof reply);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the pipe fills
        tickQueries(state, *d);
        // Closing the reader fails the blocked write, so the core goes on
        // and its teardown completes.
        ::close(reader);
        d->send("close song", nullptr, 0);
    }
}
BENCHMARK(BM_MpvTickQueriesStalled)->Unit(benchmark::kNanosecond);

// --- the stream player ---------------------------------------------------------

namespace stream {

// What the plug-in reads every tick while a stream plays: the four tags and
// the duration.
void readTagsAndDuration(benchmark::State& state, StreamPlayer& player) {
    std::string value;
    std::chrono::nanoseconds slowest{0};
    long over = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        for (const char* name : {"Title", "Author", "WM/AlbumTitle", "WM/Year"}) {
            benchmark::DoNotOptimize(player.attribute(name, value));
        }
        benchmark::DoNotOptimize(player.durationSeconds());
        const auto took = std::chrono::steady_clock::now() - start;
        slowest = std::max(slowest, took);
        over += took > std::chrono::milliseconds(1) ? 1 : 0;
    }
    // The slowest read, and how many took over 1 ms (on a shared machine a
    // read can lose its core to another process; a drain of waiting events
    // falls on some reads).
    state.counters["max_us"] = static_cast<double>(slowest.count()) / 1000.0;
    state.counters["over_1ms"] = static_cast<double>(over);
}

// A live mp3 stream with an ICY title, from a real Icecast server when one
// is installed, else from the stub server.
void BM_MpvStreamTagsAndDuration(benchmark::State& state) {
    mediaDir();
    std::unique_ptr<kestro::testing::IcecastServer> icecast;
    std::unique_ptr<kestro::testing::StubHttpServer> stub;
    std::string url;
    if (kestro::testing::IcecastServer::unavailableReason().empty()) {
        icecast = std::make_unique<kestro::testing::IcecastServer>();
        if (icecast->running() && icecast->startSource("/bench.mp3", 440)) {
            icecast->setTitle("/bench.mp3", "Bench Artist - Bench Title");
            url = icecast->url("/bench.mp3");
        }
    }
    if (url.empty()) {
        stub = std::make_unique<kestro::testing::StubHttpServer>(
            kestro::testing::StubHttpServer::Mode::IcyTitle, kestro::testing::readFile(mediaFile(0)),
            "Bench Artist - Bench Title");
        url = stub->url();
    }
    MpvStreamPlayer player(nullOutput());
    player.create();
    player.setUrl(url);
    player.play();
    std::string title;
    for (int i = 0; i < 300 && !player.attribute("Title", title); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    state.SetLabel(icecast && icecast->running() ? "icecast" : "stub");
    readTagsAndDuration(state, player);
    player.stop();
    player.destroy();
}
BENCHMARK(BM_MpvStreamTagsAndDuration)->Unit(benchmark::kNanosecond);

// The same while the server has accepted the connection and never answers.
void BM_MpvStreamTagsAndDurationStalledServer(benchmark::State& state) {
    kestro::testing::StubHttpServer silent(kestro::testing::StubHttpServer::Mode::Silent);
    MpvStreamPlayer player(nullOutput());
    player.create();
    player.setUrl(silent.url());
    player.play();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    readTagsAndDuration(state, player);
    player.stop();
    player.destroy();
}
BENCHMARK(BM_MpvStreamTagsAndDurationStalledServer)->Unit(benchmark::kNanosecond);

// The baseline for the counters above: the same timing around a read that
// does no work, which shows how often this machine takes the core away.
void BM_MpvBaselineEmptyRead(benchmark::State& state) {
    std::chrono::nanoseconds slowest{0};
    long over = 0;
    int value = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(value += 1);
        const auto took = std::chrono::steady_clock::now() - start;
        slowest = std::max(slowest, took);
        over += took > std::chrono::milliseconds(1) ? 1 : 0;
    }
    state.counters["max_us"] = static_cast<double>(slowest.count()) / 1000.0;
    state.counters["over_1ms"] = static_cast<double>(over);
}
BENCHMARK(BM_MpvBaselineEmptyRead)->MinTime(2.0)->Unit(benchmark::kNanosecond);

}  // namespace stream
}  // namespace
