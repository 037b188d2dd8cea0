#include "platform/audio/StreamPlayer.h"

#include "platform/system/Seam.h"

namespace kestro::platform {

namespace {

// The player used until the host installs another: it has no items and
// plays nothing.
class SilentStreamPlayer : public StreamPlayer {
public:
    bool create() override { return true; }
    void destroy() override {}
    void setUrl(const std::string&) override {}
    void setLoop(bool) override {}
    void setAutoStart(bool) override {}
    void setVolume(int v) override { volume_ = v; }
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

Seam<StreamPlayer>& player() {
    static Seam<StreamPlayer> seam{SeamDefault<SilentStreamPlayer>{}};
    return seam;
}

}  // namespace

StreamPlayer& streamPlayer() { return player().get(); }

std::shared_ptr<StreamPlayer> makeSilentStreamPlayer() { return std::make_shared<SilentStreamPlayer>(); }

void setStreamPlayer(std::shared_ptr<StreamPlayer> implementation) { player().install(std::move(implementation)); }

}  // namespace kestro::platform
