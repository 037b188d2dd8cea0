// kestro-host: stands in for the game and its plug-in loader.
//
//   kestro-host [--game-dir] DIR [options]                 play on this terminal
//   kestro-host --game-dir DIR --scenario FILE [options]   run a scenario headless
//
// Exit status: 0 the scenario ran (or the person quit); 1 the scenario file
// is unreadable or has a bad line; 2 bad command line, game folder, or a
// transcript that cannot be created or written (every write, flush and the
// close are checked); 3 the plug-in could not be loaded. docs/scenarios.md
// describes the scenario format and the transcript, docs/interactive.md the
// interactive mode.
#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "host/GameFolder.h"
#include "host/Host.h"
#include "host/Interactive.h"
#include "host/Scenario.h"
#include "host/PluginState.h"

#ifndef KESTRO_VERSION
#define KESTRO_VERSION "unknown"
#endif

namespace {

using kestro::host::Command;
using kestro::host::Host;
using kestro::host::HostOptions;

constexpr int kExitScenario = 1;
constexpr int kExitUsage = 2;
constexpr int kExitPlugin = 3;

const char kUsage[] =
    "usage: kestro-host [--game-dir] DIR [options]\n"
    "           play the game on this terminal: x starts the music, F1 lists the\n"
    "           keys, F12 or Ctrl+C quits (every letter is a game key, q too)\n"
    "       kestro-host --game-dir DIR --scenario FILE [options]\n"
    "           run a scenario of game events and keys headless (docs/scenarios.md)\n"
    "\n"
    "DIR is the game folder: Kestro.ini, the Songs folder with the music (a link to\n"
    "a music folder works), songs.txt and the log ScriptHook.log.\n"
    "\n"
    "Options:\n"
    "  --game-dir DIR     the game folder (also the one argument without an option)\n"
    "  --scenario FILE    run the scenario headless instead (see docs/scenarios.md)\n"
    "  --transcript FILE  write the transcript there (scenario default: standard output;\n"
    "                     interactive: none)\n"
    "  --audio OUT        where songs and the stream sound: auto (a sound device when one\n"
    "                     opens, else silence in real time), null, pcm:FILE (a WAV capture\n"
    "                     of what was decoded, written as fast as it decodes) or\n"
    "                     pcm-realtime:FILE (a WAV capture of what was heard, in real\n"
    "                     time); default auto\n"
    "  --seed N           seed of the game's random numbers (default 1)\n"
    "  --tick-ms N        game time per script tick, 1 to 60000 ms (default 20)\n"
    "  --menu-fade-ms N   game time the front end fades when the pause menu opens or\n"
    "                     closes, 0 to 60000 ms (default 500; 0: one tick)\n"
    "  --plugin PATH      the plug-in library (default: libkestro.so beside kestro-host)\n"
    "  --trace-draw       also write every text drawn on screen to the transcript\n"
    "  --show-settings    (scenario) after loading, write the plug-in's settings as it\n"
    "                     read them\n"
    "  --realtime         (scenario) tick at the pace of the wall clock; a pcm:FILE\n"
    "                     capture is then written in real time too\n"
    "  --mci DEV          the song device: mpv (default, plays files), scripted (answers\n"
    "                     from the scenario's mci lines, plays nothing) or none\n"
    "  --stream DEV       the stream player: mpv (default), scripted (the scenario's\n"
    "                     stream lines) or none (plays nothing)\n"
    "  --help, --version  this text; the version\n"
    "Options may be shortened while they stay unambiguous (--game for --game-dir),\n"
    "and written --option=VALUE. \"--\" ends the options.\n";

const char kTryHelp[] = "Try 'kestro-host --help' for more information.\n";

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
    bool help = false;
    bool version = false;
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

enum Option {
    kGameDir = 256, kScenario, kTranscript, kPlugin, kSeed, kTickMs, kMenuFadeMs, kTraceDraw, kShowSettings,
    kRealtime, kAudio, kMci, kStream, kVersion,
};

const option kOptions[] = {
    {"game-dir", required_argument, nullptr, kGameDir},
    {"scenario", required_argument, nullptr, kScenario},
    {"transcript", required_argument, nullptr, kTranscript},
    {"plugin", required_argument, nullptr, kPlugin},
    {"seed", required_argument, nullptr, kSeed},
    {"tick-ms", required_argument, nullptr, kTickMs},
    {"menu-fade-ms", required_argument, nullptr, kMenuFadeMs},
    {"trace-draw", no_argument, nullptr, kTraceDraw},
    {"show-settings", no_argument, nullptr, kShowSettings},
    {"realtime", no_argument, nullptr, kRealtime},
    {"audio", required_argument, nullptr, kAudio},
    {"mci", required_argument, nullptr, kMci},
    {"stream", required_argument, nullptr, kStream},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, kVersion},
    {nullptr, 0, nullptr, 0},
};

// A value of an option: what must be given, or empty when it is fine.
std::string takeValue(int opt, const std::string& v, Arguments& a) {
    std::uint64_t n = 0;
    switch (opt) {
    case kGameDir: a.gameDir = v; return v.empty() ? "--game-dir needs a folder" : "";
    case kScenario: a.scenario = v; return v.empty() ? "--scenario needs a file" : "";
    case kTranscript: a.transcript = v; return v.empty() ? "--transcript needs a file" : "";
    case kPlugin: a.plugin = v; return v.empty() ? "--plugin needs a path" : "";
    case kSeed:
        if (!parseUnsigned(v, UINT64_MAX, n)) return "--seed needs a whole number";
        a.seed = n;
        return {};
    case kTickMs:
        if (!parseUnsigned(v, 60000, n) || n == 0) return "--tick-ms needs a number from 1 to 60000";
        a.tickMs = static_cast<std::uint32_t>(n);
        return {};
    case kMenuFadeMs:
        if (!parseUnsigned(v, 60000, n)) return "--menu-fade-ms needs a number from 0 to 60000";
        a.menuFadeMs = static_cast<std::uint32_t>(n);
        return {};
    case kAudio:
        return kestro::platform::parseAudioOutput(v.c_str(), a.audio)
                   ? ""
                   : "--audio needs auto, null, pcm:FILE or pcm-realtime:FILE";
    case kMci: return parseDevice(v, a.mci) ? "" : "--mci needs mpv, scripted or none";
    case kStream: return parseDevice(v, a.stream) ? "" : "--stream needs mpv, scripted or none";
    default: return "unknown option";
    }
}

// The C library's option parser (GNU rules: abbreviations, --option=VALUE,
// "--" ends the options, its own messages for unknown, ambiguous and
// incomplete options). Returns an error text, "" on success, or "getopt"
// when the parser has already said what is wrong.
std::string parseArguments(int argc, char** argv, Arguments& a) {
    // The parser names the program by argv[0] in its messages.
    std::vector<char*> args(argv, argv + argc);
    char name[] = "kestro-host";
    if (!args.empty()) args[0] = name;
    args.push_back(nullptr);
    optind = 0;  // a fresh start (and GNU's full initialisation)
    opterr = 1;
    for (;;) {
        const int opt = getopt_long(argc, args.data(), "h", kOptions, nullptr);
        if (opt == -1) break;
        if (opt == '?') return "getopt";
        if (opt == 'h') a.help = true;
        else if (opt == kVersion) a.version = true;
        else if (opt == kTraceDraw) a.traceDraw = true;
        else if (opt == kShowSettings) a.showSettings = true;
        else if (opt == kRealtime) a.realtime = true;
        else if (std::string problem = takeValue(opt, optarg ? optarg : "", a); !problem.empty()) return problem;
    }
    if (a.help || a.version) return {};
    // One argument without an option is the game folder.
    const int rest = argc - optind;
    if (rest == 1 && a.gameDir.empty()) {
        a.gameDir = args[static_cast<std::size_t>(optind)];
        if (a.gameDir.empty()) return "the game folder is empty";
    } else if (rest >= 1) {
        return std::string("unexpected argument '") + args[static_cast<std::size_t>(optind)] +
               "' (the game folder is given once: kestro-host [--game-dir] DIR)";
    }
    if (a.gameDir.empty()) return "--game-dir is required (the game folder: kestro-host [--game-dir] DIR)";
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
    const std::string problem = parseArguments(argc, argv, args);
    if (!problem.empty()) {
        if (problem != "getopt") std::fprintf(stderr, "kestro-host: %s\n", problem.c_str());
        std::fputs(kTryHelp, stderr);
        return kExitUsage;
    }
    if (args.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (args.version) {
        std::puts("kestro-host (Kestro) " KESTRO_VERSION);
        return 0;
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
        if (args.mci == kestro::host::DeviceChoice::Real || args.stream == kestro::host::DeviceChoice::Real)
            interactive.audioAsked = kestro::platform::describeAudioOutput(args.audio);
        interactive.sessionLine = kestro::host::sessionLine(gameDir);
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

    // A music folder given as the game folder plays nothing: said once.
    bool musicFolder = false;
    if (const std::string notice = kestro::host::songsFolderNotice(gameDir, &musicFolder); musicFolder)
        std::fprintf(stderr, "kestro-host: %s\n", notice.c_str());
    kestro::host::appendLogLine(gameDir + "/ScriptHook.log", kestro::host::sessionLine(gameDir));

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
