// The simulated keyboard behind the plug-in's key polling.
//
// Per virtual-key code (0..255) the keyboard keeps whether the key is held
// down and whether a press is pending, i.e. the key went down since the last
// query of that key. A query answers bit 15 (0x8000) while the key is held
// and bit 0 (0x0001) when a press is pending, and consumes the pending press.
#pragma once

#include <array>
#include <cstdint>

namespace kestro::host {

inline constexpr std::int16_t kKeyPressedBit = 0x0001;
inline constexpr std::int16_t kKeyHeldBit = static_cast<std::int16_t>(0x8000);

class GameKeyboard {
public:
    static constexpr int kKeyCount = 256;

    // A short press: the key goes down now (a press is pending), stays down
    // during the next tick and is let go after it (see endTick). A key that
    // is already held by hold() stays held.
    void press(int vk);
    // The key goes down and stays down until release(). Holding a key that
    // is already down is not a new press.
    void hold(int vk);
    // The key goes up. A press that is still pending stays pending.
    void release(int vk);
    // Lets go of every key and forgets every pending press.
    void reset();

    // The key's state as the plug-in sees it; consumes the pending press.
    std::int16_t query(int vk);
    // The same without consuming anything.
    std::int16_t peek(int vk) const;

    bool held(int vk) const;
    bool pending(int vk) const;

    // Called after every tick: keys that were only pressed (not held) go up.
    void endTick();

private:
    static bool valid(int vk) { return vk >= 0 && vk < kKeyCount; }
    struct Key {
        bool holding = false;    // down because of hold()
        bool pressDown = false;  // down because of press(), up after the next tick
        bool pending = false;    // pressed since the last query
    };
    std::array<Key, kKeyCount> keys_{};
};

}  // namespace kestro::host
