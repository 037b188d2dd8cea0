#include "platform/audio/mpv/MpvEngine.h"

#include <mpv/client.h>
#include <mpv/stream_cb.h>
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

#include "platform/audio/mpv/MpvCapture.h"
#include "platform/audio/mpv/WavCaptureFile.h"
#include "platform/system/Diagnostics.h"
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
                engine->capture_ = registerCaptureSource(output.file, engine->role_);
                const std::string tap = engine->capture_ ? captureTapFilter(*engine->capture_) : "";
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
    engine->accepted(mpv_request_log_messages(h, "error"), "the log messages of level", "error");
    engine->observe(kCurrentAoId, "current-ao", MPV_FORMAT_STRING);
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
    if (capture_) platform::setCaptureGain(*capture_, gain);
}

bool MpvEngine::addReadOnlyProtocol(const char* protocol, void* userData,
                                    int (*open)(void*, char*, mpv_stream_cb_info*)) {
    return accepted(mpv_stream_cb_add_ro(handle_, protocol, userData, open), "the protocol", protocol);
}

MpvEngine::~MpvEngine() {
    stop();
    if (handle_ != nullptr) {
        mpv_set_wakeup_callback(handle_, nullptr, nullptr);
        destroyBounded(handle_);
    }
    handle_ = nullptr;
    if (wakeFd_ >= 0) ::close(wakeFd_);
    if (capture_) unregisterCaptureSource(*capture_);
    patchCapture();
}

bool MpvEngine::accepted(int rc, const char* call, const char* name) {
    if (rc >= 0) return true;
    diagnostic("audio engine (%s): libmpv refused %s %s: %s", role_, call, name ? name : "", mpv_error_string(rc));
    return false;
}

bool MpvEngine::commandArgs(const char* const* args, std::size_t count, std::uint64_t replyId) {
    const char* argv[kMaxCommandArgs + 1];
    for (std::size_t i = 0; i < count; ++i) argv[i] = args[i];
    argv[count] = nullptr;
    return accepted(mpv_command_async(handle_, replyId, argv), "the command", count ? args[0] : "");
}

void MpvEngine::setFlag(const char* name, bool value) {
    int flag = value ? 1 : 0;
    accepted(mpv_set_property_async(handle_, 0, name, MPV_FORMAT_FLAG, &flag), "the property", name);
}

void MpvEngine::setDouble(const char* name, double value) {
    accepted(mpv_set_property_async(handle_, 0, name, MPV_FORMAT_DOUBLE, &value), "the property", name);
}

void MpvEngine::setString(const char* name, const char* value) {
    accepted(mpv_set_property_async(handle_, 0, name, MPV_FORMAT_STRING, &value), "the property", name);
}

bool MpvEngine::request(std::uint64_t replyId, const char* name, int mpvFormat) {
    return accepted(mpv_get_property_async(handle_, replyId, name, static_cast<mpv_format>(mpvFormat)),
                    "the query of", name);
}

void MpvEngine::observe(std::uint64_t id, const char* name, int mpvFormat) {
    accepted(mpv_observe_property(handle_, id, name, static_cast<mpv_format>(mpvFormat)), "the observation of", name);
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
