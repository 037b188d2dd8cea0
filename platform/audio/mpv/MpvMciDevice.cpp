#include "platform/audio/mpv/MpvMciDevice.h"

#include <fcntl.h>
#include <mpv/client.h>
#include <mpv/stream_cb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/system/Diagnostics.h"
#include "platform/tags/MediaTags.h"
#include "platform/files/Paths.h"
#include "platform/audio/mpv/MpvSteps.h"
#include "platform/audio/mpv/SongFormats.h"
#include "platform/system/Text.h"

namespace kestro::platform {

namespace {

using Clock = std::chrono::steady_clock;

// Grace for the duration after the file loaded when libmpv first reports
// it as unknown (a stale report may precede the real value).
constexpr double kDurationGraceSeconds = 0.05;

enum ObserveId : std::uint64_t { kTimePos = 1, kDuration = 2 };
// Marks the reply to the duration request of a load (load reply ids count
// from 1 and stay far below this bit).
constexpr std::uint64_t kDurationRequest = std::uint64_t{1} << 40;

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Splits a command into words. A word in double quotes may hold blanks; it
// must be closed and followed by a blank or the end. A double quote inside
// a bare word cannot be carried and is an error, so a path is never cut
// into another one.
class Words {
public:
    explicit Words(const char* text) : p_(text ? text : "") {}

    // Next word into `word`; false at the end or on an error (error() then
    // says which).
    bool next(std::string_view& word) {
        while (isBlank(*p_)) ++p_;
        if (*p_ == '\0') return false;
        if (*p_ == '"') {
            const char* start = ++p_;
            while (*p_ != '\0' && *p_ != '"') ++p_;
            if (*p_ == '\0') return fail(MCIERR_NO_CLOSING_QUOTE);
            word = std::string_view(start, static_cast<std::size_t>(p_ - start));
            ++p_;
            if (*p_ != '\0' && !isBlank(*p_)) return fail(MCIERR_EXTRA_CHARACTERS);
            return true;
        }
        const char* start = p_;
        while (*p_ != '\0' && !isBlank(*p_)) {
            if (*p_ == '"') return fail(MCIERR_NO_CLOSING_QUOTE);
            ++p_;
        }
        word = std::string_view(start, static_cast<std::size_t>(p_ - start));
        return true;
    }
    MciError error() const { return error_; }

private:
    bool fail(MciError e) {
        error_ = e;
        return false;
    }
    const char* p_;
    MciError error_ = 0;
};

// A non-negative decimal number that fits in 31 bits.
bool parseNumber(std::string_view text, long long& out) {
    if (text.empty() || text.size() > 10) return false;
    long long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    if (v > 0x7FFFFFFF) return false;
    out = v;
    return true;
}

MciError writeNumberReply(char* reply, unsigned replySize, long long value) {
    char text[32];
    std::snprintf(text, sizeof text, "%lld", value);
    copyBounded(reply, replySize, text);
    return 0;
}

// The file a load plays, served to libmpv through the device's own protocol
// (kSongProtocol): the descriptor the open made and checked, read through
// the view the inspection gave (large metadata left out). libmpv never
// opens a file by name.
struct SongSource {
    SongSource(int descriptor, std::string name) : fd(descriptor), path(std::move(name)) {}
    ~SongSource() { ::close(fd); }
    SongSource(const SongSource&) = delete;
    SongSource& operator=(const SongSource&) = delete;
    const int fd;
    const std::string path;  // for diagnostics
    SongFileView view;
    char extension[8] = "";  // the file's, for libavformat's probe
};

// One reading of a source by libmpv (its stream callbacks, on its threads).
struct SourceReader {
    std::shared_ptr<const SongSource> source;
    off_t pos = 0;

    static std::int64_t read(void* cookie, char* buf, std::uint64_t size) {
        auto* r = static_cast<SourceReader*>(cookie);
        const long n = static_cast<long>(std::min<std::uint64_t>(size, 1u << 30));
        const long got = r->source->view.read(r->source->fd, r->pos, buf, n);
        if (got > 0) r->pos += got;
        return got;
    }
    static std::int64_t seek(void* cookie, std::int64_t offset) {
        auto* r = static_cast<SourceReader*>(cookie);
        if (offset < 0 || offset > r->source->view.size()) return MPV_ERROR_GENERIC;
        r->pos = static_cast<off_t>(offset);
        return offset;
    }
    static std::int64_t size(void* cookie) { return static_cast<SourceReader*>(cookie)->source->view.size(); }
    static void close(void* cookie) { delete static_cast<SourceReader*>(cookie); }
};

constexpr const char* kSongProtocol = "kestrosong";

// The file's extension (letters and digits, up to 7) for the address.
void copyExtension(const std::string& path, char (&out)[8]) {
    const std::size_t slash = path.rfind('/');
    const std::size_t dot = path.rfind('.');
    std::size_t n = 0;
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) {
        for (std::size_t i = dot + 1; i < path.size() && n + 1 < sizeof out; ++i) {
            const char c = path[i];
            if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) {
                n = 0;
                break;
            }
            out[n++] = c;
        }
    }
    out[n] = '\0';
}

// The device in two halves. The caller's half (send(), on the script
// thread) parses commands, keeps what the caller itself set (the open
// alias, the length found by the open, the volume level) and posts the
// libmpv work to the engine's back-end thread. The back-end half (handle()
// and the posted work, on that thread) follows libmpv's events and
// publishes the position and the state of a load. The caller reads the
// published values with a try_lock only, keeping its last copy when the
// back end holds the lock, so a status query never waits.
//
// An open whose file states its length in its header returns once the
// file passed its checks: the load goes on on the back-end thread, and a
// load (or a decode) that fails later is handed over by takeLateFailure().
// An open of a file whose header states no length waits for the load, at
// most kOpenTimeoutMs, as the length is the open's to give.
class MpvMciDevice : public MciInterpreter {
    enum class Phase { Idle, WaitingReply, WaitingStart, Loading, Loaded, Failed };

    struct Values {
        std::uint64_t version = 0;  // counts the publications
        std::uint64_t serial = 0;
        Phase phase = Phase::Idle;
        long long positionMs = 0;
        long long lengthMs = 0;
        bool durationKnown = false;
        bool durationUnknownSeen = false;
        char failure[384] = "";
    };

public:
    MpvMciDevice(const AudioOutput& output, bool extraFormats)
        : extraFormats_(extraFormats), steps_([this](Values& v) { fill(v); }) {
        engine_ = MpvEngine::create(output, "song", mpvSongOptions(extraFormats));
        if (!engine_) return;
        engine_->observe(kTimePos, "time-pos", MPV_FORMAT_DOUBLE);
        engine_->observe(kDuration, "duration", MPV_FORMAT_DOUBLE);
        if (!engine_->addReadOnlyProtocol(kSongProtocol, this, &MpvMciDevice::openSource) ||
            !engine_->start([this](const mpv_event& e) { handle(e); }))
            engine_.reset();
    }

    MciError send(const char* command, char* reply, unsigned replySize) override {
        copyBounded(reply, replySize, "");
        if (!engine_) return MCIERR_CANNOT_LOAD_DRIVER;

        Words words(command);
        std::string_view verb;
        if (!words.next(verb)) return words.error() ? words.error() : MCIERR_MISSING_COMMAND_STRING;

        if (equalNoCaseAscii(verb, "open")) return open(words);

        enum class Verb { Set, Status, Play, Pause, Resume, SetAudio, Close } v;
        if (equalNoCaseAscii(verb, "set")) v = Verb::Set;
        else if (equalNoCaseAscii(verb, "status")) v = Verb::Status;
        else if (equalNoCaseAscii(verb, "play")) v = Verb::Play;
        else if (equalNoCaseAscii(verb, "pause")) v = Verb::Pause;
        else if (equalNoCaseAscii(verb, "resume")) v = Verb::Resume;
        else if (equalNoCaseAscii(verb, "setaudio")) v = Verb::SetAudio;
        else if (equalNoCaseAscii(verb, "close")) v = Verb::Close;
        else return MCIERR_UNRECOGNIZED_COMMAND;

        std::string_view device;
        if (!words.next(device)) return words.error() ? words.error() : MCIERR_MISSING_DEVICE_NAME;
        if (!open_ || !equalNoCaseAscii(device, alias_)) return MCIERR_INVALID_DEVICE_NAME;

        std::string_view w[4];
        int count = 0;
        std::string_view extra;
        while (count < 4 && words.next(w[count])) ++count;
        if (words.error()) return words.error();
        if (count == 4 && words.next(extra)) return MCIERR_UNRECOGNIZED_KEYWORD;
        if (words.error()) return words.error();

        switch (v) {
            case Verb::Set: return set(w, count);
            case Verb::Status: return status(w, count, reply, replySize);
            case Verb::Play: return play(w, count);
            case Verb::Pause:
                if (count) return MCIERR_UNRECOGNIZED_KEYWORD;
                return postFlag("pause", true);
            case Verb::Resume:
                if (count) return MCIERR_UNRECOGNIZED_KEYWORD;
                started_ = true;
                return postFlag("pause", false);
            case Verb::SetAudio: return setAudio(w, count);
            case Verb::Close:
                if (count) return MCIERR_UNRECOGNIZED_KEYWORD;
                close();
                return 0;
        }
        return MCIERR_UNRECOGNIZED_COMMAND;
    }

    MciError takeLateFailure() override {
        if (!watching_) return 0;
        refresh();
        if (seenFailed_) {
            watching_ = false;
            post([this] { stopPlayback(); });
            return MCIERR_INVALID_FILE;
        }
        if (!seenLoaded_ && Clock::now() >= loadDeadline_) {
            watching_ = false;
            diagnostic("song device: \"%s\" did not load within %d ms", openPath_.c_str(), kOpenTimeoutMs);
            post([this] { stopPlayback(); });
            return MCIERR_DEVICE_NOT_READY;
        }
        return 0;
    }

    ~MpvMciDevice() override {
        if (!engine_) return;
        if (open_) close();
        // The back-end thread runs handle(), which uses this object's
        // members: it stops before they go.
        engine_->stop();
    }

private:
    // --- the caller's half ---------------------------------------------------

    // The engine's queue is full: the back end has not taken work for long.
    MciError busy() {
        diagnostic("song device: libmpv refused a command (its queue is full)");
        return MCIERR_DEVICE_NOT_READY;
    }

    bool post(std::function<void()> work) { return steps_.post(*engine_, std::move(work)); }

    MciError postFlag(const char* name, bool value) {
        return post([this, name, value] { engine_->setFlag(name, value); }) ? 0 : busy();
    }

    // Takes the published values when the back end has applied everything
    // posted and does not hold them now; keeps the last copy otherwise.
    void refresh() {
        steps_.refresh([this](const Values& v) {
            seenPositionMs_ = v.positionMs;
            seenLoaded_ = v.phase == Phase::Loaded;
            seenFailed_ = v.phase == Phase::Failed;
        });
    }

    MciError open(Words& words) {
        std::string_view path, keyword, alias, extra;
        if (!words.next(path)) return words.error() ? words.error() : MCIERR_FILENAME_REQUIRED;
        if (!words.next(keyword)) return words.error() ? words.error() : MCIERR_MISSING_PARAMETER;
        if (!equalNoCaseAscii(keyword, "alias")) return MCIERR_UNRECOGNIZED_KEYWORD;
        if (!words.next(alias)) return words.error() ? words.error() : MCIERR_MISSING_PARAMETER;
        if (words.next(extra)) return MCIERR_UNRECOGNIZED_KEYWORD;
        if (words.error()) return words.error();
        if (path.empty()) return MCIERR_FILENAME_REQUIRED;
        if (alias.size() >= sizeof alias_) return MCIERR_OUTOFRANGE;
        if (open_) return equalNoCaseAscii(alias, alias_) ? MCIERR_DUPLICATE_ALIAS : MCIERR_DEVICE_OPEN;

        std::string mapped;
        if (!mapPath(std::string(path).c_str(), mapped)) return MCIERR_FILE_NOT_FOUND;
        struct stat st;
        if (::stat(mapped.c_str(), &st) != 0) return errno == EACCES ? MCIERR_INVALID_FILE : MCIERR_FILE_NOT_FOUND;
        // Only regular files are opened: a folder would load as a playlist,
        // and opening a FIFO or a device could block or act on it.
        if (!S_ISREG(st.st_mode) || st.st_size == 0) return MCIERR_INVALID_FILE;
        const int fd = ::open(mapped.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        if (fd < 0) return errno == EACCES ? MCIERR_INVALID_FILE : MCIERR_FILE_NOT_FOUND;
        auto source = std::make_shared<SongSource>(fd, mapped);
        // One pass over the start of the file: what is plainly not audio
        // (zeros, text, an image, a playlist) fails here at once (libmpv's
        // probing of it can take seconds); the length the header states;
        // the metadata too large to hand to libmpv.
        const SongFileFacts facts = inspectSongFile(fd, mapped.c_str(), extraFormats_);
        if (facts.kind.format == MediaFormat::Unknown) {
            diagnostic("song device: cannot play \"%s\": not an audio file", mapped.c_str());
            return MCIERR_INVALID_FILE;
        }
        if (facts.view.tooManyItems) {
            diagnostic("song device: cannot play \"%s\": more large metadata items than can be left out",
                       mapped.c_str());
            return MCIERR_INVALID_FILE;
        }
        source->view = facts.view;
        copyExtension(mapped, source->extension);

        const bool waitForLoad = facts.lengthMs < 0;
        if (!post([this, source, waitForLoad] { startLoad(source, !waitForLoad); })) return busy();
        const std::uint64_t serial = steps_.posted();
        long long lengthMs = facts.lengthMs;
        if (waitForLoad) {
            const MciError rc = waitLoaded(serial, mapped, lengthMs);
            if (rc != 0) return rc;
        }
        open_ = true;
        copyBounded(alias_, alias);
        openPath_ = mapped;
        lengthMs_ = lengthMs;
        volumeLevel_ = 1000;
        started_ = false;
        seenPositionMs_ = 0;
        seenLoaded_ = waitForLoad;
        seenFailed_ = false;
        watching_ = true;
        loadDeadline_ = Clock::now() + std::chrono::milliseconds(kOpenTimeoutMs);
        steps_.forgetSeen();
        engine_->setCaptureGain(1.0);
        return 0;
    }

    // Waits until the load posted as step `serial` has loaded and its length
    // is known, at most kOpenTimeoutMs: the open of a file whose header
    // states no length.
    MciError waitLoaded(std::uint64_t serial, const std::string& file, long long& lengthMs) {
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kOpenTimeoutMs);
        Clock::time_point graceEnd{};
        Values state;
        bool timedOut = false;
        steps_.wait([&](const Values& v) -> std::optional<Clock::time_point> {
            state = v;
            const bool current = state.serial >= serial;
            if (current && state.phase == Phase::Failed) return std::nullopt;
            if (current && state.phase == Phase::Loaded) {
                if (state.durationKnown) return std::nullopt;
                if (state.durationUnknownSeen) {
                    if (graceEnd == Clock::time_point{})
                        graceEnd = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                      std::chrono::duration<double>(kDurationGraceSeconds));
                    if (Clock::now() >= graceEnd) return std::nullopt;
                }
            }
            if (Clock::now() >= deadline) {
                timedOut = true;
                return std::nullopt;
            }
            return graceEnd != Clock::time_point{} && graceEnd < deadline ? graceEnd : deadline;
        });
        if (timedOut) {
            diagnostic("song device: \"%s\" did not load within %d ms", file.c_str(), kOpenTimeoutMs);
            post([this] { stopPlayback(); });
            return MCIERR_DEVICE_NOT_READY;
        }
        if (state.phase == Phase::Failed) {
            post([this] { stopPlayback(); });
            diagnostic("song device: cannot play \"%s\": %s", file.c_str(), state.failure);
            return MCIERR_INVALID_FILE;
        }
        lengthMs = state.lengthMs;
        return 0;
    }

    void close() {
        post([this] { stopPlayback(); });
        open_ = false;
        watching_ = false;
        alias_[0] = '\0';
        engine_->patchCapture();
    }

    MciError set(const std::string_view* w, int count) {
        if (count >= 2 && equalNoCaseAscii(w[0], "time") && equalNoCaseAscii(w[1], "format")) {
            if (count < 3) return MCIERR_MISSING_PARAMETER;
            if (count > 3) return MCIERR_UNRECOGNIZED_KEYWORD;
            if (equalNoCaseAscii(w[2], "milliseconds") || equalNoCaseAscii(w[2], "ms")) return 0;
            return MCIERR_BAD_TIME_FORMAT;
        }
        if (count >= 2 && equalNoCaseAscii(w[0], "seek") && equalNoCaseAscii(w[1], "exactly")) {
            if (count < 3) return MCIERR_MISSING_PARAMETER;
            if (count > 3) return MCIERR_UNRECOGNIZED_KEYWORD;
            bool on;
            if (equalNoCaseAscii(w[2], "on")) on = true;
            else if (equalNoCaseAscii(w[2], "off")) on = false;
            else return MCIERR_BAD_CONSTANT;
            return post([this, on] { engine_->setString("hr-seek", on ? "yes" : "no"); }) ? 0 : busy();
        }
        return count ? MCIERR_UNRECOGNIZED_KEYWORD : MCIERR_MISSING_PARAMETER;
    }

    MciError status(const std::string_view* w, int count, char* reply, unsigned replySize) {
        if (count == 0) return MCIERR_MISSING_PARAMETER;
        if (count > 2 || (count == 2 && !equalNoCaseAscii(w[1], "wait"))) return MCIERR_UNRECOGNIZED_KEYWORD;
        if (equalNoCaseAscii(w[0], "length")) return writeNumberReply(reply, replySize, lengthMs_);
        if (equalNoCaseAscii(w[0], "position")) {
            refresh();
            // Until it first plays the device is stopped at 0 (some decoders
            // report the end of their first frame while paused at the start).
            long long p = started_ ? seenPositionMs_ : 0;
            if (p > lengthMs_) p = lengthMs_;
            return writeNumberReply(reply, replySize, p < 0 ? 0 : p);
        }
        if (equalNoCaseAscii(w[0], "volume")) return writeNumberReply(reply, replySize, volumeLevel_);
        return MCIERR_UNRECOGNIZED_KEYWORD;
    }

    MciError play(const std::string_view* w, int count) {
        if (count == 0) {
            started_ = true;
            return postFlag("pause", false);
        }
        if (!equalNoCaseAscii(w[0], "from")) return MCIERR_UNRECOGNIZED_KEYWORD;
        if (count < 2) return MCIERR_MISSING_PARAMETER;
        if (count > 2) return MCIERR_UNRECOGNIZED_KEYWORD;
        long long from;
        if (!parseNumber(w[1], from)) return MCIERR_BAD_INTEGER;
        if (from > lengthMs_) return MCIERR_OUTOFRANGE;
        if (!post([this, from] { seekTo(from); })) return busy();
        // Until playback restarts at the target, the target is the position.
        started_ = true;
        seenPositionMs_ = from;
        steps_.forgetSeen();  // the next copy that includes the seek replaces it
        return 0;
    }

    MciError setAudio(const std::string_view* w, int count) {
        if (count < 1 || !equalNoCaseAscii(w[0], "volume")) return count ? MCIERR_UNRECOGNIZED_KEYWORD : MCIERR_MISSING_PARAMETER;
        if (count < 3 || !equalNoCaseAscii(w[1], "to")) return MCIERR_MISSING_PARAMETER;
        if (count > 3) return MCIERR_UNRECOGNIZED_KEYWORD;
        long long level;
        if (!parseNumber(w[2], level)) return MCIERR_BAD_INTEGER;
        if (level > 1000) return MCIERR_OUTOFRANGE;
        const double gain = static_cast<double>(level) / 1000.0;
        if (!post([this, gain] { engine_->setDouble("volume", mpvVolumeForGain(gain)); })) return busy();
        volumeLevel_ = static_cast<int>(level);
        engine_->setCaptureGain(gain);
        return 0;
    }

    // --- libmpv's threads: the device's protocol ------------------------------

    // libmpv opens kSongProtocol://SERIAL.EXT: the source of that load, if it
    // is still the current one.
    static int openSource(void* self, char* uri, mpv_stream_cb_info* info) {
        auto* d = static_cast<MpvMciDevice*>(self);
        const char* p = uri ? std::strstr(uri, "://") : nullptr;
        const std::uint64_t serial = p ? std::strtoull(p + 3, nullptr, 10) : 0;
        std::shared_ptr<const SongSource> source;
        {
            std::lock_guard<std::mutex> guard(d->sourceLock_);
            if (serial != 0 && serial == d->sourceSerial_) source = d->source_;
        }
        if (!source) return MPV_ERROR_LOADING_FAILED;
        auto* reader = new (std::nothrow) SourceReader{source, 0};
        if (!reader) return MPV_ERROR_NOMEM;
        info->cookie = reader;
        info->read_fn = &SourceReader::read;
        info->seek_fn = &SourceReader::seek;
        info->size_fn = &SourceReader::size;
        info->close_fn = &SourceReader::close;
        return 0;
    }

    // --- the back end's half (its thread only) -------------------------------

    // A load of `source`; `late`: its failure is reported here, as the open
    // has returned.
    void startLoad(const std::shared_ptr<SongSource>& source, bool late) {
        resetState();
        loadReplyId_ = ++replySerial_;
        phase_ = Phase::WaitingReply;
        reportFailure_ = late;
        loadPath_ = source->path;
        setSource(source, loadReplyId_);
        char url[64];
        std::snprintf(url, sizeof url, "%s://%llu%s%s", kSongProtocol, static_cast<unsigned long long>(loadReplyId_),
                      source->extension[0] ? "." : "", source->extension);
        engine_->setFlag("pause", true);
        engine_->setString("hr-seek", "no");
        engine_->setDouble("volume", 100.0);
        if (!engine_->commandWithReply({"loadfile", url, "replace"}, loadReplyId_))
            fail("libmpv refused the command");
    }

    void setSource(std::shared_ptr<SongSource> source, std::uint64_t serial) {
        std::lock_guard<std::mutex> guard(sourceLock_);
        source_ = std::move(source);
        sourceSerial_ = serial;
    }

    void stopPlayback() {
        engine_->command({"stop"});
        phase_ = Phase::Idle;
        setSource(nullptr, 0);  // libmpv's readers keep what they use
    }

    void seekTo(long long from) {
        seekPending_ = true;
        positionMs_ = from;
        engine_->setFlag("pause", false);
        // A seek before the file has loaded is made once it has.
        if (phase_ == Phase::Loaded) sendSeek(from);
        else pendingSeekMs_ = from;
    }

    void sendSeek(long long from) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.3f", static_cast<double>(from) / 1000.0);
        engine_->command({"seek", seconds, "absolute"});
    }

    void handle(const mpv_event& event) {
        const mpv_event* e = &event;
        switch (e->event_id) {
            case MPV_EVENT_COMMAND_REPLY:
                if (e->reply_userdata == loadReplyId_ && phase_ == Phase::WaitingReply) {
                    if (e->error < 0) fail(mpv_error_string(e->error));
                    else phase_ = Phase::WaitingStart;
                }
                break;
            case MPV_EVENT_START_FILE:
                if (phase_ == Phase::WaitingStart) {
                    const auto* s = static_cast<const mpv_event_start_file*>(e->data);
                    entryId_ = s ? s->playlist_entry_id : -1;
                    phase_ = Phase::Loading;
                }
                break;
            case MPV_EVENT_FILE_LOADED:
                if (phase_ == Phase::Loading) {
                    phase_ = Phase::Loaded;
                    if (pendingSeekMs_ >= 0) sendSeek(pendingSeekMs_);
                    pendingSeekMs_ = -1;
                    // libmpv reports an observed property only when its value
                    // changes: a file as long as the one before it (the same
                    // song again) would never report its duration. Ask.
                    if (!engine_->request(loadReplyId_ | kDurationRequest, "duration", MPV_FORMAT_DOUBLE))
                        durationUnknownSeen_ = !durationKnown_;
                }
                break;
            case MPV_EVENT_GET_PROPERTY_REPLY: {
                if (e->reply_userdata != (loadReplyId_ | kDurationRequest) || phase_ != Phase::Loaded) break;
                const auto* p = static_cast<const mpv_event_property*>(e->data);
                const bool known = e->error >= 0 && p && p->format == MPV_FORMAT_DOUBLE && p->data;
                if (known) {
                    durationKnown_ = true;
                    durationUnknownSeen_ = false;
                    durationMs_ = toMs(*static_cast<const double*>(p->data));
                } else if (!durationKnown_) {
                    durationUnknownSeen_ = true;
                }
                break;
            }
            case MPV_EVENT_END_FILE: {
                const auto* end = static_cast<const mpv_event_end_file*>(e->data);
                if (end == nullptr || end->playlist_entry_id != entryId_) break;
                if (phase_ == Phase::Loading) {
                    if (end->reason == MPV_END_FILE_REASON_REDIRECT) fail("it is a playlist or a folder");
                    else if (end->reason == MPV_END_FILE_REASON_ERROR) fail(mpv_error_string(end->error));
                    else fail("it ended before it loaded");
                } else if (phase_ == Phase::Loaded && end->reason == MPV_END_FILE_REASON_ERROR) {
                    reportFailure_ = true;
                    fail("playback stopped", mpv_error_string(end->error));
                }
                break;
            }
            case MPV_EVENT_PLAYBACK_RESTART:
                seekPending_ = false;
                break;
            case MPV_EVENT_PROPERTY_CHANGE: {
                const auto* p = static_cast<const mpv_event_property*>(e->data);
                const bool known = p && p->format == MPV_FORMAT_DOUBLE && p->data;
                const double value = known ? *static_cast<const double*>(p->data) : 0.0;
                if (e->reply_userdata == kTimePos) {
                    if (known && !seekPending_ && phase_ == Phase::Loaded) positionMs_ = toMs(value);
                } else if (e->reply_userdata == kDuration &&
                           (phase_ == Phase::Loading || phase_ == Phase::Loaded)) {
                    // The duration may come just before or after FILE_LOADED;
                    // the last report since our file started is the one.
                    durationKnown_ = known;
                    durationUnknownSeen_ = !known;
                    if (known) durationMs_ = toMs(value);
                }
                break;
            }
            default:
                return;
        }
        steps_.publish();
    }

    // Makes the back end's values visible to the caller.
    void fill(Values& v) const {
        v.phase = phase_;
        v.positionMs = positionMs_;
        v.lengthMs = durationMs_;
        v.durationKnown = durationKnown_;
        v.durationUnknownSeen = durationUnknownSeen_;
        copyBounded(v.failure, failure_);
    }

    static long long toMs(double seconds) {
        if (!(seconds > 0.0)) return 0;
        if (seconds > 2e6) return 2000000000LL;
        return std::llround(seconds * 1000.0);
    }

    void fail(const char* why, const char* detail = nullptr) {
        const char* log = engine_->lastLogError();
        std::snprintf(failure_, sizeof failure_, "%s%s%s%s%s", why ? why : "unknown error", detail ? ": " : "",
                      detail ? detail : "", log[0] ? " - " : "", log);
        phase_ = Phase::Failed;
        setSource(nullptr, 0);
        // A load the open waited for is reported by the open.
        if (reportFailure_) diagnostic("song device: cannot play \"%s\": %s", loadPath_.c_str(), failure_);
    }

    void resetState() {
        positionMs_ = 0;
        durationMs_ = 0;
        seekPending_ = false;
        pendingSeekMs_ = -1;
        durationKnown_ = false;
        durationUnknownSeen_ = false;
        entryId_ = -1;
        failure_[0] = '\0';
    }

    const bool extraFormats_;  // FLAC, Ogg Vorbis and Opus too (SongFormats.h)
    std::unique_ptr<MpvEngine> engine_;

    // The caller's (each half on cache lines of its own, so that the back
    // end's writes never move the caller's lines between cores).
    alignas(64) bool open_ = false;
    char alias_[64] = "";
    long long lengthMs_ = 0;
    int volumeLevel_ = 1000;
    bool started_ = false;  // played (or sought) since the open
    long long seenPositionMs_ = 0;
    bool seenLoaded_ = false;
    bool seenFailed_ = false;
    // The open song's load or playback may still fail: takeLateFailure()
    // looks (until it has handed over a failure or the song is closed).
    bool watching_ = false;
    Clock::time_point loadDeadline_{};
    std::string openPath_;

    // Shared: the steps posted and the values published after them.
    MpvSteps<Values> steps_;

    // The back end's.
    alignas(64) Phase phase_ = Phase::Idle;
    std::uint64_t replySerial_ = 0;
    std::uint64_t loadReplyId_ = 0;
    std::int64_t entryId_ = -1;
    long long positionMs_ = 0;
    long long durationMs_ = 0;
    long long pendingSeekMs_ = -1;  // a seek made before the file loaded
    bool seekPending_ = false;
    bool durationKnown_ = false;
    bool durationUnknownSeen_ = false;
    bool reportFailure_ = false;
    std::string loadPath_;
    char failure_[384] = "";

    // The source libmpv's protocol hands out: set by the back end, read by
    // libmpv's thread that opens it (a copy under the lock, nothing more).
    std::mutex sourceLock_;
    std::shared_ptr<const SongSource> source_;
    std::uint64_t sourceSerial_ = 0;
};

}  // namespace

std::vector<std::pair<const char*, const char*>> mpvSongOptions(bool extraFormats) {
    return {{"access-references", "no"}, {"demuxer", "lavf"}, {"demuxer-lavf-o", songLavfOptions(extraFormats)}};
}

std::shared_ptr<MciInterpreter> makeMpvMciDevice(const AudioOutput& output, bool extraFormats) {
    return std::make_shared<MpvMciDevice>(output, extraFormats);
}

}  // namespace kestro::platform
