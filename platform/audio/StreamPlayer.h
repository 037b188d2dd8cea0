// The media-player component that plays an internet stream: URL (playlists
// included), loop, auto start, volume 0 to 100, pause, play, stop, next,
// previous, the item's duration and its tags by name.
//
// A seam (installed as platform/system/Seam.h says): setStreamPlayer; the
// default is a silent player that has no items. The host transcribes the
// operations through a player of its own around the one it installs.
#pragma once

#include <memory>
#include <string>

namespace kestro::platform {

// The stream player. Its contract:
//   - Threads: every operation runs on the plug-in's script thread, one at
//     a time. Threads of the player's own never call back into the caller.
//   - Blocking: no operation waits for the network, a sound server or
//     libmpv's core, create() included; a slow, silent or failing server
//     leaves every call at its usual cost.
//   - Failures: create() returns false when the player cannot be made (the
//     reason goes to the diagnostics seam). The other operations have no
//     result: an address that cannot be played is reported to the
//     diagnostics seam and plays nothing. durationSeconds() is 0 when the
//     length is not known (a live stream); attribute() is false when the
//     current item has no such tag, and a tag with an empty text is a value.
//   - Ownership: the player copies `url`; `value` is the caller's.
//   - Lifetime: the seam owns the player. When it is replaced its destructor
//     runs on the installer's thread and may wait for its audio to stop,
//     boundedly (about 2 s for a core that will not stop).
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
    // The current item's attribute by name ("Title", "Author", ...).
    virtual bool attribute(const char* name, std::string& value) = 0;
};

// A player that has no items and plays nothing (the default); it keeps the
// volume last set. Players that play nothing but answer otherwise derive
// from it.
class SilentStreamPlayer : public StreamPlayer {
public:
    bool create() override { return true; }
    void destroy() override {}
    void setUrl(const std::string&) override {}
    void setLoop(bool) override {}
    void setAutoStart(bool) override {}
    void setVolume(int volume0to100) override { volume_ = volume0to100; }
    int volume() override { return volume_; }
    void play() override {}
    void pause() override {}
    void stop() override {}
    void next() override {}
    void previous() override {}
    double durationSeconds() override { return 0.0; }
    bool attribute(const char*, std::string&) override { return false; }

private:
    int volume_ = 0;
};

// The player in use.
StreamPlayer& streamPlayer();
std::shared_ptr<StreamPlayer> makeSilentStreamPlayer();
// Null: a new silent player.
void setStreamPlayer(std::shared_ptr<StreamPlayer> player);

}  // namespace kestro::platform
