// The platform's Sleep: blocks the calling thread for a number of
// milliseconds.
//
// A seam (installed as platform/system/Seam.h says): setSleeper, so that
// tests of code that waits by design (the stream start's fixed wait) can
// record the wait instead of spending it. The default waits.
#pragma once

#include <cstdint>
#include <memory>

namespace kestro::platform {

// What Sleep does. Its contract:
//   - Threads: sleep() runs on the thread that calls Sleep (the plug-in's
//     script thread, in the stream's start).
//   - Blocking: it is the one seam meant to block: for `milliseconds`, no
//     longer (a replacement may return at once).
//   - Lifetime: the seam owns the sleeper.
class Sleeper {
public:
    virtual ~Sleeper() = default;
    virtual void sleep(std::uint32_t milliseconds) = 0;
};

void Sleep(std::uint32_t milliseconds);

// Null: the real wait.
void setSleeper(std::shared_ptr<Sleeper> sleeper);

}  // namespace kestro::platform
