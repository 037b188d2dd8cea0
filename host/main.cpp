// kestro-host: stands in for the game and its plug-in loader.
//
//   kestro-host --game-dir DIR --scenario FILE [--transcript FILE] [--seed N]
//               [--tick-ms N] [--plugin PATH] [--trace-draw] [--show-settings]
//               [--audio auto|null|pcm:FILE|pcm-realtime:FILE] [--realtime]
//               [--mci mpv|scripted|none] [--stream mpv|scripted|none]
//               [--menu-fade-ms N]
//
// Exit status: 0 the scenario ran; 1 the scenario file is unreadable or has
// a bad line; 2 bad command line, game folder, or a transcript that cannot
// be created or written (every write, flush and the close are checked); 3
// the plug-in could not be loaded. docs/scenarios.md describes the scenario
// format and the transcript.
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "host/Host.h"
#include "host/Interactive.h"
#include "host/Scenario.h"
#include "host/PluginState.h"

namespace {

using kestro::host::Command;
using kestro::host::Host;
using kestro::host::HostOptions;

constexpr int kExitScenario = 1;
constexpr int kExitUsage = 2;
constexpr int kExitPlugin = 3;

const char kUsage[] =
    "usage: kestro-host --game-dir DIR --scenario FILE [--transcript FILE] [--seed N]\n"
    "                   [--tick-ms N] [--plugin PATH] [--trace-draw] [--show-settings]\n"
    "                   [--audio auto|null|pcm:FILE|pcm-realtime:FILE] [--realtime]\n"
    "                   [--mci mpv|scripted|none] [--stream mpv|scripted|none]\n"
    "                   [--menu-fade-ms N]\n"
    "  --game-dir DIR     the plug-in's working directory (Kestro.ini, Songs, the log)\n"
    "  --scenario FILE    run the scenario headless (see docs/scenarios.md)\n"
    "  --transcript FILE  write the transcript there (default: standard output)\n"
    "  --seed N           seed of the game's random numbers (default 1)\n"
    "  --tick-ms N        game time per script tick, 1 to 60000 ms (default 20)\n"
    "  --plugin PATH      the plug-in library (default: libkestro.so beside kestro-host)\n"
    "  --trace-draw       also write every text drawn on screen\n"
    "  --show-settings    after loading, write the plug-in's settings as it read them\n"
    "  --audio OUT        where songs and the stream sound: auto (a sound device when one\n"
    "                     opens, else silence in real time), null, pcm:FILE (a WAV capture\n"
    "                     of what was decoded, written as fast as it decodes) or\n"
    "                     pcm-realtime:FILE (a WAV capture of what was heard, in real\n"
    "                     time); default auto\n"
    "  --realtime         tick at the pace of the wall clock; a pcm:FILE capture is then\n"
    "                     written in real time too (as pcm-realtime:FILE)\n"
    "  --mci DEV          the song device: mpv (default, plays files), scripted (answers\n"
    "                     from the scenario's mci lines, plays nothing) or none\n"
    "  --stream DEV       the stream player: mpv (default), scripted (the scenario's\n"
    "                     stream lines) or none (plays nothing)\n"
    "  --menu-fade-ms N   game time the front end fades when the pause menu opens or\n"
    "                     closes, 0 to 60000 ms (default 500; 0: one tick)\n"
    "Without --scenario, on a terminal: play the game interactively in real time\n"
    "(docs/interactive.md; --transcript then records the session).\n";

struct Arguments {
    std::string gameDir;
    std::string scenario;
    std::string transcript;
    std::string plugin;
    std::uint64_t seed = 1;
    std::uint32_t tickMs = 20;
    std::uint32_t menuFadeMs = 500;
    bool traceDraw = false;
    bool showSettings = false;
    bool realtime = false;
    kestro::platform::AudioOutput audio;
    kestro::host::DeviceChoice mci = kestro::host::DeviceChoice::Real;
    kestro::host::DeviceChoice stream = kestro::host::DeviceChoice::Real;
};

bool parseDevice(const std::string& text, kestro::host::DeviceChoice& out) {
    using kestro::host::DeviceChoice;
    if (text == "mpv") out = DeviceChoice::Real;
    else if (text == "scripted") out = DeviceChoice::Scripted;
    else if (text == "none") out = DeviceChoice::None;
    else return false;
    return true;
}

bool parseUnsigned(const std::string& text, std::uint64_t max, std::uint64_t& out) {
    if (text.empty() || text.size() > 20) return false;
    std::uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        std::uint64_t d = static_cast<std::uint64_t>(c - '0');
        if (v > (max - d) / 10) return false;
        v = v * 10 + d;
    }
    out = v;
    return true;
}

// Returns an error text, or empty on success.
std::string parseArguments(int argc, char** argv, Arguments& a) {
    for (int i = 1; i < argc; ++i) {
        std::string opt = argv[i];
        std::optional<std::string> inlineValue;
        if (std::size_t eq = opt.find('='); opt.rfind("--", 0) == 0 && eq != std::string::npos) {
            inlineValue = opt.substr(eq + 1);
            opt.resize(eq);
        }
        auto value = [&](std::string& out) -> bool {
            if (inlineValue) {
                out = *inlineValue;
                return true;
            }
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        std::string v;
        if (opt == "--help" || opt == "-h") return "help";
        if (opt == "--trace-draw" && !inlineValue) {
            a.traceDraw = true;
        } else if (opt == "--show-settings" && !inlineValue) {
            a.showSettings = true;
        } else if (opt == "--realtime" && !inlineValue) {
            a.realtime = true;
        } else if (opt == "--audio") {
            if (!value(v) || !kestro::platform::parseAudioOutput(v.c_str(), a.audio))
                return "--audio needs auto, null, pcm:FILE or pcm-realtime:FILE";
        } else if (opt == "--mci") {
            if (!value(v) || !parseDevice(v, a.mci)) return "--mci needs mpv, scripted or none";
        } else if (opt == "--stream") {
            if (!value(v) || !parseDevice(v, a.stream)) return "--stream needs mpv, scripted or none";
        } else if (opt == "--game-dir") {
            if (!value(a.gameDir) || a.gameDir.empty()) return "--game-dir needs a folder";
        } else if (opt == "--scenario") {
            if (!value(a.scenario) || a.scenario.empty()) return "--scenario needs a file";
        } else if (opt == "--transcript") {
            if (!value(a.transcript) || a.transcript.empty()) return "--transcript needs a file";
        } else if (opt == "--plugin") {
            if (!value(a.plugin) || a.plugin.empty()) return "--plugin needs a path";
        } else if (opt == "--seed") {
            std::uint64_t n;
            if (!value(v) || !parseUnsigned(v, UINT64_MAX, n)) return "--seed needs a whole number";
            a.seed = n;
        } else if (opt == "--tick-ms") {
            std::uint64_t n;
            if (!value(v) || !parseUnsigned(v, 60000, n) || n == 0) return "--tick-ms needs a number from 1 to 60000";
            a.tickMs = static_cast<std::uint32_t>(n);
        } else if (opt == "--menu-fade-ms") {
            std::uint64_t n;
            if (!value(v) || !parseUnsigned(v, 60000, n)) return "--menu-fade-ms needs a number from 0 to 60000";
            a.menuFadeMs = static_cast<std::uint32_t>(n);
        } else {
            return "unknown option '" + std::string(argv[i]) + "'";
        }
    }
    if (a.gameDir.empty()) return "--game-dir is required";
    return {};
}

std::string currentDirectory() {
    std::vector<char> buf(PATH_MAX);
    while (getcwd(buf.data(), buf.size()) == nullptr) {
        if (errno != ERANGE || buf.size() > (1u << 20)) return ".";
        buf.resize(buf.size() * 2);
    }
    return buf.data();
}

std::string absolute(const std::string& path, const std::string& base) {
    if (path.empty() || path[0] == '/') return path;
    return base + "/" + path;
}

// Writes the fifteen settings as the loaded plug-in holds them, one
// "setting NAME VALUE" transcript line each, through the plug-in's
// diagnostics view.
void showSettings(kestro::host::Host& host) {
    if (const kestro::PlayerState* view = kestro::host::pluginStateView(host.loader())) {
        const kestro::PlayerState& s = *view;
        const std::pair<const char*, std::int32_t> settings[] = {
            {"PauseKey", s.PauseKey},       {"DisplayKey", s.DisplayKey},
            {"PreviousKey", s.PreviousKey}, {"NextKey", s.NextKey},
            {"FforwardKey", s.FforwardKey}, {"FrewindKey", s.FrewindKey},
            {"StopKey", s.StopKey},         {"RandomKey", s.RandomKey},
            {"Display", s.displayOn},       {"DisplayTitle", s.DisplayTitle},
            {"OnFootEnabled", s.OnFootEnabled}, {"VolumeUpKey", s.VolumeUpKey},
            {"VolumeDownKey", s.VolumeDownKey}, {"EnableUrl", s.EnableUrl},
            {"Volume", s.volume},
        };
        for (const auto& [name, value] : settings) host.transcript().event("setting", "%s %d", name, value);
    } else {
        host.transcript().event("setting", "unavailable");
    }
}

std::string defaultPluginPath() {
    std::vector<char> buf(PATH_MAX + 1);
    ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    if (n <= 0) return "libkestro.so";
    std::string exe(buf.data(), static_cast<std::size_t>(n));
    std::size_t slash = exe.rfind('/');
    return (slash == std::string::npos ? std::string(".") : exe.substr(0, slash)) + "/libkestro.so";
}

}  // namespace

int main(int argc, char** argv) {
    // Numbers are read and written with '.' whatever the user's locale.
    std::setlocale(LC_NUMERIC, "C");

    Arguments args;
    std::string problem = parseArguments(argc, argv, args);
    if (problem == "help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (!problem.empty()) {
        std::fprintf(stderr, "kestro-host: %s\n%s", problem.c_str(), kUsage);
        return kExitUsage;
    }

    // Paths are taken relative to where the host was started, before it
    // moves into the game folder.
    const std::string startDir = currentDirectory();
    const std::string gameDir = absolute(args.gameDir, startDir);
    const std::string scenarioPath = absolute(args.scenario, startDir);
    const std::string pluginPath = args.plugin.empty() ? defaultPluginPath() : absolute(args.plugin, startDir);

    if (args.audio.kind == kestro::platform::AudioOutput::Kind::Pcm) {
        args.audio.file = absolute(args.audio.file, startDir);
        // In real time the capture holds what was heard, pauses and seeks
        // included, as the game's sound would.
        if (args.realtime) args.audio.realtime = true;
    }

    if (args.scenario.empty()) {
        kestro::host::InteractiveOptions interactive;
        interactive.host.mci = args.mci;
        interactive.host.stream = args.stream;
        interactive.host.audio = args.audio;
        interactive.host.seed = args.seed;
        interactive.host.tickMs = args.tickMs;
        interactive.host.menuFadeMs = args.menuFadeMs;
        interactive.host.traceDraw = args.traceDraw;
        interactive.host.logFile = gameDir + "/ScriptHook.log";
        interactive.gameDir = gameDir;
        interactive.pluginPath = pluginPath;
        if (!args.transcript.empty()) interactive.transcriptPath = absolute(args.transcript, startDir);
        return kestro::host::runInteractive(interactive);
    }

    std::vector<Command> commands;
    {
        std::ifstream in(scenarioPath);
        if (!in) {
            std::fprintf(stderr, "kestro-host: cannot read scenario %s\n", scenarioPath.c_str());
            return kExitScenario;
        }
        std::string error;
        if (!kestro::host::parseScenario(in, args.scenario, commands, error)) {
            std::fprintf(stderr, "kestro-host: %s\n", error.c_str());
            return kExitScenario;
        }
    }

    // Lines for the scripted devices need those devices.
    for (const Command& c : commands) {
        const char* why = nullptr;
        if (kestro::host::needsScriptedMci(c.kind) && args.mci != kestro::host::DeviceChoice::Scripted)
            why = "mci lines need the scripted song device (--mci scripted)";
        if (kestro::host::needsScriptedStream(c.kind) && args.stream != kestro::host::DeviceChoice::Scripted)
            why = "stream lines need the scripted stream player (--stream scripted)";
        if (why) {
            std::fprintf(stderr, "kestro-host: %s:%d: %s\n", args.scenario.c_str(), c.line, why);
            return kExitScenario;
        }
    }
    std::FILE* out = stdout;
    if (!args.transcript.empty()) {
        const std::string transcriptPath = absolute(args.transcript, startDir);
        out = std::fopen(transcriptPath.c_str(), "w");
        if (!out) {
            std::fprintf(stderr, "kestro-host: cannot write transcript %s: %s\n", transcriptPath.c_str(),
                         std::strerror(errno));
            return kExitUsage;
        }
    }

    if (chdir(gameDir.c_str()) != 0) {
        std::fprintf(stderr, "kestro-host: cannot enter game folder %s: %s\n", gameDir.c_str(),
                     std::strerror(errno));
        if (out != stdout) std::fclose(out);
        return kExitUsage;
    }

    const std::string transcriptName = args.transcript.empty() ? "(standard output)" : args.transcript;
    int transcriptError = 0;
    int status = 0;
    {
        HostOptions options;
        options.seed = args.seed;
        options.tickMs = args.tickMs;
        options.menuFadeMs = args.menuFadeMs;
        options.traceDraw = args.traceDraw;
        options.logFile = gameDir + "/ScriptHook.log";
        options.mci = args.mci;
        options.stream = args.stream;
        options.audio = args.audio;
        options.realtime = args.realtime;
        Host host(options);
        host.transcript().setOutput(out);

        std::string error;
        if (!host.loadPlugin(pluginPath, error)) {
            std::fprintf(stderr, "kestro-host: %s\n", error.c_str());
            status = kExitPlugin;
        } else {
            if (args.showSettings) showSettings(host);
            host.runScenario(commands);
            host.unloadPlugin();
        }
        host.transcript().flush();
        if (host.transcript().failed()) transcriptError = host.transcript().errorNumber();
    }
    // Every write was checked; the close is the last one. Standard output is
    // closed here too, so that its last buffered lines are checked as well.
    errno = 0;
    const bool hadError = std::ferror(out) != 0;
    const bool closeFailed = std::fclose(out) != 0;
    if ((hadError || closeFailed) && transcriptError == 0) transcriptError = errno != 0 ? errno : EIO;
    if (transcriptError != 0) {
        std::fprintf(stderr, "kestro-host: cannot write the transcript %s: %s\n", transcriptName.c_str(),
                     std::strerror(transcriptError));
        if (status == 0) status = kExitUsage;
    }
    return status;
}
