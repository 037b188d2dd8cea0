// The platform's Sleep: blocks the calling thread for a number of
// milliseconds. Replaceable, so that tests of code that waits by design (the
// stream start's fixed wait) can record the wait instead of spending it.
#pragma once

#include <cstdint>
#include <functional>

namespace kestro::platform {

void Sleep(std::uint32_t milliseconds);

// Installs the function Sleep calls from now on; null restores the real
// wait.
void setSleepFunction(std::function<void(std::uint32_t)> function);

}  // namespace kestro::platform
