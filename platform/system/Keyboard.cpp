#include "platform/system/Keyboard.h"

#include "platform/system/Seam.h"

namespace kestro::platform {

namespace {

class NoKeys : public KeyStateSource {
public:
    std::int16_t keyState(int) override { return 0; }
};

Seam<KeyStateSource>& keys() {
    static Seam<KeyStateSource> seam{SeamDefault<NoKeys>{}};
    return seam;
}

}  // namespace

std::int16_t GetAsyncKeyState(int vk) {
    if (vk < 0 || vk > 255) return 0;
    return keys().get().keyState(vk);
}

void setKeyStateSource(std::shared_ptr<KeyStateSource> source) { keys().install(std::move(source)); }

}  // namespace kestro::platform
