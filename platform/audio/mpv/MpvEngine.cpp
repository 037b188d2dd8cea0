#include "platform/audio/mpv/MpvEngine.h"

#include <mpv/client.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <clocale>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

#include "platform/system/Diagnostics.h"
#include "platform/audio/mpv/MpvCapture.h"
#include "platform/system/Text.h"

namespace kestro::platform {

namespace {

// Options that keep an embedded libmpv quiet and safe: no configuration
// files, no scripts (the built-in ones included), no external downloader
// (a failing http address would start one and it can hang), no input, no
// terminal, no video or cover art, no extra files found next to the media,
// no state saved, idle between files, a file stays open at its end.
const char* const kSharedOptions[][2] = {
    {"config", "no"},
    {"load-scripts", "no"},
    {"ytdl", "no"},
    {"osc", "no"},
    {"load-stats-overlay", "no"},
    {"load-osd-console", "no"},
    {"load-auto-profiles", "no"},
    {"input-default-bindings", "no"},
    {"input-vo-keyboard", "no"},
    {"input-terminal", "no"},
    {"input-media-keys", "no"},
    {"terminal", "no"},
    {"video", "no"},
    {"audio-display", "no"},
    {"cover-art-auto", "no"},
    {"sub-auto", "no"},
    {"audio-file-auto", "no"},
    {"autoload-files", "no"},
    {"force-window", "no"},
    {"idle", "yes"},
    {"resume-playback", "no"},
    {"save-position-on-quit", "no"},
    {"audio-fallback-to-null", "yes"},
    {"keep-open", "yes"},
};

constexpr std::uint64_t kCurrentAoId = kEngineObserveIdBase + 1;

// --- the process's output choice -------------------------------------------

struct OutputChoice {
    std::mutex lock;
    bool set = false;
    AudioOutput output;
};

OutputChoice& outputChoice() {
    static OutputChoice* c = new OutputChoice;
    return *c;
}

// --- WAV captures ----------------------------------------------------------

// The capture format is fixed so that every song and the stream append the
// same raw PCM to one file: 16-bit signed, 44100 Hz, stereo.
constexpr unsigned kCaptureRate = 44100;
constexpr unsigned kCaptureChannels = 2;
constexpr unsigned kCaptureBytesPerSample = 2;
constexpr unsigned kWavHeaderSize = 44;

struct CaptureRegistry {
    std::mutex lock;
    std::set<std::string> started;  // captures this process created
};

CaptureRegistry& captures() {
    static CaptureRegistry* r = new CaptureRegistry;  // used by the exit handler
    return *r;
}

void putLe32(unsigned char* p, std::uint32_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}
void putLe16(unsigned char* p, std::uint16_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}

void makeWavHeader(unsigned char (&h)[kWavHeaderSize], std::uint64_t dataBytes) {
    const unsigned block = kCaptureChannels * kCaptureBytesPerSample;
    dataBytes -= dataBytes % block;
    const std::uint64_t maxData = 0xFFFFFFFFull - 36;
    if (dataBytes > maxData) dataBytes = maxData - maxData % block;
    std::memcpy(h, "RIFF", 4);
    putLe32(h + 4, static_cast<std::uint32_t>(36 + dataBytes));
    std::memcpy(h + 8, "WAVEfmt ", 8);
    putLe32(h + 16, 16);
    putLe16(h + 20, 1);  // PCM
    putLe16(h + 22, kCaptureChannels);
    putLe32(h + 24, kCaptureRate);
    putLe32(h + 28, kCaptureRate * block);
    putLe16(h + 32, static_cast<std::uint16_t>(block));
    putLe16(h + 34, kCaptureBytesPerSample * 8);
    std::memcpy(h + 36, "data", 4);
    putLe32(h + 40, static_cast<std::uint32_t>(dataBytes));
}

void patchAllCaptures() {
    CaptureRegistry& r = captures();
    std::lock_guard<std::mutex> guard(r.lock);
    for (const std::string& path : r.started) {
        struct stat st;
        if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        std::FILE* f = std::fopen(path.c_str(), "r+b");
        if (!f) continue;
        std::fseek(f, 0, SEEK_END);
        long size = std::ftell(f);
        unsigned char h[kWavHeaderSize];
        makeWavHeader(h, size > static_cast<long>(kWavHeaderSize) ? static_cast<std::uint64_t>(size) - kWavHeaderSize : 0);
        std::fseek(f, 0, SEEK_SET);
        std::fwrite(h, 1, sizeof h, f);
        std::fclose(f);
    }
}

}  // namespace

// Creates the capture file with an empty header the first time this process
// uses it; libmpv (or the real-time writer) then appends raw PCM after it.
bool startWavCapture(const std::string& path) {
    CaptureRegistry& r = captures();
    std::lock_guard<std::mutex> guard(r.lock);
    if (r.started.count(path)) return true;
    // A FIFO or device as the capture (another process reading the raw
    // PCM) gets no header and is never touched here: opening it could block.
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return true;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    unsigned char h[kWavHeaderSize];
    makeWavHeader(h, 0);
    bool ok = std::fwrite(h, 1, sizeof h, f) == sizeof h;
    ok = std::fclose(f) == 0 && ok;
    if (!ok) return false;
    static bool exitHandler = (std::atexit(patchAllCaptures), true);
    (void)exitHandler;
    r.started.insert(path);
    return true;
}

namespace {

std::atomic<bool> outputReported{false};

// The bounded teardown: mpv_terminate_destroy waits for the core thread,
// which a stalled output can hold for a long time.
void destroyBounded(mpv_handle* handle) {
    struct Done {
        std::mutex lock;
        std::condition_variable cv;
        bool done = false;
    };
    auto done = std::make_shared<Done>();
    try {
        std::thread([handle, done] {
            mpv_terminate_destroy(handle);
            std::lock_guard<std::mutex> guard(done->lock);
            done->done = true;
            done->cv.notify_all();
        }).detach();
    } catch (...) {
        // No thread to be had: leave the core to the process's exit rather
        // than risk blocking the caller.
        diagnostic("audio engine: could not start the teardown thread; the core is left running");
        return;
    }
    std::unique_lock<std::mutex> guard(done->lock);
    if (!done->cv.wait_for(guard, std::chrono::milliseconds(1000), [&] { return done->done; })) {
        diagnostic("audio engine: the core did not stop within 1 s; left to the process's exit");
    }
}

}  // namespace

bool parseAudioOutput(const char* text, AudioOutput& out) {
    if (text == nullptr) return false;
    std::string_view t(text);
    AudioOutput o;
    if (t == "auto") {
        o.kind = AudioOutput::Kind::Auto;
    } else if (t == "null") {
        o.kind = AudioOutput::Kind::Null;
    } else if (t.rfind("pcm:", 0) == 0 && t.size() > 4) {
        o.kind = AudioOutput::Kind::Pcm;
        o.file = std::string(t.substr(4));
    } else if (t.rfind("pcm-realtime:", 0) == 0 && t.size() > 13) {
        o.kind = AudioOutput::Kind::Pcm;
        o.file = std::string(t.substr(13));
        o.realtime = true;
    } else {
        return false;
    }
    out = std::move(o);
    return true;
}

std::string describeAudioOutput(const AudioOutput& output) {
    switch (output.kind) {
        case AudioOutput::Kind::Auto:
            return "auto";
        case AudioOutput::Kind::Null:
            return "null";
        case AudioOutput::Kind::Pcm:
            return (output.realtime ? "pcm-realtime:" : "pcm:") + output.file;
    }
    return "auto";
}

AudioOutput processAudioOutput() {
    OutputChoice& c = outputChoice();
    std::lock_guard<std::mutex> guard(c.lock);
    if (!c.set) {
        c.set = true;
        const char* env = std::getenv("KESTRO_AUDIO");
        if (env && !parseAudioOutput(env, c.output)) {
            diagnostic("KESTRO_AUDIO \"%s\" is not auto, null, pcm:FILE or pcm-realtime:FILE; using auto", env);
        }
    }
    return c.output;
}

void setProcessAudioOutput(const AudioOutput& output) {
    OutputChoice& c = outputChoice();
    std::lock_guard<std::mutex> guard(c.lock);
    c.set = true;
    c.output = output;
}

std::vector<std::pair<const char*, const char*>> mpvSharedOptions() {
    std::vector<std::pair<const char*, const char*>> options;
    for (const auto& option : kSharedOptions) options.emplace_back(option[0], option[1]);
    return options;
}

double mpvVolumeForGain(double gain) {
    if (!(gain > 0.0)) return 0.0;
    if (gain > 1.0) gain = 1.0;
    return 100.0 * std::cbrt(gain);
}

void patchWavCapture(const std::string& path) {
    CaptureRegistry& r = captures();
    {
        std::lock_guard<std::mutex> guard(r.lock);
        if (!r.started.count(path)) return;
    }
    patchAllCaptures();
}

std::unique_ptr<MpvEngine> MpvEngine::create(const AudioOutput& output, const char* role,
                                             const std::vector<std::pair<const char*, const char*>>& extraOptions) {
    std::unique_ptr<MpvEngine> engine(new MpvEngine);
    copyBounded(engine->role_, role ? role : "audio");
    engine->output_ = output;

    mpv_handle* h = mpv_create();
    if (h == nullptr) {
        const char* numeric = std::setlocale(LC_NUMERIC, nullptr);
        diagnostic("audio engine (%s): libmpv could not be created (LC_NUMERIC is \"%s\"; libmpv needs \"C\")",
                   engine->role_, numeric ? numeric : "?");
        return nullptr;
    }
    engine->handle_ = h;

    auto set = [&](const char* name, const char* value) {
        int rc = mpv_set_option_string(h, name, value);
        if (rc < 0) diagnostic("audio engine (%s): option %s=%s refused: %s", engine->role_, name, value, mpv_error_string(rc));
        return rc >= 0;
    };
    for (const auto& option : kSharedOptions) set(option[0], option[1]);

    switch (output.kind) {
        case AudioOutput::Kind::Auto:
            break;  // libmpv's own list of devices, then the null output
        case AudioOutput::Kind::Null:
            set("ao", "null");
            break;
        case AudioOutput::Kind::Pcm:
            if (output.realtime) {
                // The null output keeps time; the tap at the end of the
                // filters feeds the capture's writer. Small buffers keep the
                // tap close to what the output counts as played.
                set("ao", "null");
                set("ao-null-buffer", "0.01");
                set("ao-null-outburst", "64");
                set("audio-buffer", "0.01");
                engine->captureSource_ = registerCaptureSource(output.file, engine->role_);
                const std::string tap = engine->captureSource_ ? captureTapFilter(engine->captureSource_) : "";
                if (tap.empty() || !set("af", tap.c_str()))
                    diagnostic("audio engine (%s): no real-time capture; playing silently in real time", engine->role_);
                break;
            }
            if (!startWavCapture(output.file)) {
                diagnostic("audio engine (%s): cannot write the capture file \"%s\"", engine->role_, output.file.c_str());
                return nullptr;  // the destructor releases the handle
            }
            set("ao", "pcm");
            set("ao-pcm-file", output.file.c_str());
            set("ao-pcm-waveheader", "no");
            set("ao-pcm-append", "yes");
            set("audio-format", "s16");
            set("audio-samplerate", "44100");
            set("audio-channels", "stereo");
            break;
    }
    for (const auto& option : extraOptions) set(option.first, option.second);

    int rc = mpv_initialize(h);
    if (rc < 0) {
        diagnostic("audio engine (%s): libmpv could not start: %s", engine->role_, mpv_error_string(rc));
        return nullptr;
    }
    engine->wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (engine->wakeFd_ < 0) {
        diagnostic("audio engine (%s): no eventfd for the back-end thread", engine->role_);
        return nullptr;
    }
    mpv_set_wakeup_callback(h, &MpvEngine::onWakeup, engine.get());
    mpv_request_log_messages(h, "error");
    mpv_observe_property(h, kCurrentAoId, "current-ao", MPV_FORMAT_STRING);
    return engine;
}

// Called by libmpv from its own threads when an event is queued.
void MpvEngine::onWakeup(void* self) { static_cast<MpvEngine*>(self)->wake(); }

void MpvEngine::wake() {
    const std::uint64_t one = 1;
    // The counter only grows; a full counter (never in practice) still wakes.
    [[maybe_unused]] const ssize_t n = ::write(wakeFd_, &one, sizeof one);
}

bool MpvEngine::start(std::function<void(const mpv_event&)> onEvent) {
    if (thread_.joinable()) return true;
    onEvent_ = std::move(onEvent);
    try {
        thread_ = std::thread([this] { run(); });
    } catch (...) {
        diagnostic("audio engine (%s): could not start its back-end thread", role_);
        return false;
    }
    return true;
}

bool MpvEngine::post(std::function<void()> work) {
    std::lock_guard<std::mutex> guard(postLock_);
    const std::size_t head = queueHead_.load(std::memory_order_relaxed);
    if (head - queueTail_.load(std::memory_order_acquire) >= kQueueSize) return false;
    queue_[head % kQueueSize] = std::move(work);
    queueHead_.store(head + 1, std::memory_order_release);
    wake();
    return true;
}

// Runs the work posted so far; true when there was any.
bool MpvEngine::runPosted() {
    bool any = false;
    for (;;) {
        const std::size_t tail = queueTail_.load(std::memory_order_relaxed);
        if (tail == queueHead_.load(std::memory_order_acquire)) return any;
        std::function<void()> work = std::move(queue_[tail % kQueueSize]);
        queue_[tail % kQueueSize] = nullptr;
        queueTail_.store(tail + 1, std::memory_order_release);
        any = true;
        if (work) {
            try {
                work();
            } catch (...) {
                diagnostic("audio engine (%s): a command failed on the back-end thread", role_);
            }
        }
    }
}

void MpvEngine::run() {
    for (;;) {
        pollfd p{wakeFd_, POLLIN, 0};
        ::poll(&p, 1, -1);
        std::uint64_t count;
        [[maybe_unused]] const ssize_t n = ::read(wakeFd_, &count, sizeof count);
        // Work first, then every event: a command's reply is taken in the
        // same pass when libmpv was quick.
        runPosted();
        for (;;) {
            mpv_event* e = mpv_wait_event(handle_, 0);
            if (e == nullptr || e->event_id == MPV_EVENT_NONE) break;
            if (e->event_id == MPV_EVENT_LOG_MESSAGE ||
                (e->event_id == MPV_EVENT_PROPERTY_CHANGE && e->reply_userdata >= kEngineObserveIdBase)) {
                handleEngineEvent(e);
                continue;
            }
            if (onEvent_) {
                try {
                    onEvent_(*e);
                } catch (...) {
                    diagnostic("audio engine (%s): an event could not be handled", role_);
                }
            }
        }
        if (stopping_.load()) {
            runPosted();
            return;
        }
    }
}

void MpvEngine::stop() {
    if (!thread_.joinable()) return;
    stopping_.store(true);
    wake();
    thread_.join();
}

void MpvEngine::setCaptureGain(double gain) {
    if (captureSource_) setCaptureSourceGain(captureSource_, gain);
}

MpvEngine::~MpvEngine() {
    stop();
    if (handle_ != nullptr) {
        mpv_set_wakeup_callback(handle_, nullptr, nullptr);
        destroyBounded(handle_);
    }
    handle_ = nullptr;
    if (wakeFd_ >= 0) ::close(wakeFd_);
    if (captureSource_) unregisterCaptureSource(captureSource_);
    patchCapture();
}

bool MpvEngine::command(std::initializer_list<const char*> args, std::uint64_t replyId) {
    const char* argv[16];
    std::size_t n = 0;
    for (const char* a : args) {
        if (n + 1 >= sizeof argv / sizeof argv[0]) break;
        argv[n++] = a;
    }
    argv[n] = nullptr;
    return mpv_command_async(handle_, replyId, argv) >= 0;
}

bool MpvEngine::setFlag(const char* name, bool value) {
    int flag = value ? 1 : 0;
    return mpv_set_property_async(handle_, 0, name, MPV_FORMAT_FLAG, &flag) >= 0;
}

bool MpvEngine::setDouble(const char* name, double value) {
    return mpv_set_property_async(handle_, 0, name, MPV_FORMAT_DOUBLE, &value) >= 0;
}

bool MpvEngine::setString(const char* name, const char* value) {
    return mpv_set_property_async(handle_, 0, name, MPV_FORMAT_STRING, &value) >= 0;
}

bool MpvEngine::request(std::uint64_t replyId, const char* name, int mpvFormat) {
    return mpv_get_property_async(handle_, replyId, name, static_cast<mpv_format>(mpvFormat)) >= 0;
}

bool MpvEngine::observe(std::uint64_t id, const char* name, int mpvFormat) {
    return mpv_observe_property(handle_, id, name, static_cast<mpv_format>(mpvFormat)) >= 0;
}

void MpvEngine::handleEngineEvent(const mpv_event* e) {
    if (e->event_id == MPV_EVENT_LOG_MESSAGE) {
        const auto* m = static_cast<const mpv_event_log_message*>(e->data);
        if (m == nullptr || m->text == nullptr) return;
        std::size_t n = copyUtf8Cut(lastLogError_, sizeof lastLogError_, m->text, sizeof lastLogError_ - 1);
        while (n > 0 && (lastLogError_[n - 1] == '\n' || lastLogError_[n - 1] == '\r')) lastLogError_[--n] = '\0';
        return;
    }
    if (e->reply_userdata == kCurrentAoId) {
        const auto* p = static_cast<const mpv_event_property*>(e->data);
        if (p == nullptr || p->format != MPV_FORMAT_STRING || p->data == nullptr) return;
        const char* ao = *static_cast<const char* const*>(p->data);
        if (ao == nullptr || ao[0] == '\0' || outputReported.exchange(true)) return;
        if (output_.kind == AudioOutput::Kind::Auto && std::strcmp(ao, "null") == 0) {
            diagnostic("audio output: null (no sound device could be opened; playing silently in real time)");
        } else if (output_.kind == AudioOutput::Kind::Pcm) {
            diagnostic("audio output: %s, capture \"%s\"%s", ao, output_.file.c_str(),
                       output_.realtime ? " in real time" : "");
        } else {
            diagnostic("audio output: %s", ao);
        }
    }
}

void MpvEngine::patchCapture() const {
    if (output_.kind == AudioOutput::Kind::Pcm && !output_.realtime) patchWavCapture(output_.file);
}

}  // namespace kestro::platform
