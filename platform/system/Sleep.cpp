#include "platform/system/Sleep.h"

#include <chrono>
#include <thread>

#include "platform/system/Seam.h"

namespace kestro::platform {

namespace {

class RealSleep : public Sleeper {
public:
    void sleep(std::uint32_t milliseconds) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
};

Seam<Sleeper>& sleeper() {
    static Seam<Sleeper> seam{SeamDefault<RealSleep>{}};
    return seam;
}

}  // namespace

void Sleep(std::uint32_t milliseconds) { sleeper().get().sleep(milliseconds); }

void setSleeper(std::shared_ptr<Sleeper> implementation) { sleeper().install(std::move(implementation)); }

}  // namespace kestro::platform
