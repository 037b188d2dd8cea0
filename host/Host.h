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

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/Devices.h"
#include "host/GameWorld.h"
#include "host/GameKeyboard.h"
#include "host/Loader.h"
#include "host/Scenario.h"
#include "host/Transcript.h"
#include "platform/audio/AudioBackEnds.h"
#include "platform/audio/AudioOutput.h"

namespace kestro::host {

// The song device behind the MCI interface, and the stream player.
enum class DeviceChoice {
    Real,      // on libmpv: the song device, and the stream player
    Scripted,  // answers from scenario lines, plays nothing
    None,      // the platform's built-in: no song device, a silent stream player
};

struct HostOptions {
    std::uint64_t seed = 1;
    std::uint32_t tickMs = 20;
    bool traceDraw = false;

    // Log::Info lines are appended to this file as well as written to the
    // transcript; empty: transcript only.
    std::string logFile;
    // kestro-host chooses the real devices unless told otherwise; a Host
    // made in a test has none unless it asks.
    DeviceChoice mci = DeviceChoice::None;
    DeviceChoice stream = DeviceChoice::None;
    platform::AudioOutput audio;
    // The song device takes FLAC, Ogg Vorbis and Opus too (Kestro.ini's
    // ExtraFormats, read by the host: extraFormatsOn in host/GameFolder.h).
    bool extraFormats = false;
    // Each tick waits for the wall clock to reach its game time, so real
    // audio time passes with game time.
    bool realtime = false;
    // Game time the front end fades when the pause menu opens or closes.
    std::uint32_t menuFadeMs = 500;
};

class Host {
public:
    explicit Host(const HostOptions& options = {});
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    GameWorld& world() { return world_; }
    GameKeyboard& keyboard() { return keyboard_; }
    Transcript& transcript() { return transcript_; }
    PluginLoader& loader() { return loader_; }

    // Loads the plug-in (static initialisation, then DllMain attach).
    bool loadPlugin(const std::string& path, std::string& error);
    // DllMain detach, then unload. Threads the plug-in left registered are
    // forgotten, so that they are never ticked after their library is gone.
    void unloadPlugin();

    // One script tick: the clock moves on, the back ends' diagnostics that
    // came since the last tick are written, every registered thread runs its
    // script body once, keys pressed for one tick go up. Nothing happens
    // while the pause menu is open: the game stands still.
    void tick();

    // The pause menu (see GameWorld): the opening or closing fade begins
    // now, transcribed as "menu fading" / "menu closing"; the ticks that
    // follow end it ("menu open" / "menu closed").
    void openMenu();
    void closeMenu();
    // Lets `ms` of menu time pass while the game stands still: no tick, no
    // game time; in real time the wall clock moves on by that much.
    void menuWait(std::uint64_t ms);

    // Runs one scenario command; false when the command was quit.
    bool run(const Command& command);
    // Runs commands in order until the end or a quit.
    void runScenario(const std::vector<Command>& commands);

    // Hears every Log::Info line of the plug-in as it was written (the
    // interactive screen shows the last one).
    void setLogListener(std::function<void(const std::string&)> listener) { logListener_ = std::move(listener); }

private:
    // What the host installs in the seams of the script hook and the
    // platform: its log, its keyboard, its transcript of the commands.
    class Hooks;

    void logLine(const char* line);
    // Writes the back ends' diagnostic lines (queued from any thread, in the
    // order they came) as "diag" lines and to the log file, on this thread;
    // with `transcribe` false to the log file only.
    void writeDiagnostics(bool transcribe = true);
    void appendToLogFile(const char* prefix, const char* line);
    void pace();

    GameWorld world_;
    GameKeyboard keyboard_;
    Transcript transcript_;
    PluginLoader loader_;
    std::FILE* logFile_ = nullptr;
    // The libmpv back ends, loaded on a thread of their own once the plug-in
    // is loaded (or when first used); null without real devices.
    std::unique_ptr<platform::AudioBackEnds> backEnds_;
    std::shared_ptr<ScriptedMci> scriptedMci_;
    std::shared_ptr<ScriptedStream> scriptedStream_;
    bool realtime_ = false;
    bool paced_ = false;
    std::chrono::steady_clock::time_point wallStart_;
    std::uint32_t gameStart_ = 0;
    std::chrono::steady_clock::time_point menuWallStart_;
    std::uint32_t menuFadeMs_ = 500;
    std::uint64_t menuTimeMs_ = 0;  // menu time of the menu open now
    std::function<void(const std::string&)> logListener_;
    std::mutex diagnosticsMutex_;
    std::vector<std::string> diagnostics_;
    std::size_t diagnosticsDropped_ = 0;
    std::shared_ptr<Hooks> hooks_;
};

}  // namespace kestro::host
