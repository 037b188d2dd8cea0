#include "platform/audio/mpv/MpvStreamPlayer.h"

#include <mpv/client.h>

#include <chrono>
#include <cstring>
#include <string_view>
#include <vector>

#include "platform/system/Diagnostics.h"
#include "platform/system/Text.h"

namespace kestro::platform {

namespace {

enum ObserveId : std::uint64_t { kDuration = 1, kFileSize, kTimePos, kMetadata, kPlaylistPos, kPlaylistCount, kIdle };

// Entry errors reported per address; a long playlist of bad entries would
// otherwise fill the log.
constexpr int kMaxEntryReports = 3;

// A playlist that lists itself, or one whose entries all fail, would be
// loaded again and again without end (thousands of requests a second):
// after this many entries in a row that played for less than
// kPlayedSeconds (a failure, a playlist expanded, an entry that ended at
// once), the player stops trying until it is started again.
constexpr int kMaxFailedEntries = 10;
constexpr auto kPlayedSeconds = std::chrono::seconds(1);

// A network text as UTF-8, kept to kStreamTagMaxBytes and cut at a
// character boundary. Text that is not UTF-8 is taken as Latin-1, the
// traditional charset of ICY titles (Icecast converts titles to it).
std::string boundedTag(std::string_view text) {
    std::string utf8;
    if (isValidUtf8(reinterpret_cast<const unsigned char*>(text.data()), text.size())) {
        utf8.assign(text.substr(0, kStreamTagMaxBytes + 4));
    } else {
        for (std::size_t i = 0; i < text.size() && utf8.size() <= kStreamTagMaxBytes + 4; ++i) {
            const unsigned char b = static_cast<unsigned char>(text[i]);
            if (b < 0x80) {
                utf8 += static_cast<char>(b);
            } else {
                utf8 += static_cast<char>(0xC0 | (b >> 6));
                utf8 += static_cast<char>(0x80 | (b & 0x3F));
            }
        }
    }
    utf8.resize(utf8CutLength(utf8.data(), utf8.size(), kStreamTagMaxBytes));
    return utf8;
}

const char* const kStreamOptions[][2] = {
    {"keep-open", "no"},  // a playlist moves on at the end of an entry
    {"network-timeout", "5"},  // kStreamNetworkTimeoutSeconds
    // A paused live stream keeps reading into the cache: keep it small.
    {"demuxer-max-bytes", "4MiB"},
    {"demuxer-max-back-bytes", "1MiB"},
};

}  // namespace

MpvStreamPlayer::MpvStreamPlayer(const AudioOutput& output) : output_(output), steps_([this](Values& v) { fill(v); }) {
    // The core is made now, so that create() (at every stream start) costs
    // nothing; when it cannot be made, create() says so.
    std::vector<std::pair<const char*, const char*>> options;
    for (const auto& o : kStreamOptions) options.emplace_back(o[0], o[1]);
    engine_ = MpvEngine::create(output_, "stream", options);
    if (!engine_) return;
    engine_->observe(kDuration, "duration", MPV_FORMAT_DOUBLE);
    engine_->observe(kFileSize, "file-size", MPV_FORMAT_INT64);
    engine_->observe(kTimePos, "time-pos", MPV_FORMAT_DOUBLE);
    engine_->observe(kMetadata, "metadata", MPV_FORMAT_NODE);
    engine_->observe(kPlaylistPos, "playlist-pos", MPV_FORMAT_INT64);
    engine_->observe(kPlaylistCount, "playlist-count", MPV_FORMAT_INT64);
    engine_->observe(kIdle, "idle-active", MPV_FORMAT_FLAG);
    if (!engine_->start([this](const mpv_event& e) { handle(e); })) engine_.reset();
}

MpvStreamPlayer::~MpvStreamPlayer() {
    // The back-end thread uses this object's members: it stops first.
    if (engine_) engine_->stop();
}

// --- the caller's half ---------------------------------------------------------

bool MpvStreamPlayer::post(std::function<void()> work) {
    if (steps_.post(*engine_, std::move(work))) return true;
    diagnostic("stream: libmpv refused a command (its queue is full)");
    return false;
}

void MpvStreamPlayer::refresh() {
    steps_.refresh([this](const Values& v) { seen_ = v; });
}

// The caller's copy forgets the entry at once; the back end's values
// replace it once they include the step that made the entry go.
void MpvStreamPlayer::forgetItem() {
    steps_.forgetSeen();  // the next copy that includes this step replaces it
    seen_.duration = 0.0;
    seen_.position = 0.0;
    seen_.tags.reset();
}

bool MpvStreamPlayer::create() {
    if (!engine_) return false;
    created_ = true;
    const double volume = mpvVolumeForGain(volume_ / 100.0);
    engine_->setCaptureGain(volume_ / 100.0);
    post([this, volume] {
        backEnd_.created = true;
        backEnd_.stopped = true;
        engine_->setDouble("volume", volume);
        engine_->setString("loop-playlist", backEnd_.loop ? "inf" : "no");
    });
    seen_.stopped = true;
    return true;
}

void MpvStreamPlayer::destroy() {
    if (!engine_) return;
    created_ = false;
    post([this] {
        if (backEnd_.created) engine_->command({"stop"});
        backEnd_.created = false;
        backEnd_.stopped = true;
        backEnd_.url.clear();
        clearItem();
    });
    seen_.stopped = true;
    forgetItem();
}

void MpvStreamPlayer::setUrl(const std::string& url) {
    if (!engine_) return;
    post([this, url] {
        if (url != backEnd_.url) {
            entryReports_ = 0;
            gaveUpReported_ = false;
        }
        backEnd_.url = url;
        if (backEnd_.created) load();
    });
    if (created_) {
        seen_.stopped = false;
        forgetItem();
    }
}

void MpvStreamPlayer::setLoop(bool on) {
    loop_ = on;
    if (!engine_) return;
    post([this, on] {
        backEnd_.loop = on;
        if (backEnd_.created) engine_->setString("loop-playlist", on ? "inf" : "no");
    });
}

void MpvStreamPlayer::setAutoStart(bool on) {
    autoStart_ = on;
    if (engine_) post([this, on] { backEnd_.autoStart = on; });
}

void MpvStreamPlayer::setVolume(int volume0to100) {
    volume_ = volume0to100 < 0 ? 0 : volume0to100 > 100 ? 100 : volume0to100;
    if (!engine_) return;
    const double volume = mpvVolumeForGain(volume_ / 100.0);
    engine_->setCaptureGain(volume_ / 100.0);
    post([this, volume] {
        if (backEnd_.created) engine_->setDouble("volume", volume);
    });
}

int MpvStreamPlayer::volume() { return volume_; }

void MpvStreamPlayer::play() {
    if (!created_) return;
    refresh();
    if (seen_.stopped) forgetItem();
    post([this] {
        if (!backEnd_.created) return;
        if (backEnd_.stopped) {
            if (backEnd_.url.empty()) return;
            const bool autoStart = backEnd_.autoStart;
            backEnd_.autoStart = true;
            load();
            backEnd_.autoStart = autoStart;
            return;
        }
        engine_->setFlag("pause", false);
    });
}

void MpvStreamPlayer::pause() {
    if (!created_) return;
    post([this] {
        if (backEnd_.created) engine_->setFlag("pause", true);
    });
}

void MpvStreamPlayer::stop() {
    if (!created_) return;
    post([this] {
        if (!backEnd_.created) return;
        engine_->command({"stop"});
        backEnd_.stopped = true;
        clearItem();
    });
    seen_.stopped = true;
    forgetItem();
}

void MpvStreamPlayer::next() {
    if (!created_) return;
    refresh();
    // The entry changes unless this is the last one and the list does not
    // wrap; until the new entry's values arrive it has no tags or length.
    // The back end decides again from its own values.
    post([this] {
        if (!backEnd_.created || backEnd_.stopped) return;
        if (backEnd_.loop || playlistPos_ + 1 < playlistCount_) {
            engine_->command({"playlist-next"});
            clearItem();
        }
    });
    if (!seen_.stopped && (seen_.playlistPos + 1 < seen_.playlistCount || loop_)) forgetItem();
}

void MpvStreamPlayer::previous() {
    if (!created_) return;
    refresh();
    post([this] {
        if (!backEnd_.created || backEnd_.stopped) return;
        if ((backEnd_.loop && playlistCount_ > 1) || playlistPos_ > 0) {
            engine_->command({"playlist-prev"});
            clearItem();
        }
    });
    if (!seen_.stopped && ((loop_ && seen_.playlistCount > 1) || seen_.playlistPos > 0)) forgetItem();
}

double MpvStreamPlayer::durationSeconds() {
    if (!created_) return 0.0;
    refresh();
    return seen_.duration;
}

bool MpvStreamPlayer::attribute(const char* name, std::string& value) {
    if (!created_ || name == nullptr) return false;
    refresh();
    if (!seen_.tags) return false;
    auto it = seen_.tags->find(name);
    if (it == seen_.tags->end()) return false;
    value = it->second;
    return true;
}

double MpvStreamPlayer::positionSeconds() {
    if (!created_) return 0.0;
    refresh();
    return seen_.position;
}

// --- the back end's half (its thread only) --------------------------------

void MpvStreamPlayer::load() {
    backEnd_.stopped = false;
    startedSinceLoad_ = false;
    playedSinceLoad_ = false;
    failedInARow_ = 0;
    clearItem();
    engine_->setFlag("pause", !backEnd_.autoStart);
    engine_->setString("loop-playlist", backEnd_.loop ? "inf" : "no");
    engine_->command({"loadfile", backEnd_.url.c_str(), "replace"});
}

void MpvStreamPlayer::clearItem() {
    // Values of the entry that is going may still be queued: until the next
    // entry starts, none are taken.
    awaitingEntry_ = true;
    duration_ = 0.0;
    durationKnown_ = false;
    sizeKnown_ = false;
    position_ = 0.0;
    tags_.reset();
}

void MpvStreamPlayer::fill(Values& v) const {
    v.stopped = backEnd_.stopped;
    // A live stream's duration grows with what it has buffered: only an
    // entry of known size has a length.
    v.duration = durationKnown_ && sizeKnown_ && duration_ > 0.0 ? duration_ : 0.0;
    v.position = position_;
    v.tags = tags_;
    v.playlistPos = playlistPos_;
    v.playlistCount = playlistCount_;
}

void MpvStreamPlayer::handle(const mpv_event& event) {
    const mpv_event* e = &event;
    switch (e->event_id) {
        case MPV_EVENT_START_FILE:
            startedSinceLoad_ = true;
            entryLoaded_ = false;
            clearItem();
            awaitingEntry_ = false;
            break;
        case MPV_EVENT_FILE_LOADED:
            playedSinceLoad_ = true;
            entryLoaded_ = true;
            entryLoadedAt_ = std::chrono::steady_clock::now();
            break;
        case MPV_EVENT_END_FILE: {
            const auto* end = static_cast<const mpv_event_end_file*>(e->data);
            if (end && end->reason != MPV_END_FILE_REASON_STOP && end->reason != MPV_END_FILE_REASON_QUIT && !backEnd_.stopped)
                countEntry(entryLoaded_ && std::chrono::steady_clock::now() - entryLoadedAt_ >= kPlayedSeconds);
            if (end && end->reason == MPV_END_FILE_REASON_ERROR && !backEnd_.stopped) {
                if (entryReports_ < kMaxEntryReports) {
                    diagnostic("stream: cannot play \"%.300s\": %s%s%s", backEnd_.url.c_str(), mpv_error_string(end->error),
                               engine_->lastLogError()[0] ? " - " : "", engine_->lastLogError());
                } else if (entryReports_ == kMaxEntryReports) {
                    diagnostic("stream: further entries of \"%.300s\" fail too (not reported)", backEnd_.url.c_str());
                }
                ++entryReports_;
            }
            break;
        }
        case MPV_EVENT_PROPERTY_CHANGE: {
            const auto* p = static_cast<const mpv_event_property*>(e->data);
            if (p == nullptr) break;
            const bool itemValue = e->reply_userdata == kDuration || e->reply_userdata == kFileSize ||
                                   e->reply_userdata == kTimePos || e->reply_userdata == kMetadata;
            if (itemValue && awaitingEntry_) break;
            switch (e->reply_userdata) {
                case kDuration:
                    durationKnown_ = p->format == MPV_FORMAT_DOUBLE && p->data;
                    duration_ = durationKnown_ ? *static_cast<const double*>(p->data) : 0.0;
                    break;
                case kFileSize:
                    sizeKnown_ = p->format == MPV_FORMAT_INT64 && p->data && *static_cast<const std::int64_t*>(p->data) > 0;
                    break;
                case kTimePos:
                    if (p->format == MPV_FORMAT_DOUBLE && p->data) position_ = *static_cast<const double*>(p->data);
                    break;
                case kMetadata:
                    setMetadata(p->format == MPV_FORMAT_NODE && p->data ? static_cast<const mpv_node*>(p->data) : nullptr);
                    break;
                case kPlaylistPos:
                    playlistPos_ = p->format == MPV_FORMAT_INT64 && p->data ? *static_cast<const std::int64_t*>(p->data) : -1;
                    break;
                case kPlaylistCount:
                    playlistCount_ = p->format == MPV_FORMAT_INT64 && p->data ? *static_cast<const std::int64_t*>(p->data) : 0;
                    break;
                case kIdle:
                    if (p->format == MPV_FORMAT_FLAG && p->data && *static_cast<const int*>(p->data)) wentIdle();
                    break;
                default:
                    break;
            }
            break;
        }
        default:
            return;
    }
    steps_.publish();
}

// Idle after a load: the playlist came to its end, or nothing at the
// address played (an empty list, a failing server).
void MpvStreamPlayer::wentIdle() {
    if (!startedSinceLoad_ || backEnd_.stopped) return;
    if (!playedSinceLoad_ && entryReports_ == 0 && !gaveUpReported_) {
        diagnostic("stream: nothing playable at \"%.300s\"", backEnd_.url.c_str());
        ++entryReports_;
    }
    backEnd_.stopped = true;
    clearItem();
}

void MpvStreamPlayer::countEntry(bool played) {
    failedInARow_ = played ? 0 : failedInARow_ + 1;
    if (failedInARow_ < kMaxFailedEntries) return;
    engine_->command({"stop"});
    backEnd_.stopped = true;
    clearItem();
    if (!gaveUpReported_) {
        diagnostic("stream: nothing playable at \"%.300s\": %d entries in a row failed; stopped until the next start",
                   backEnd_.url.c_str(), kMaxFailedEntries);
        gaveUpReported_ = true;
    }
}

void MpvStreamPlayer::setMetadata(const mpv_node* map) {
    tags_.reset();
    if (map == nullptr || map->format != MPV_FORMAT_NODE_MAP || map->u.list == nullptr) return;
    auto tags = std::make_shared<Tags>();
    const mpv_node_list* list = map->u.list;
    auto find = [&](const char* key) -> const char* {
        for (int i = 0; i < list->num; ++i) {
            if (list->keys && list->keys[i] && equalNoCaseAscii(list->keys[i], key) &&
                list->values[i].format == MPV_FORMAT_STRING)
                return list->values[i].u.string;
        }
        return nullptr;
    };
    // The first of `keys` with a text; an empty text when the only ones
    // present are empty (the tag is there, its value is "").
    auto put = [&](const char* name, std::initializer_list<const char*> keys) {
        const char* value = nullptr;
        for (const char* k : keys) {
            const char* v = find(k);
            if (v && (v[0] || !value)) value = v;
            if (value && value[0]) break;
        }
        if (value) (*tags)[name] = boundedTag(value);
    };
    put("Title", {"title"});
    put("Author", {"artist", "album_artist", "author"});
    put("WM/AlbumTitle", {"album"});
    put("WM/Year", {"date", "year"});

    // The stream's own title: "Artist - Title" names both; any other (an
    // empty one too) is the title, and the artist is empty.
    if (const char* icy = find("icy-title")) {
        const std::string_view t(icy);
        const std::size_t dash = t.find(" - ");
        if (dash != std::string_view::npos && dash > 0 && dash + 3 < t.size()) {
            (*tags)["Author"] = boundedTag(t.substr(0, dash));
            (*tags)["Title"] = boundedTag(t.substr(dash + 3));
        } else {
            (*tags)["Author"] = "";
            (*tags)["Title"] = boundedTag(icy);
        }
    }
    tags_ = std::move(tags);
}

std::shared_ptr<StreamPlayer> makeMpvStreamPlayer(const AudioOutput& output) {
    return std::make_shared<MpvStreamPlayer>(output);
}

}  // namespace kestro::platform
