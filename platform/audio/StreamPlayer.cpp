#include "platform/audio/StreamPlayer.h"

#include "platform/system/Seam.h"

namespace kestro::platform {

namespace {

Seam<StreamPlayer>& player() {
    static Seam<StreamPlayer> seam{SeamDefault<SilentStreamPlayer>{}};
    return seam;
}

}  // namespace

StreamPlayer& streamPlayer() { return player().get(); }

std::shared_ptr<StreamPlayer> makeSilentStreamPlayer() { return std::make_shared<SilentStreamPlayer>(); }

void setStreamPlayer(std::shared_ptr<StreamPlayer> implementation) { player().install(std::move(implementation)); }

}  // namespace kestro::platform
