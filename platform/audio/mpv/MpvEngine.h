// The one libmpv set-up that both audio back ends (the MCI song device and
// the stream player) use: the audio-output choice, the option set that keeps
// libmpv quiet and safe, the WAV capture, the volume curve and the bounded
// teardown. Each back end owns one MpvEngine (one libmpv core) made here.
//
// Threads: each engine has one back-end thread of its own. It sleeps until
// libmpv signals events or the owner posts work, then takes every event
// (handing it to the owner's handler) and runs the posted work, in order.
// libmpv is called only there (and by create() and the destructor), so the
// owner's callers never take a lock that a libmpv thread can hold: they post
// work (a lock-free queue and an eventfd write) and read what the handler
// published.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/audio/AudioOutput.h"

struct mpv_handle;
struct mpv_event;
struct mpv_stream_cb_info;

namespace kestro::platform {

struct CaptureSource;

// The options every core gets (name, value), before its output's and its
// own: no configuration files, scripts, downloader, input, terminal, video
// or extra files; idle between files; a file stays open at its end.
std::vector<std::pair<const char*, const char*>> mpvSharedOptions();

// Volume: both back ends treat their scale as linear amplitude (as the
// platform's wave devices do), so level / maximum is the gain and the
// maximum is unity. libmpv's volume property is cubic (gain = (v/100)^3),
// so the property is 100 * cbrt(level / maximum).
double mpvVolumeForGain(double gain);

class MpvEngine {
public:
    // Makes and initialises a core with the shared options, `output` and
    // then `extraOptions` (name, value). `role` names the back end in
    // diagnostics. Returns null when libmpv cannot be set up (for instance
    // when LC_NUMERIC is not "C"); the reason goes to the diagnostics sink.
    static std::unique_ptr<MpvEngine> create(const AudioOutput& output, const char* role,
                                             const std::vector<std::pair<const char*, const char*>>& extraOptions);

    // Terminates the core on a helper thread and waits for it at most about
    // one second (a core blocked by its output is left to the process's
    // exit), then brings the capture's WAV header up to date.
    ~MpvEngine();
    MpvEngine(const MpvEngine&) = delete;
    MpvEngine& operator=(const MpvEngine&) = delete;

    // Starts the back-end thread: from now on every event goes to `onEvent`
    // on that thread (engine-level events, the output taken and log lines,
    // are handled here first and not passed on). False when no thread could
    // be started (reported).
    bool start(std::function<void(const mpv_event&)> onEvent);
    // Runs `work` on the back-end thread after the work posted before it.
    // Never waits: false when the queue is full (the core has stopped taking
    // work for a long while).
    bool post(std::function<void()> work);
    // Stops the back-end thread after it ran the work posted so far. The
    // destructor does it too; an owner whose handler uses its own members
    // calls it first.
    void stop();

    // The gain (0 to 1) of the real-time capture's tap; the volume property
    // is the owner's to set. Nothing for other outputs. Never takes a lock
    // (the tap reads the gain on libmpv's audio thread).
    void setCaptureGain(double gain);

    // Serves `protocol`://... addresses from the owner's own reader
    // (mpv_stream_cb_add_ro): `open` is called on a libmpv thread. Call it
    // before start().
    bool addReadOnlyProtocol(const char* protocol, void* userData, int (*open)(void*, char*, mpv_stream_cb_info*));

    // Asynchronous calls, made on the back-end thread (from posted work or
    // the handler). libmpv refuses one at once only when the core is
    // shutting down or out of memory: each refusal is reported through the
    // diagnostics here, so none goes unseen.
    //
    // A command of at most kMaxCommandArgs words; a longer one does not
    // compile.
    static constexpr std::size_t kMaxCommandArgs = 15;
    template <std::size_t N>
    void command(const char* const (&args)[N]) {
        static_assert(N <= kMaxCommandArgs, "libmpv commands here take at most kMaxCommandArgs words");
        (void)commandArgs(args, N, 0);
    }
    // The same for a command whose reply the owner follows
    // (MPV_EVENT_COMMAND_REPLY with `replyId`): false when it was refused,
    // and then no reply comes.
    template <std::size_t N>
    [[nodiscard]] bool commandWithReply(const char* const (&args)[N], std::uint64_t replyId) {
        static_assert(N <= kMaxCommandArgs, "libmpv commands here take at most kMaxCommandArgs words");
        return commandArgs(args, N, replyId);
    }
    void setFlag(const char* name, bool value);
    void setDouble(const char* name, double value);
    void setString(const char* name, const char* value);
    void observe(std::uint64_t id, const char* name, int mpvFormat);
    // Asks for the property's value now; it comes back as an event
    // (MPV_EVENT_GET_PROPERTY_REPLY with `replyId`). False when refused,
    // and then no reply comes.
    [[nodiscard]] bool request(std::uint64_t replyId, const char* name, int mpvFormat);

    // The last error line libmpv logged (bounded), for diagnostics; read it
    // on the back-end thread.
    const char* lastLogError() const { return lastLogError_; }
    const char* role() const { return role_; }

    // Rewrites the capture's RIFF header to cover what is on disk now
    // (nothing for other outputs; the real-time capture's writer keeps its
    // own header up to date).
    void patchCapture() const;

private:
    MpvEngine() = default;
    bool commandArgs(const char* const* args, std::size_t count, std::uint64_t replyId);
    // Reports a call libmpv refused (rc < 0); returns rc >= 0.
    bool accepted(int rc, const char* call, const char* name);
    void handleEngineEvent(const mpv_event* event);
    void run();
    void wake();
    bool runPosted();

    static void onWakeup(void* self);

    mpv_handle* handle_ = nullptr;
    int wakeFd_ = -1;  // eventfd: libmpv's wakeups and posted work
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::function<void(const mpv_event&)> onEvent_;
    // Posted work: one consumer (the back-end thread); producers take
    // postLock_, which no libmpv thread and not the back-end thread ever
    // holds.
    static constexpr std::size_t kQueueSize = 256;
    std::function<void()> queue_[kQueueSize];
    std::atomic<std::size_t> queueHead_{0};
    std::atomic<std::size_t> queueTail_{0};
    std::mutex postLock_;
    std::shared_ptr<CaptureSource> capture_;  // the real-time capture's share
    AudioOutput output_;
    char role_[32] = "";
    char lastLogError_[256] = "";
};

// Observe ids at or above this value belong to the engine itself.
inline constexpr std::uint64_t kEngineObserveIdBase = 1u << 20;

}  // namespace kestro::platform
