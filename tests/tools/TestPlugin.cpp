// A small plug-in for the loader and program tests: it logs its load, its
// thread's ticks and its unload, answers a few keys with natives, and makes
// the platform's back ends speak. Built twice: as is, and with
// REFUSE_ATTACH, which refuses the process attach.
#include <cstdint>
#include <cstring>
#include <thread>
#include "platform/system/Diagnostics.h"
#include "platform/system/Keyboard.h"
#include "scripthook/ScriptHook.h"

namespace {

bool backEndSpoke = false;  // D was pressed: the back ends speak at the unload too

struct Ctx {
    kestro::NativeContext c;
    int n = 0;
    Ctx() { std::memset(&c, 0, sizeof c); c.resultPtr = c.argArea; c.argPtr = c.argArea; }
    Ctx& slot(kestro::NativeSlot v) { std::memcpy(c.argArea + n++ * sizeof v, &v, sizeof v); return *this; }
    Ctx& p(const void* v) { return slot(reinterpret_cast<kestro::NativeSlot>(v)); }
    Ctx& i(std::int32_t v) { return slot(static_cast<std::uint32_t>(v)); }
    std::int32_t run(std::uint32_t hash) {
        c.argCount = n;
        NativeInvoke::SpeedyInvoke(&c, hash);
        std::int32_t r;
        std::memcpy(&r, c.argArea, sizeof r);
        return r;
    }
};

struct Announce {
    Announce() { Log::Info("static init"); }
} announce;

class TestThread : public NativeThread {
public:
    TestThread() { SetName(const_cast<char*>("TestKestro")); }
    ~TestThread() override {
        Log::Info("thread destroyed");
        if (backEndSpoke) kestro::platform::diagnostic("back end at static destruction");
    }
    void ScriptBody() override {
        std::uint32_t now = 0;
        Ctx().p(&now).run(0xA4EA0691);                    // GET_GAME_TIMER
        std::int16_t x = kestro::platform::GetAsyncKeyState(0x58);
        if (x & 1) {
            Log::Info("X pressed at %u", now);
            Ctx().p("STRING").p("X pressed").i(5000).i(1).run(0x40D7612D);
        }
        if (Ctx().run(0x53F5B5AB) == 1) Log::Info("cutscene begins");   // GET_CUTSCENE_TIME
        if (Ctx().run(0xCF29097B) & 0xFF) Ctx().p("OFF").run(0x6E7E4D33);  // retuning: radio off
        if (kestro::platform::GetAsyncKeyState(0x79) < 0) {                // F10 held: draw
            float s = 0.5f;
            std::uint32_t bits;
            std::memcpy(&bits, &s, sizeof bits);
            Ctx().i(bits).i(bits).run(0xB6E15B23);                        // SET_TEXT_SCALE
            Ctx().i(bits).i(bits).p("STRING").p("held").run(0x247F4D85);  // DISPLAY_TEXT...
        }
        if (kestro::platform::GetAsyncKeyState(0x52) & 1) {               // R: a random draw
            std::int32_t v = -1;
            Ctx().i(0).i(3).p(&v).run(0xC37DF274);
        }
        if (kestro::platform::GetAsyncKeyState(0x44) & 1) {               // D: the back ends speak
            backEndSpoke = true;
            kestro::platform::diagnostic("back end at %u", now);
            std::thread([now] { kestro::platform::diagnostic("back-end thread at %u", now); }).join();
            Log::Info("plug-in at %u", now);
        }
        Ctx().run(0x01020304);                                            // unknown native
    }
};

TestThread thread;

}  // namespace

extern "C" __attribute__((visibility("default"))) int DllMain(void*, unsigned long reason, void*) {
    Log::Info("DllMain %lu", reason);
    if (reason == 0 && backEndSpoke) kestro::platform::diagnostic("back end at detach");
#ifdef REFUSE_ATTACH
    if (reason == 1) return 0;
#endif
    if (reason == 1) ScriptHookManager::RegisterThread(&thread);
    return 1;
}
