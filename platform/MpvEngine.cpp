#include "platform/MpvEngine.h"

#include <mpv/client.h>
#include <sys/stat.h>

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

#include "platform/Diagnostics.h"
#include "platform/Text.h"

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

// Creates the capture file with an empty header the first time this process
// uses it; libmpv then appends raw PCM after the header.
bool startCapture(const std::string& path) {
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
            return "pcm:" + output.file;
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
            diagnostic("KESTRO_AUDIO \"%s\" is not auto, null or pcm:FILE; using auto", env);
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
            if (!startCapture(output.file)) {
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
    mpv_set_wakeup_callback(h, &MpvEngine::onWakeup, engine.get());
    mpv_request_log_messages(h, "error");
    mpv_observe_property(h, kCurrentAoId, "current-ao", MPV_FORMAT_STRING);
    return engine;
}

void MpvEngine::onWakeup(void* self) { static_cast<MpvEngine*>(self)->wakeup_.store(true); }

MpvEngine::~MpvEngine() {
    if (handle_ != nullptr) {
        mpv_set_wakeup_callback(handle_, nullptr, nullptr);
        destroyBounded(handle_);
    }
    handle_ = nullptr;
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

bool MpvEngine::observe(std::uint64_t id, const char* name, int mpvFormat) {
    return mpv_observe_property(handle_, id, name, static_cast<mpv_format>(mpvFormat)) >= 0;
}

const mpv_event* MpvEngine::waitEvent(double timeoutSeconds) {
    for (;;) {
        if (timeoutSeconds <= 0) {
            // A drain goes on until libmpv says it has nothing; a wakeup that
            // comes meanwhile sets the flag again for the next drain.
            if (!draining_ && !wakeup_.exchange(false)) return nullptr;
        } else {
            wakeup_.store(false);
        }
        mpv_event* e = mpv_wait_event(handle_, timeoutSeconds > 0 ? timeoutSeconds : 0);
        draining_ = e != nullptr && e->event_id != MPV_EVENT_NONE;
        if (!draining_) return nullptr;
        if (e->event_id == MPV_EVENT_LOG_MESSAGE ||
            (e->event_id == MPV_EVENT_PROPERTY_CHANGE && e->reply_userdata >= kEngineObserveIdBase)) {
            handleEngineEvent(e);
            timeoutSeconds = 0;  // the caller keeps its own deadline
            continue;
        }
        return e;
    }
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
            diagnostic("audio output: %s, capture \"%s\"", ao, output_.file.c_str());
        } else {
            diagnostic("audio output: %s", ao);
        }
    }
}

void MpvEngine::patchCapture() const {
    if (output_.kind == AudioOutput::Kind::Pcm) patchWavCapture(output_.file);
}

}  // namespace kestro::platform
