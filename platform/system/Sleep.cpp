#include "platform/system/Sleep.h"

#include <chrono>
#include <thread>

namespace kestro::platform {

namespace {
std::function<void(std::uint32_t)>& sleepFunction() {
    static std::function<void(std::uint32_t)> f;
    return f;
}
}  // namespace

void Sleep(std::uint32_t milliseconds) {
    if (sleepFunction()) {
        sleepFunction()(milliseconds);
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void setSleepFunction(std::function<void(std::uint32_t)> function) { sleepFunction() = std::move(function); }

}  // namespace kestro::platform
