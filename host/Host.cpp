#include "host/Host.h"

#include <unistd.h>

#include <string>

#include "host/Natives.h"
#include "platform/Keyboard.h"
#include "platform/Mci.h"
#include "platform/StreamPlayer.h"
#include "scripthook/HookHost.h"
#include "scripthook/ScriptHook.h"

namespace kestro::host {

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
    scripthook::setLogSink([this](const char* line) { logLine(line); });
    scripthook::setThreadRegisteredCallback([this](NativeThread* thread) {
        // A script's timer A starts at 0 when the script starts.
        world_.setTimerA(thread, 0);
        const char* name = thread ? thread->Name() : nullptr;
        transcript_.text("thread", boundedText(name ? name : "(unnamed)", 256));
    });
    platform::setKeyStateSource([this](int vk) {
        std::int16_t state = keyboard_.query(vk);
        if (state != 0)
            transcript_.event("key", "%s 0x%04X", keyName(vk).c_str(),
                              static_cast<unsigned>(static_cast<std::uint16_t>(state)));
        return state;
    });
    platform::setMciObserver([this](const char* command, platform::MciError result, const char* reply) {
        std::string c = boundedText(command);
        std::string r = boundedText(reply);
        if (r.empty())
            transcript_.event("mci", "%u %s", static_cast<unsigned>(result), c.c_str());
        else
            transcript_.event("mci", "%u %s => %s", static_cast<unsigned>(result), c.c_str(), r.c_str());
    });
    platform::setStreamObserver([this](const char* operation, const std::string& argument) {
        std::string op = boundedText(operation, 256);
        if (argument.empty())
            transcript_.text("stream", op);
        else
            transcript_.text("stream", op + " " + argument.substr(0, Transcript::kMaxLine / 2));
    });
}

Host::~Host() {
    unloadPlugin();
    platform::setStreamObserver(nullptr);
    platform::setMciObserver(nullptr);
    platform::setKeyStateSource(nullptr);
    scripthook::setThreadRegisteredCallback(nullptr);
    scripthook::resetLogSink();
    scripthook::clearNatives();
    transcript_.flush();
    if (logFile_) std::fclose(logFile_);
}

void Host::logLine(const char* line) {
    transcript_.text("log", boundedText(line, scripthook::kMaxLogLine));
    if (logFile_) {
        std::fprintf(logFile_, "%s\n", line ? line : "");
        std::fflush(logFile_);
    }
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
    return true;
}

void Host::unloadPlugin() {
    if (!loader_.loaded()) return;
    bool stillMapped = false;
    transcript_.flush();
    int detach = loader_.callEntry(kProcessDetach);
    transcript_.event("dllmain", "%lu %d", kProcessDetach, detach);
    transcript_.flush();
    loader_.unmap(&stillMapped);
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
    world_.beginTick();
    scripthook::tickThreads();
    keyboard_.endTick();
    world_.endTick();
}

bool Host::run(const Command& command) {
    transcript_.text("scenario", command.text);
    switch (command.kind) {
    case CommandKind::Tick:
        for (std::int64_t i = 0; i < command.value; ++i) tick();
        break;
    case CommandKind::Wait: {
        std::uint64_t passed = 0;
        while (passed < static_cast<std::uint64_t>(command.value)) {
            tick();
            passed += world_.tickMs();
        }
        break;
    }
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
    case CommandKind::Random: world_.forceNextRandom(static_cast<std::int32_t>(command.value)); break;
    case CommandKind::Quit:
        transcript_.flush();
        return false;
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
