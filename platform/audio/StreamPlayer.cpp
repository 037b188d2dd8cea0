#include "platform/audio/StreamPlayer.h"

#include "platform/system/Seam.h"

namespace kestro::platform {

namespace {

// The player used until the host installs another: it has no items, plays
// nothing and reports every operation to the observer.
class SilentStreamPlayer : public StreamPlayer {
public:
    bool create() override { notifyStreamOperation("create", ""); return true; }
    void destroy() override { notifyStreamOperation("destroy", ""); }
    void setUrl(const std::string& url) override { notifyStreamOperation("url", url); }
    void setLoop(bool on) override { notifyStreamOperation("loop", on ? "1" : "0"); }
    void setAutoStart(bool on) override { notifyStreamOperation("autostart", on ? "1" : "0"); }
    void setVolume(int v) override { volume_ = v; notifyStreamOperation("volume", std::to_string(v)); }
    int volume() override { return volume_; }
    void play() override { notifyStreamOperation("play", ""); }
    void pause() override { notifyStreamOperation("pause", ""); }
    void stop() override { notifyStreamOperation("stop", ""); }
    void next() override { notifyStreamOperation("next", ""); }
    void previous() override { notifyStreamOperation("previous", ""); }
    double durationSeconds() override { return 0.0; }
    bool attribute(const char*, std::string&) override { return false; }

private:
    int volume_ = 0;
};

Seam<StreamPlayer>& player() {
    static Seam<StreamPlayer> seam{SeamDefault<SilentStreamPlayer>{}};
    return seam;
}

StreamObserver& observer() {
    static StreamObserver o;
    return o;
}

}  // namespace

StreamPlayer& streamPlayer() { return player().get(); }

std::shared_ptr<StreamPlayer> makeSilentStreamPlayer() { return std::make_shared<SilentStreamPlayer>(); }

void setStreamPlayer(std::shared_ptr<StreamPlayer> implementation) { player().install(std::move(implementation)); }

void setStreamObserver(StreamObserver o) { observer() = std::move(o); }

void notifyStreamOperation(const char* operation, const std::string& argument) {
    if (observer()) observer()(operation, argument);
}

}  // namespace kestro::platform
