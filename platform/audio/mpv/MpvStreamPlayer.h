// The stream player on libmpv: an internet stream (http/https, ICY titles
// included), a local file or a playlist (.m3u, .pls), with loop mode, auto
// start, volume 0 to 100, pause, play, stop, next and previous, and the
// current entry's duration and tags.
//
// The current item is the playlist entry playing now: after next() or
// previous() the duration and the tags are those of the new entry (empty
// until its metadata arrives), and play() after pause() resumes it.
//
// Every operation returns at once: the libmpv work is posted to the
// engine's back-end thread, and the duration and tags are answered from the
// values that thread published from libmpv's events (read with a try_lock,
// the last copy kept when the lock is busy). So a slow or silent server, a
// stalled output or a long playlist never holds the caller, and no query
// takes a lock that a libmpv thread can hold. Network reads give up after
// kStreamNetworkTimeoutSeconds.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "platform/audio/StreamPlayer.h"
#include "platform/audio/mpv/MpvEngine.h"
#include "platform/audio/mpv/MpvSteps.h"

struct mpv_event;
struct mpv_node;

namespace kestro::platform {

inline constexpr int kStreamNetworkTimeoutSeconds = 5;
// Tag texts are kept to this many bytes, cut at a UTF-8 character boundary.
inline constexpr std::size_t kStreamTagMaxBytes = 1023;

class MpvStreamPlayer : public StreamPlayer {
public:
    // Makes the libmpv core (LC_NUMERIC must be "C" by now).
    explicit MpvStreamPlayer(const AudioOutput& output);
    ~MpvStreamPlayer() override;

    // Makes the player usable; false when its libmpv core could not be set
    // up (the constructor makes the core and reports the reason once
    // through the diagnostics sink).
    bool create() override;
    // Stops and forgets the address; the core stays for the next create().
    void destroy() override;
    // Loads the address at once when created (paused unless auto start).
    void setUrl(const std::string& url) override;
    void setLoop(bool on) override;
    void setAutoStart(bool on) override;
    void setVolume(int volume0to100) override;
    int volume() override;
    // Resumes the current entry; after stop() it loads the address again.
    void play() override;
    void pause() override;
    // Ends playback and closes the connection.
    void stop() override;
    void next() override;
    void previous() override;
    // The current entry's length; 0 for a live stream (no known size) or an
    // entry whose length is not known.
    double durationSeconds() override;
    // "Title", "Author", "WM/AlbumTitle", "WM/Year" of the current entry.
    // An ICY stream title "Artist - Title" gives Author and Title; one
    // without " - " gives Title, and Author is "". A tag present with an
    // empty value is reported (value ""); false only for a tag the entry
    // does not have.
    bool attribute(const char* name, std::string& value) override;

    // Where playback is in the current entry, in seconds (for tests and
    // the host's diagnostics).
    double positionSeconds();

private:
    using Tags = std::map<std::string, std::string>;  // by attribute name
    // What the back end publishes for the caller.
    struct Values {
        std::uint64_t version = 0;  // counts the publications
        std::uint64_t serial = 0;   // the last posted step applied
        bool stopped = true;
        double duration = 0.0;  // 0: none known (a live stream)
        double position = 0.0;
        std::shared_ptr<const Tags> tags;
        std::int64_t playlistPos = -1;
        std::int64_t playlistCount = 0;
    };

    // The caller's half.
    bool post(std::function<void()> work);
    void refresh();
    void forgetItem();

    // The back end's half (its thread only).
    void handle(const mpv_event& event);
    void load();
    void clearItem();
    void setMetadata(const mpv_node* map);
    void countEntry(bool played);
    void wentIdle();
    void fill(Values& v) const;

    AudioOutput output_;
    std::unique_ptr<MpvEngine> engine_;

    // The caller's.
    bool created_ = false;
    bool loop_ = false;
    bool autoStart_ = true;
    int volume_ = 100;
    Values seen_;

    // Shared: the steps posted and the values published after them.
    MpvSteps<Values> steps_;

    // The back end's own record of what the caller set (applied in order
    // from the posted steps), and whether it stopped.
    struct BackEndState {
        bool created = false;
        bool loop = false;
        bool autoStart = true;
        bool stopped = true;
        std::string url;
    };
    BackEndState backEnd_;
    double duration_ = 0.0;
    bool durationKnown_ = false;
    bool sizeKnown_ = false;
    double position_ = 0.0;
    std::shared_ptr<const Tags> tags_;
    std::int64_t playlistPos_ = -1;
    std::int64_t playlistCount_ = 0;
    bool awaitingEntry_ = false;  // the entry went; the next has not started
    // Since the last load of the address.
    bool startedSinceLoad_ = false;
    bool playedSinceLoad_ = false;
    // Failures reported for this address (a few, then one summary line).
    int entryReports_ = 0;
    // The entry now current loaded (and when); entries in a row that played
    // nothing (kMaxFailedEntries of them stop the player), and whether that
    // was reported for this address.
    bool entryLoaded_ = false;
    std::chrono::steady_clock::time_point entryLoadedAt_{};
    int failedInARow_ = 0;
    bool gaveUpReported_ = false;
};

// A stream player on `output`.
std::shared_ptr<StreamPlayer> makeMpvStreamPlayer(const AudioOutput& output);

}  // namespace kestro::platform
