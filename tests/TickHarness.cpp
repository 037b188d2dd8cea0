#include "TickHarness.h"

#include <cstring>
#include <sstream>

#include "game/Natives.h"
#include "host/NativeHandlers.h"
#include "platform/system/Keyboard.h"
#include "platform/system/Sleep.h"
#include "scripthook/HookHost.h"

namespace kestro::testing {

platform::MciError RecordingMci::send(const char* command, char* reply, unsigned replySize) {
    commands.emplace_back(command);
    if (std::strcmp(command, "play song") == 0 && !opened().empty() && unplayable.count(opened().back()))
        return platform::MCIERR_CANNOT_LOAD_DRIVER;
    std::string r;
    if (auto it = replies.find(command); it != replies.end()) r = it->second;
    if (reply && replySize) {
        std::size_t n = r.size() < replySize - 1 ? r.size() : replySize - 1;
        std::memcpy(reply, r.data(), n);
        reply[n] = '\0';
    }
    auto it = failures.find(command);
    return it == failures.end() ? 0 : it->second;
}

std::vector<std::string> RecordingMci::opened() const {
    std::vector<std::string> out;
    for (const auto& c : commands)
        if (c.rfind("open ", 0) == 0 && c.size() > 16) out.push_back(c.substr(5, c.size() - 16));
    return out;
}

int RecordingMci::count(const std::string& command) const {
    int n = 0;
    for (const auto& c : commands) n += c == command;
    return n;
}

bool RecordingStream::attribute(const char* name, std::string& value) {
    auto it = tags.find(name);
    if (it == tags.end()) return false;
    value = it->second;
    return true;
}

int RecordingStream::count(const std::string& op) const {
    int n = 0;
    for (const auto& o : ops) n += o == op;
    return n;
}

class TickHarness::Hooks : public scripthook::LogSink, public platform::KeyStateSource, public platform::Sleeper {
public:
    explicit Hooks(TickHarness& h) : h_(h) {}
    void write(const char* line) override { h_.log.emplace_back(line); }
    std::int16_t keyState(int vk) override {
        ++h_.keyQueries;
        return h_.keyboard.query(vk);
    }
    void sleep(std::uint32_t ms) override { h_.sleeps.push_back(ms); }

private:
    TickHarness& h_;
};

TickHarness::TickHarness(std::uint32_t tickMs)
    : world(1, tickMs),
      transcript(world),
      mci(std::make_shared<RecordingMci>()),
      stream(std::make_shared<RecordingStream>()),
      hooks_(std::make_shared<Hooks>(*this)) {
    resetPlayerState();
    playerState.rescanPending = 0;  // tests that want the scan set it again
    scripthook::clearNatives();
    scripthook::forgetThreads();
    host::registerGameNatives(world, &transcript);
    // The radio natives as the game transcribes them:
    // "<ms> <tick> radio NATIVE ARG station=..." becomes "NATIVE" or "NATIVE ARG".
    transcript.setLineSink([this](const std::string& line) {
        std::istringstream in(line);
        std::string ms, tick, kind, native, arg;
        in >> ms >> tick >> kind >> native >> arg;
        if (kind != "radio") return;
        radioCalls.push_back(arg == "-" ? native : native + " " + arg);
    });
    platform::setMciInterpreter(mci);
    platform::setStreamPlayer(stream);
    platform::setKeyStateSource(hooks_);
    scripthook::setLogSink(hooks_);
    platform::setSleeper(hooks_);
    ScriptHookManager::RegisterThread(&thread);
}

TickHarness::~TickHarness() {
    scripthook::forgetThreads();
    scripthook::clearNatives();
    scripthook::setLogSink(nullptr);
    platform::setKeyStateSource(nullptr);
    platform::setMciInterpreter(nullptr);
    platform::setStreamPlayer(nullptr);
    platform::setSleeper(nullptr);
    resetPlayerState();
}

void TickHarness::tick() {
    world.beginTick();
    scripthook::tickThreads();
    world.endTick();
    keyboard.endTick();
}

void TickHarness::ticks(int n) {
    for (int i = 0; i < n; ++i) tick();
}

void TickHarness::waitMs(std::uint32_t ms) {
    std::uint32_t until = world.gameTime() + ms;
    while (world.gameTime() < until) tick();
}

void startFakeSong(TickHarness& h, std::int32_t lengthMs) {
    PlayerState& s = playerState;
    s.songActive = 1;
    s.lengthMs = lengthMs;
    s.endTime = static_cast<std::uint32_t>(lengthMs);
    s.startTime = static_cast<std::int32_t>(h.world.gameTime());
    h.world.setTimerA(&h.thread, 0);
    h.thread.playerMode = PlayingSong;
}

}  // namespace kestro::testing
