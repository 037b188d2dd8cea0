#include "host/GameKeyboard.h"

namespace kestro::host {

void GameKeyboard::press(int vk) {
    if (!valid(vk)) return;
    Key& k = keys_[vk];
    k.pending = true;
    k.pressDown = true;
}

void GameKeyboard::hold(int vk) {
    if (!valid(vk)) return;
    Key& k = keys_[vk];
    if (!k.holding && !k.pressDown) k.pending = true;
    k.holding = true;
}

void GameKeyboard::release(int vk) {
    if (!valid(vk)) return;
    keys_[vk].holding = false;
    keys_[vk].pressDown = false;
}

void GameKeyboard::reset() { keys_.fill(Key{}); }

std::int16_t GameKeyboard::peek(int vk) const {
    if (!valid(vk)) return 0;
    const Key& k = keys_[vk];
    std::uint16_t bits = 0;
    if (k.holding || k.pressDown) bits |= 0x8000u;
    if (k.pending) bits |= 0x0001u;
    return static_cast<std::int16_t>(bits);
}

std::int16_t GameKeyboard::query(int vk) {
    std::int16_t state = peek(vk);
    if (valid(vk)) keys_[vk].pending = false;
    return state;
}

bool GameKeyboard::held(int vk) const { return valid(vk) && (keys_[vk].holding || keys_[vk].pressDown); }

bool GameKeyboard::pending(int vk) const { return valid(vk) && keys_[vk].pending; }

void GameKeyboard::endTick() {
    for (Key& k : keys_) k.pressDown = false;
}

}  // namespace kestro::host
