#include "platform/audio/mpv/MpvMciDevice.h"

#include <mpv/client.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/system/Diagnostics.h"
#include "platform/tags/MediaTags.h"
#include "platform/files/Paths.h"
#include "platform/audio/Published.h"
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


// ID3v2 tags larger than this in all (a cover picture of 100 MB) are not
// read by libavformat, which keeps a tag's pictures in memory twice over: it
// is told to start after them (skip_initial_bytes). Smaller tags are read as
// they always were.
constexpr long kLargestTagRead = 1L << 20;

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

// The device in two halves. The caller's half (send(), on the script
// thread) parses commands, keeps what the caller itself set (the open
// alias, the length found by the open, the volume level) and posts the
// libmpv work to the engine's back-end thread. The back-end half (handle()
// and the posted work, on that thread) follows libmpv's events and
// publishes the position and the state of a load. The caller reads the
// published values with a try_lock only, keeping its last copy when the
// back end holds the lock, so a status query never waits.
class MpvMciDevice : public MciInterpreter {
public:
    MpvMciDevice(const AudioOutput& output, bool extraFormats) : extraFormats_(extraFormats) {
        engine_ = MpvEngine::create(output, "song", mpvSongOptions(extraFormats));
        if (!engine_) return;
        engine_->observe(kTimePos, "time-pos", MPV_FORMAT_DOUBLE);
        engine_->observe(kDuration, "duration", MPV_FORMAT_DOUBLE);
        if (!engine_->start([this](const mpv_event& e) { handle(e); })) engine_.reset();
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

    // Posts `work` as the next step; its serial tells when the published
    // values include it.
    bool post(std::function<void()> work) {
        const std::uint64_t serial = posted_ + 1;
        if (!engine_->post([this, serial, work = std::move(work)] {
                work();
                publish(serial);
            }))
            return false;
        posted_ = serial;
        return true;
    }

    MciError postFlag(const char* name, bool value) {
        return post([this, name, value] { engine_->setFlag(name, value); }) ? 0 : busy();
    }

    // Takes the published values when the back end has applied everything
    // posted and does not hold them now; keeps the last copy otherwise.
    void refresh() {
        published_.takeIfNew(seenVersion_, posted_, [this](const Values& v) {
            seenPositionMs_ = v.positionMs;
            seenVersion_ = v.version;
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
        // Only regular files reach libmpv: a folder would load as a
        // playlist, and opening a FIFO or a device would block its core.
        if (!S_ISREG(st.st_mode) || st.st_size == 0) return MCIERR_INVALID_FILE;
        // What is plainly not audio (zeros, text, an image, a playlist) fails
        // here at once: libmpv's probing of it can take seconds.
        const AudioFileKind kind = sniffSongFile(extraFormats_, mapped.c_str());
        if (kind.format == MediaFormat::Unknown) {
            diagnostic("song device: cannot play \"%s\": not an audio file", mapped.c_str());
            return MCIERR_INVALID_FILE;
        }
        // A relative path starting "name://" must not be taken as an address.
        if (mapped[0] != '/') mapped.insert(0, "./");

        return load(mapped, alias, kind.audioStart > kLargestTagRead ? kind.audioStart : 0);
    }

    // The one command that waits: until the file has loaded and its length
    // is known, at most kOpenTimeoutMs.
    MciError load(const std::string& file, std::string_view alias, long skipBytes) {
        if (!post([this, file, skipBytes] { startLoad(file, skipBytes); })) return busy();
        const std::uint64_t serial = posted_;

        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kOpenTimeoutMs);
        Clock::time_point graceEnd{};
        Values state;
        bool done = false;
        published_.wait([&](const Values& v) -> std::optional<Clock::time_point> {
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
                done = true;
                return std::nullopt;
            }
            return graceEnd != Clock::time_point{} && graceEnd < deadline ? graceEnd : deadline;
        });
        if (done) {
            diagnostic("song device: \"%s\" did not load within %d ms", file.c_str(), kOpenTimeoutMs);
            post([this] { stopPlayback(); });
            return MCIERR_DEVICE_NOT_READY;
        }
        if (state.phase == Phase::Failed) {
            post([this] { stopPlayback(); });
            diagnostic("song device: cannot play \"%s\": %s", file.c_str(), state.failure);
            return MCIERR_INVALID_FILE;
        }
        open_ = true;
        copyBounded(alias_, alias);
        lengthMs_ = state.lengthMs;
        volumeLevel_ = 1000;
        started_ = false;
        seenPositionMs_ = 0;
        seenVersion_ = state.version;
        engine_->setCaptureGain(1.0);
        return 0;
    }

    void close() {
        post([this] { stopPlayback(); });
        open_ = false;
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
        seenVersion_ = 0;  // the next copy that includes the seek replaces it
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

    // --- the back end's half (its thread only) -------------------------------

    // `skipBytes`: where libavformat starts reading the file (after tags too
    // large to read); 0 for the whole file.
    void startLoad(const std::string& file, long skipBytes) {
        resetState();
        loadReplyId_ = ++replySerial_;
        phase_ = Phase::WaitingReply;
        bool queued = true;
        if (skipBytes != lavfSkip_) {
            char options[160];
            std::snprintf(options, sizeof options, "%s,skip_initial_bytes=%ld", songLavfOptions(extraFormats_), skipBytes);
            queued = engine_->setString("demuxer-lavf-o", options);
            lavfSkip_ = queued ? skipBytes : -1;
        }
        queued = queued && engine_->setFlag("pause", true) && engine_->setString("hr-seek", "no") &&
                            engine_->setDouble("volume", 100.0) &&
                            engine_->command({"loadfile", file.c_str(), "replace"}, loadReplyId_);
        if (!queued) fail("libmpv refused the command (its queue is full)");
    }

    void stopPlayback() {
        engine_->command({"stop"});
        phase_ = Phase::Idle;
    }

    void seekTo(long long from) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.3f", static_cast<double>(from) / 1000.0);
        engine_->command({"seek", seconds, "absolute"});
        seekPending_ = true;
        positionMs_ = from;
        engine_->setFlag("pause", false);
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
                    // libmpv reports an observed property only when its value
                    // changes: a file as long as the one before it (the same
                    // song again) would never report its duration. Ask.
                    engine_->request(loadReplyId_ | kDurationRequest, "duration", MPV_FORMAT_DOUBLE);
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
                    diagnostic("song device: playback stopped: %s", mpv_error_string(end->error));
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
        publish(applied_);
    }

    // Makes the back end's values visible to the caller; `serial` is the
    // last posted step applied.
    void publish(std::uint64_t serial) {
        applied_ = serial;
        published_.publish(serial, [this](Values& v) {
            v.phase = phase_;
            v.positionMs = positionMs_;
            v.lengthMs = durationMs_;
            v.durationKnown = durationKnown_;
            v.durationUnknownSeen = durationUnknownSeen_;
            copyBounded(v.failure, failure_);
        });
    }

    static long long toMs(double seconds) {
        if (!(seconds > 0.0)) return 0;
        if (seconds > 2e6) return 2000000000LL;
        return std::llround(seconds * 1000.0);
    }

    void fail(const char* why) {
        const char* log = engine_->lastLogError();
        std::snprintf(failure_, sizeof failure_, "%s%s%s", why ? why : "unknown error", log[0] ? " - " : "", log);
        phase_ = Phase::Failed;
    }

    void resetState() {
        positionMs_ = 0;
        durationMs_ = 0;
        seekPending_ = false;
        durationKnown_ = false;
        durationUnknownSeen_ = false;
        entryId_ = -1;
        failure_[0] = '\0';
    }

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

    std::unique_ptr<MpvEngine> engine_;
    const bool extraFormats_;  // FLAC, Ogg Vorbis and Opus too (SongFormats.h)

    // The caller's (each half on cache lines of its own, so that the back
    // end's writes never move the caller's lines between cores).
    alignas(64) bool open_ = false;
    char alias_[64] = "";
    long long lengthMs_ = 0;
    int volumeLevel_ = 1000;
    bool started_ = false;  // played (or sought) since the open
    std::uint64_t posted_ = 0;
    long long seenPositionMs_ = 0;
    std::uint64_t seenVersion_ = 0;  // of the published values last copied

    // Shared: written by the back end, read by the caller.
    Published<Values> published_;

    // The back end's.
    alignas(64) Phase phase_ = Phase::Idle;
    std::uint64_t applied_ = 0;
    std::uint64_t replySerial_ = 0;
    std::uint64_t loadReplyId_ = 0;
    std::int64_t entryId_ = -1;
    long lavfSkip_ = 0;  // the skip_initial_bytes the core has (-1: not known)
    long long positionMs_ = 0;
    long long durationMs_ = 0;
    bool seekPending_ = false;
    bool durationKnown_ = false;
    bool durationUnknownSeen_ = false;
    char failure_[384] = "";
};

}  // namespace

std::vector<std::pair<const char*, const char*>> mpvSongOptions(bool extraFormats) {
    return {{"access-references", "no"}, {"demuxer", "lavf"}, {"demuxer-lavf-o", songLavfOptions(extraFormats)}};
}

std::shared_ptr<MciInterpreter> makeMpvMciDevice(const AudioOutput& output, bool extraFormats) {
    return std::make_shared<MpvMciDevice>(output, extraFormats);
}

}  // namespace kestro::platform
