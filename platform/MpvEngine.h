// The one libmpv set-up that both audio back ends (the MCI song device and
// the stream player) use: the audio-output choice, the option set that keeps
// libmpv quiet and safe, the WAV capture, the volume curve and the bounded
// teardown. Each back end owns one MpvEngine (one libmpv core) made here.
//
// What never blocks: every method except waitEvent() with a timeout returns
// at once, whatever the core thread is doing (stalled output, slow network).
// Commands and property writes are asynchronous; properties are observed and
// their values arrive as events that the owner drains with waitEvent(0).
#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

struct mpv_handle;
struct mpv_event;

namespace kestro::platform {

// Where the decoded audio goes, chosen once per process (the host sets it;
// a plug-in outside the host reads KESTRO_AUDIO).
struct AudioOutput {
    enum class Kind { Auto, Null, Pcm };
    Kind kind = Kind::Auto;
    std::string file;  // Pcm: the WAV capture file
};

// Reads "auto", "null" or "pcm:FILE". False (and `out` untouched) for
// anything else, including an empty FILE.
//
// A capture is written as fast as the audio decodes (a 3-minute song in a
// fraction of a second); the null output runs in real time, so tests of
// pause and seek in real audio time use "null" and tests of what was
// played use "pcm:FILE".
bool parseAudioOutput(const char* text, AudioOutput& out);
// The text form of `output` (the inverse of parseAudioOutput).
std::string describeAudioOutput(const AudioOutput& output);

// The process's choice: the last one set, else KESTRO_AUDIO when it parses
// (a value that does not parse is reported once and ignored), else Auto.
AudioOutput processAudioOutput();
void setProcessAudioOutput(const AudioOutput& output);

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

    // Asynchronous calls; false when libmpv refused them at once.
    bool command(std::initializer_list<const char*> args, std::uint64_t replyId = 0);
    bool setFlag(const char* name, bool value);
    bool setDouble(const char* name, double value);
    bool setString(const char* name, const char* value);
    bool observe(std::uint64_t id, const char* name, int mpvFormat);

    // The next event, or null when there is none within `timeoutSeconds`
    // (0: do not wait). Engine-level events (the output the core took, log
    // lines) are handled here and not returned. The event stays valid until
    // the next call. With 0, libmpv is asked only after it signalled new
    // events (its wakeup callback), so a drain with nothing waiting costs a
    // few nanoseconds instead of a pass through libmpv's event lock.
    const mpv_event* waitEvent(double timeoutSeconds);

    // The last error line libmpv logged (bounded), for diagnostics.
    const char* lastLogError() const { return lastLogError_; }
    const char* role() const { return role_; }

    // Rewrites the capture's RIFF header to cover what is on disk now
    // (nothing for other outputs).
    void patchCapture() const;

private:
    MpvEngine() = default;
    void handleEngineEvent(const mpv_event* event);

    static void onWakeup(void* self);

    mpv_handle* handle_ = nullptr;
    std::atomic<bool> wakeup_{true};  // libmpv has (or may have) events
    bool draining_ = false;           // taking events until libmpv has none
    AudioOutput output_;
    char role_[32] = "";
    char lastLogError_[256] = "";
};

// Observe ids at or above this value belong to the engine itself.
inline constexpr std::uint64_t kEngineObserveIdBase = 1u << 20;

// Test and shutdown helper: rewrites the RIFF header of `path` (a capture
// this process started) to cover the file's current size.
void patchWavCapture(const std::string& path);

}  // namespace kestro::platform
