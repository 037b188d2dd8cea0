#include "host/Host.h"

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "host/NativeHandlers.h"
#include "platform/system/Keyboard.h"
#include "platform/system/Diagnostics.h"
#include "platform/audio/Mci.h"
#include "platform/audio/StreamPlayer.h"
#include "scripthook/HookHost.h"
#include "scripthook/ScriptHook.h"

namespace kestro::host {

namespace {

// Back-end lines waiting for their place in the transcript; more than this
// many between two ticks are counted, not kept.
constexpr std::size_t kMaxQueuedDiagnostics = 1000;
constexpr std::size_t kMaxDiagnosticLine = 1024;
// Marks the back ends' lines in the log file, where the plug-in's own lines
// stand unmarked.
constexpr const char* kDiagnosticMark = "[platform] ";

}  // namespace

class Host::Hooks : public scripthook::LogSink,
                    public scripthook::ThreadObserver,
                    public platform::KeyStateSource,
                    public platform::MciObserver,
                    public platform::DiagnosticSink {
public:
    explicit Hooks(Host& host) : host_(host) {}

    void write(const char* line) override { host_.logLine(line); }

    void threadRegistered(NativeThread* thread) override {
        // A script's timer A starts at 0 when the script starts.
        host_.world_.setTimerA(thread, 0);
        const char* name = thread ? thread->Name() : nullptr;
        host_.transcript_.text("thread", boundedText(name ? name : "(unnamed)", 256));
    }

    std::int16_t keyState(int vk) override {
        std::int16_t state = host_.keyboard_.query(vk);
        if (state != 0)
            host_.transcript_.event("key", "%s 0x%04X", keyName(vk).c_str(),
                                    static_cast<unsigned>(static_cast<std::uint16_t>(state)));
        return state;
    }

    void commandSent(const char* command, platform::MciError result, const char* reply) override {
        std::string c = boundedText(command);
        std::string r = boundedText(reply);
        if (r.empty())
            host_.transcript_.event("mci", "%u %s", static_cast<unsigned>(result), c.c_str());
        else
            host_.transcript_.event("mci", "%u %s => %s", static_cast<unsigned>(result), c.c_str(), r.c_str());
    }

    // Lines of the platform's back ends (the audio output taken, a file
    // that cannot be played) may come from their threads at any moment:
    // queued, and written on the host's thread at a place of their own (see
    // tick and unloadPlugin).
    void report(const char* line) override {
        std::lock_guard<std::mutex> lock(host_.diagnosticsMutex_);
        if (host_.diagnostics_.size() < kMaxQueuedDiagnostics)
            host_.diagnostics_.emplace_back(boundedText(line, kMaxDiagnosticLine));
        else
            ++host_.diagnosticsDropped_;
    }

private:
    Host& host_;
};

Host::Host(const HostOptions& options)
    : world_(options.seed, options.tickMs), transcript_(world_) {
    transcript_.setTraceDraw(options.traceDraw);
    if (!options.logFile.empty()) {
        // A log that is not a regular file (a FIFO would block the host
        // before the plug-in loads) or cannot be opened is left alone.
        const char* problem = nullptr;
        const int fd = scripthook::openLogFile(options.logFile.c_str(), &problem);
        if (fd >= 0) logFile_ = ::fdopen(fd, "a");
        if (fd >= 0 && logFile_ == nullptr) {
            ::close(fd);
            problem = "cannot be opened";
        }
        if (logFile_ == nullptr)
            std::fprintf(stderr, "kestro-host: %s %s; log lines go to the transcript only\n",
                         options.logFile.c_str(), problem);
    }

    registerGameNatives(world_, &transcript_);
    hooks_ = std::make_shared<Hooks>(*this);
    scripthook::setLogSink(hooks_);
    scripthook::setThreadObserver(hooks_);
    platform::setKeyStateSource(hooks_);
    platform::setMciObserver(hooks_);
    platform::setDiagnosticSink(hooks_);

    // The libmpv back ends load on a thread of their own (see loadPlugin):
    // their stand-ins are installed now.
    const bool realMci = options.mci == DeviceChoice::Real, realStream = options.stream == DeviceChoice::Real;
    if (realMci || realStream) {
        platform::setProcessAudioOutput(options.audio);
        backEnds_ = std::make_unique<platform::AudioBackEnds>(options.audio, realMci, realStream, options.extraFormats);
    }
    switch (options.mci) {
    case DeviceChoice::Real:
        platform::setMciInterpreter(backEnds_->songDevice());
        break;
    case DeviceChoice::Scripted:
        scriptedMci_ = std::make_shared<ScriptedMci>();
        platform::setMciInterpreter(scriptedMci_);
        break;
    case DeviceChoice::None: platform::setMciInterpreter(nullptr); break;
    }
    std::shared_ptr<platform::StreamPlayer> stream;
    if (options.stream == DeviceChoice::Scripted) {
        scriptedStream_ = std::make_shared<ScriptedStream>();
        stream = scriptedStream_;
    } else if (options.stream == DeviceChoice::Real) {
        stream = backEnds_->streamPlayer();
    } else {
        stream = platform::makeSilentStreamPlayer();
    }
    platform::setStreamPlayer(transcribedStream(stream, transcript_));
    realtime_ = options.realtime;
    menuFadeMs_ = options.menuFadeMs;
}

void Host::writeDiagnostics(bool transcribe) {
    std::vector<std::string> lines;
    std::size_t dropped = 0;
    {
        std::lock_guard<std::mutex> lock(diagnosticsMutex_);
        lines.swap(diagnostics_);
        std::swap(dropped, diagnosticsDropped_);
    }
    if (dropped != 0) lines.push_back("(" + std::to_string(dropped) + " more lines dropped)");
    for (const std::string& line : lines) {
        if (transcribe) transcript_.text("diag", line);
        appendToLogFile(kDiagnosticMark, line.c_str());
    }
}

void Host::appendToLogFile(const char* prefix, const char* line) {
    if (logFile_ == nullptr) return;
    std::fprintf(logFile_, "%s%s\n", prefix, line ? line : "");
    std::fflush(logFile_);
}

// Real time: the tick at game time T runs when T ms of wall time have
// passed since the first paced tick.
void Host::pace() {
    const auto now = std::chrono::steady_clock::now();
    if (!paced_) {
        paced_ = true;
        wallStart_ = now;
        gameStart_ = world_.gameTime();
        return;
    }
    const auto due = wallStart_ + std::chrono::milliseconds(world_.gameTime() - gameStart_);
    if (due > now) std::this_thread::sleep_until(due);
}


Host::~Host() {
    unloadPlugin();
    platform::setStreamPlayer(nullptr);
    platform::setMciInterpreter(nullptr);
    backEnds_.reset();  // the real devices are torn down here, bounded
    // Nothing follows the unload line in the transcript: what the back ends
    // say from here on goes to the log file only.
    writeDiagnostics(false);
    platform::setDiagnosticSink(nullptr);
    platform::setMciObserver(nullptr);
    platform::setKeyStateSource(nullptr);
    scripthook::setThreadObserver(nullptr);
    scripthook::setLogSink(nullptr);
    scripthook::clearNatives();
    transcript_.flush();
    if (logFile_) std::fclose(logFile_);
}

void Host::logLine(const char* line) {
    const std::string text = boundedText(line, scripthook::kMaxLogLine);
    transcript_.text("log", text);
    appendToLogFile("", text.c_str());
    if (logListener_) logListener_(text);
}

bool Host::loadPlugin(const std::string& path, std::string& error) {
    transcript_.text("load", path);
    transcript_.flush();
    if (!loader_.map(path, error)) {
        transcript_.text("load-error", error);
        scripthook::forgetThreads();
        transcript_.flush();
        return false;
    }
    const int attached = loader_.attach();
    transcript_.event("dllmain", "%lu %d", kProcessAttach, attached);
    transcript_.flush();
    if (attached == 0) {
        // As on the platform: a refused attach is followed by the detach and
        // the unload, each transcribed like any other.
        error = "DllMain of " + path + " refused the process attach";
        unloadPlugin();
        transcript_.text("load-error", error);
        transcript_.flush();
        return false;
    }
    // Now that the plug-in is mapped (a load of the back ends meanwhile
    // would hold the loader's lock), they load while the first ticks run.
    if (backEnds_) backEnds_->start();
    return true;
}

void Host::unloadPlugin() {
    if (!loader_.loaded()) return;
    bool stillMapped = false;
    transcript_.flush();
    int detach = loader_.callEntry(kProcessDetach);
    // What the back ends said since the last tick (and during the detach)
    // comes before the detach's line, what they said while the library's
    // statics were destroyed before the unload's.
    writeDiagnostics();
    transcript_.event("dllmain", "%lu %d", kProcessDetach, detach);
    transcript_.flush();
    loader_.unmap(&stillMapped);
    writeDiagnostics();
    for (NativeThread* t : scripthook::registeredThreads()) world_.forgetThread(t);
    const std::size_t left = scripthook::registeredThreads().size();
    scripthook::forgetThreads();
    if (stillMapped)
        transcript_.text("unload", "still-mapped");
    else if (left != 0)
        transcript_.event("unload", "threads-left %zu", left);
    else
        transcript_.text("unload", "");
    transcript_.flush();
}

void Host::tick() {
    if (world_.standsStill()) return;
    if (realtime_) pace();
    world_.beginTick();
    writeDiagnostics();
    scripthook::tickThreads();
    keyboard_.endTick();
    const GameWorld::Menu menu = world_.menu();
    world_.endTick();
    if (world_.menu() == menu) return;
    if (world_.standsStill()) menuWallStart_ = std::chrono::steady_clock::now();
    transcript_.text("menu", world_.standsStill() ? "open" : "closed");
}

void Host::openMenu() {
    if (world_.openMenu(menuFadeMs_)) transcript_.text("menu", "fading");
}

void Host::closeMenu() {
    const bool wasOpen = world_.standsStill();
    if (!world_.closeMenu(menuFadeMs_)) return;
    if (wasOpen) {
        transcript_.event("menu", "closing after %llu ms", static_cast<unsigned long long>(menuTimeMs_));
        // The wall clock ran on while the game stood still: real-time
        // pacing goes on from here rather than catching that time up.
        wallStart_ += std::chrono::steady_clock::now() - menuWallStart_;
    } else {
        transcript_.text("menu", "closing");
    }
    menuTimeMs_ = 0;
}

void Host::menuWait(std::uint64_t ms) {
    menuTimeMs_ += ms;
    if (realtime_) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool Host::run(const Command& command) {
    transcript_.text("scenario", command.text);
    switch (command.kind) {
    case CommandKind::Tick:
        if (world_.standsStill()) {
            menuWait(static_cast<std::uint64_t>(command.value) * world_.tickMs());
            break;
        }
        for (std::int64_t i = 0; i < command.value; ++i) tick();
        break;
    case CommandKind::Wait: {
        if (world_.standsStill()) {
            menuWait(static_cast<std::uint64_t>(command.value));
            break;
        }
        std::uint64_t passed = 0;
        while (passed < static_cast<std::uint64_t>(command.value)) {
            tick();
            passed += world_.tickMs();
        }
        break;
    }
    case CommandKind::MenuOpen:
        openMenu();
        while (world_.menu() == GameWorld::Menu::Opening) tick();
        break;
    case CommandKind::MenuClose:
        closeMenu();
        while (world_.menu() == GameWorld::Menu::Closing) tick();
        break;
    case CommandKind::Press: keyboard_.press(static_cast<int>(command.value)); break;
    case CommandKind::Hold: keyboard_.hold(static_cast<int>(command.value)); break;
    case CommandKind::Release: keyboard_.release(static_cast<int>(command.value)); break;
    case CommandKind::Vehicle: world_.enterVehicle(static_cast<std::int32_t>(command.value)); break;
    case CommandKind::Foot: world_.leaveVehicle(); break;
    case CommandKind::Control: world_.setControl(command.value != 0); break;
    case CommandKind::Fading: world_.setFading(command.value != 0); break;
    case CommandKind::CutsceneStart: world_.startCutscene(); break;
    case CommandKind::CutsceneEnd: world_.endCutscene(); break;
    case CommandKind::Retune: world_.retuneNextTick(); break;
    case CommandKind::Screen:
        for (const std::string& row : screenRows(world_)) transcript_.text("screen", row);
        break;
    case CommandKind::Random:
    case CommandKind::RandomForce:
        world_.forceNextRandom(static_cast<std::int32_t>(command.value), command.kind == CommandKind::RandomForce);
        break;
    case CommandKind::Quit:
        transcript_.flush();
        return false;
    case CommandKind::MciReply:
    case CommandKind::MciOnceReply:
        if (scriptedMci_) scriptedMci_->setReply(command.target, command.argument, command.kind == CommandKind::MciOnceReply);
        break;
    case CommandKind::MciFail:
    case CommandKind::MciOnceFail:
        if (scriptedMci_)
            scriptedMci_->setFailure(command.target, static_cast<platform::MciError>(command.value),
                                     command.kind == CommandKind::MciOnceFail);
        break;
    case CommandKind::MciFailLater:
        if (scriptedMci_) scriptedMci_->setFailLater(command.target, static_cast<platform::MciError>(command.value));
        break;
    case CommandKind::MciUnplayable:
        if (scriptedMci_) scriptedMci_->setUnplayable(command.target);
        break;
    case CommandKind::MciClear:
        if (scriptedMci_) scriptedMci_->clear();
        break;
    case CommandKind::StreamDuration:
        if (scriptedStream_) scriptedStream_->setDuration(std::strtod(command.argument.c_str(), nullptr));
        break;
    case CommandKind::StreamTag:
        if (scriptedStream_) scriptedStream_->setTag(command.target, command.argument);
        break;
    case CommandKind::StreamUntag:
        if (scriptedStream_) scriptedStream_->removeTag(command.target);
        break;
    case CommandKind::StreamFailCreate:
        if (scriptedStream_) scriptedStream_->failCreate();
        break;
    }
    transcript_.flush();
    return true;
}

void Host::runScenario(const std::vector<Command>& commands) {
    // A transcript that can no longer be written ends the run: nobody
    // would see what follows.
    for (const Command& c : commands)
        if (!run(c) || transcript_.failed()) break;
}

}  // namespace kestro::host
