#include "platform/system/Keyboard.h"

#include <utility>

namespace kestro::platform {

namespace {

KeyStateSource& source() {
    static KeyStateSource s;
    return s;
}

}  // namespace

std::int16_t GetAsyncKeyState(int vk) {
    if (vk < 0 || vk > 255) return 0;
    const KeyStateSource& s = source();
    return s ? s(vk) : std::int16_t{0};
}

void setKeyStateSource(KeyStateSource s) { source() = std::move(s); }

}  // namespace kestro::platform
