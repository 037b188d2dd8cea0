// A harness for running the plug-in's script tick against the host's
// simulated game: the real native dispatch, a recording MCI interpreter and
// stream player, and the host's keyboard.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <memory>
#include <string>
#include <vector>

#include "host/GameWorld.h"
#include "host/GameKeyboard.h"
#include "host/Transcript.h"
#include "library/SongTable.h"
#include "platform/audio/Mci.h"
#include "platform/audio/StreamPlayer.h"
#include "plugin/CustomThread.h"
#include "plugin/PlayerState.h"

namespace kestro::testing {

// Answers every command with 0 unless told to fail it; keeps what was sent.
class RecordingMci : public platform::MciInterpreter {
public:
    platform::MciError send(const char* command, char* reply, unsigned replySize) override;
    std::vector<std::string> commands;
    std::map<std::string, platform::MciError> failures;  // command -> code
    std::map<std::string, std::string> replies;          // command -> reply
    // Paths (as "open" names them) whose "play song" fails to load.
    std::set<std::string> unplayable;
    int count(const std::string& command) const;
    // The paths opened, in order (quoted when "open" quoted them).
    std::vector<std::string> opened() const;
};

// A stream player that records its operations and has fixed tags.
class RecordingStream : public platform::StreamPlayer {
public:
    bool create() override { ops.push_back("create"); return true; }
    void destroy() override { ops.push_back("destroy"); }
    void setUrl(const std::string& u) override { ops.push_back("url " + u); }
    void setLoop(bool) override { ops.push_back("loop"); }
    void setAutoStart(bool) override { ops.push_back("autostart"); }
    void setVolume(int v) override {
        volume_ = v;
        ops.push_back("volume " + std::to_string(v));
    }
    int volume() override { return volume_; }
    void play() override { ops.push_back("play"); }
    void pause() override { ops.push_back("pause"); }
    void stop() override { ops.push_back("stop"); }
    void next() override { ops.push_back("next"); }
    void previous() override { ops.push_back("previous"); }
    double durationSeconds() override { return duration; }
    bool attribute(const char* name, std::string& value) override;
    std::vector<std::string> ops;
    std::map<std::string, std::string> tags;
    double duration = 0;
    int count(const std::string& op) const;

private:
    int volume_ = 0;
};

class TickHarness {
    class Hooks;  // its log, keyboard and sleep, installed in the seams

public:
    explicit TickHarness(std::uint32_t tickMs = 20);
    ~TickHarness();

    // Runs one script tick of the plug-in's thread.
    void tick();
    void ticks(int n);
    // Ticks until the game time has moved on by `ms`.
    void waitMs(std::uint32_t ms);

    host::GameWorld world;
    host::Transcript transcript;
    host::GameKeyboard keyboard;
    CustomThread thread;
    std::shared_ptr<RecordingMci> mci;
    std::shared_ptr<RecordingStream> stream;
    std::vector<std::string> log;
    std::vector<std::string> radioCalls;  // natives that touch the radio, in order
    std::vector<std::uint32_t> sleeps;    // waits asked of the platform, not spent
    int keyQueries = 0;

private:
    std::shared_ptr<Hooks> hooks_;
};

// Sets up a song as if song start had just run at the current game time:
// songActive, PlayingSong, endTime = lengthMs, timer A reset.
void startFakeSong(TickHarness& h, std::int32_t lengthMs);

}  // namespace kestro::testing
