// The keyboard state the plug-in polls: one 16-bit value per virtual-key
// code, of which two bits carry meaning:
//   bit 0  (0x0001)  the key was pressed since the previous query of that
//                    key; the query consumes it;
//   bit 15 (0x8000)  the key is held down now.
//
// The state itself belongs to whoever runs the plug-in (the host installs
// its keyboard as the source). Until a source is installed, no key is ever
// pressed.
#pragma once

#include <cstdint>
#include <functional>

namespace kestro::platform {

using KeyStateSource = std::function<std::int16_t(int vk)>;

// The state of one key. Codes outside 0..255 name no key and read as 0.
std::int16_t GetAsyncKeyState(int vk);

// Installs the source that answers GetAsyncKeyState from now on; an empty
// function restores the default (nothing pressed).
void setKeyStateSource(KeyStateSource source);

}  // namespace kestro::platform
