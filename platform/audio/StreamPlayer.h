// The media-player component that plays an internet stream: URL (playlists
// included), loop, auto start, volume 0 to 100, pause, play, stop, next,
// previous, the item's duration and its tags by name.
//
// Replaceable like the MCI interpreter (the host puts its own in, and
// transcribes the operations through a player of its own around it).
#pragma once

#include <memory>
#include <string>

namespace kestro::platform {

class StreamPlayer {
public:
    virtual ~StreamPlayer() = default;
    virtual bool create() = 0;                       // make the player object
    virtual void destroy() = 0;                      // release it
    virtual void setUrl(const std::string& url) = 0;
    virtual void setLoop(bool on) = 0;
    virtual void setAutoStart(bool on) = 0;
    virtual void setVolume(int volume0to100) = 0;
    virtual int volume() = 0;
    virtual void play() = 0;
    virtual void pause() = 0;
    virtual void stop() = 0;
    virtual void next() = 0;
    virtual void previous() = 0;
    virtual double durationSeconds() = 0;
    // The current item's attribute by name ("Title", "Author", ...); false
    // when it has none.
    virtual bool attribute(const char* name, std::string& value) = 0;
};

// The player in use (never null: a silent one that knows no items by
// default).
StreamPlayer& streamPlayer();
// A player that has no items and plays nothing (the one in use by default).
std::shared_ptr<StreamPlayer> makeSilentStreamPlayer();
void setStreamPlayer(std::shared_ptr<StreamPlayer> player);

}  // namespace kestro::platform
