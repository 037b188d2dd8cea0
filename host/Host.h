// The game as the plug-in meets it: the simulated world and keyboard, the
// native handlers, the log, the observers of the sound interfaces and the
// plug-in loader, tied to one transcript. Scenario mode drives a Host with
// commands; an interactive front end can drive the same Host from a
// terminal.
//
// The script hook and the platform interfaces are process-wide, so only one
// Host may exist at a time: it installs itself on construction and removes
// everything it installed on destruction.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "host/GameWorld.h"
#include "host/Keyboard.h"
#include "host/Loader.h"
#include "host/Scenario.h"
#include "host/Transcript.h"

namespace kestro::host {

struct HostOptions {
    std::uint64_t seed = 1;
    std::uint32_t tickMs = 20;
    bool traceDraw = false;
    // Log::Info lines are appended to this file as well as written to the
    // transcript; empty: transcript only.
    std::string logFile;
};

class Host {
public:
    explicit Host(const HostOptions& options = {});
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    GameWorld& world() { return world_; }
    Keyboard& keyboard() { return keyboard_; }
    Transcript& transcript() { return transcript_; }
    PluginLoader& loader() { return loader_; }

    // Loads the plug-in (static initialisation, then DllMain attach).
    bool loadPlugin(const std::string& path, std::string& error);
    // DllMain detach, then unload. Threads the plug-in left registered are
    // forgotten, so that they are never ticked after their library is gone.
    void unloadPlugin();

    // One script tick: the clock moves on, every registered thread runs its
    // script body once, keys pressed for one tick go up.
    void tick();

    // Runs one scenario command; false when the command was quit.
    bool run(const Command& command);
    // Runs commands in order until the end or a quit.
    void runScenario(const std::vector<Command>& commands);

private:
    void logLine(const char* line);

    GameWorld world_;
    Keyboard keyboard_;
    Transcript transcript_;
    PluginLoader loader_;
    std::FILE* logFile_ = nullptr;
};

}  // namespace kestro::host
