// The keyboard state the plug-in polls: one 16-bit value per virtual-key
// code, of which two bits carry meaning:
//   bit 0  (0x0001)  the key was pressed since the previous query of that
//                    key; the query consumes it;
//   bit 15 (0x8000)  the key is held down now.
//
// A seam (installed as platform/system/Seam.h says): setKeyStateSource. The
// state belongs to whoever runs the plug-in (the host installs its
// keyboard); the default source has no key pressed, ever.
#pragma once

#include <cstdint>
#include <memory>

namespace kestro::platform {

// The source of the key states. Its contract:
//   - Threads: keyState() runs on the thread that calls GetAsyncKeyState:
//     the plug-in's script thread.
//   - Blocking: it never waits (the plug-in polls several keys each tick).
//   - Results: `vk` is always in 0..255; the answer carries the two bits
//     above, and a query clears the key's bit 0.
//   - Lifetime: the seam owns the source.
class KeyStateSource {
public:
    virtual ~KeyStateSource() = default;
    virtual std::int16_t keyState(int vk) = 0;
};

// The state of one key. Codes outside 0..255 name no key and read as 0.
std::int16_t GetAsyncKeyState(int vk);

// Null: the default (nothing pressed).
void setKeyStateSource(std::shared_ptr<KeyStateSource> source);

}  // namespace kestro::platform
