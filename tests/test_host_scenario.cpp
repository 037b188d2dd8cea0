// Scenario files, the plug-in loader and the kestro-host program.
//
// The loader and program tests use a small plug-in (tests/tools/TestPlugin.cpp,
// built against this build's script hook), so that they do not depend on
// what the music player does; the tests marked "real plug-in" load the
// player itself.
#include <gtest/gtest.h>

#include "TestUtil.h"
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "host/Host.h"
#include "host/Loader.h"
#include "host/Scenario.h"
#include "platform/audio/Mci.h"
#include "platform/audio/StreamPlayer.h"
#include "scripthook/HookHost.h"
#include "scripthook/ScriptHook.h"

namespace fs = std::filesystem;

using kestro::testing::hostOptions;

namespace {

using kestro::host::Command;
using kestro::host::CommandKind;
using kestro::host::Host;
using kestro::host::HostOptions;
using kestro::host::parseKey;
using kestro::host::parseScenario;
using kestro::host::parseScenarioLine;

// ---- parsing ---------------------------------------------------------------

std::optional<Command> parseOk(const std::string& line) {
    std::optional<Command> c;
    std::string error;
    EXPECT_TRUE(parseScenarioLine(line, 1, c, error)) << line << ": " << error;
    return c;
}

std::string parseError(const std::string& line) {
    std::optional<Command> c;
    std::string error;
    EXPECT_FALSE(parseScenarioLine(line, 1, c, error)) << line;
    EXPECT_FALSE(c.has_value()) << line;
    return error;
}

TEST(ScenarioParse, KeyNamesAndCodes) {
    EXPECT_EQ(parseKey("X"), 0x58);
    EXPECT_EQ(parseKey("x"), 0x58);
    EXPECT_EQ(parseKey("A"), 0x41);
    EXPECT_EQ(parseKey("Z"), 0x5A);
    EXPECT_EQ(parseKey("0"), 0x30);  // a single digit is the digit key
    EXPECT_EQ(parseKey("9"), 0x39);
    EXPECT_EQ(parseKey("F"), 0x46);  // the letter, not a function key
    EXPECT_EQ(parseKey("F1"), 0x70);
    EXPECT_EQ(parseKey("f10"), 0x79);
    EXPECT_EQ(parseKey("F12"), 0x7B);
    EXPECT_EQ(parseKey("NUMPAD0"), 0x60);
    EXPECT_EQ(parseKey("numpad3"), 0x63);
    EXPECT_EQ(parseKey("NUMPAD9"), 0x69);
    EXPECT_EQ(parseKey("RCONTROL"), 0xA3);
    EXPECT_EQ(parseKey("MEDIA_NEXT_TRACK"), 0xB0);
    EXPECT_EQ(parseKey("MEDIA_PREV_TRACK"), 0xB1);
    EXPECT_EQ(parseKey("MEDIA_STOP"), 0xB2);
    EXPECT_EQ(parseKey("media_play_pause"), 0xB3);
    EXPECT_EQ(parseKey("179"), 179);
    EXPECT_EQ(parseKey("10"), 10);
    EXPECT_EQ(parseKey("0x05"), 5);
    EXPECT_EQ(parseKey("0XA3"), 0xA3);
    EXPECT_EQ(parseKey("0xff"), 255);
    EXPECT_EQ(parseKey("255"), 255);

    for (const char* bad : {"", "F0", "F13", "NUMPAD", "NUMPAD10", "0x", "0x100", "256", "00", "0x0",
                            "-5", "XX", "RCTRL", "MEDIA", "1.5", "+5", "99999999999999999999999"})
        EXPECT_FALSE(parseKey(bad).has_value()) << bad;

    EXPECT_EQ(kestro::host::keyName(0x79), "F10");
    EXPECT_EQ(kestro::host::keyName(0x63), "NUMPAD3");
    EXPECT_EQ(kestro::host::keyName(0xB3), "MEDIA_PLAY_PAUSE");
    EXPECT_EQ(kestro::host::keyName(0x10), "0x10");
}

TEST(ScenarioParse, EveryCommand) {
    struct Case {
        const char* line;
        CommandKind kind;
        std::int64_t value;
    } cases[] = {
        {"tick", CommandKind::Tick, 1},
        {"tick 0", CommandKind::Tick, 0},
        {"  tick   25  ", CommandKind::Tick, 25},
        {"wait 3600000", CommandKind::Wait, 3600000},
        {"wait 0", CommandKind::Wait, 0},
        {"press X", CommandKind::Press, 0x58},
        {"hold RCONTROL", CommandKind::Hold, 0xA3},
        {"release 0x79", CommandKind::Release, 0x79},
        {"vehicle 7", CommandKind::Vehicle, 7},
        {"vehicle -12", CommandKind::Vehicle, -12},
        {"vehicle 0x10", CommandKind::Vehicle, 16},
        {"foot", CommandKind::Foot, 0},
        {"control off", CommandKind::Control, 0},
        {"control on", CommandKind::Control, 1},
        {"fading on", CommandKind::Fading, 1},
        {"fading off", CommandKind::Fading, 0},
        {"cutscene start", CommandKind::CutsceneStart, 0},
        {"cutscene end", CommandKind::CutsceneEnd, 0},
        {"retune", CommandKind::Retune, 0},
        {"random 3", CommandKind::Random, 3},
        {"random -2147483648", CommandKind::Random, INT32_MIN},
        {"random-force 99", CommandKind::RandomForce, 99},
        {"menu open", CommandKind::MenuOpen, 0},
        {"menu close", CommandKind::MenuClose, 0},
        {"quit", CommandKind::Quit, 0},
        {"press F10 # comment after a command", CommandKind::Press, 0x79},
        {"\ttick\t2", CommandKind::Tick, 2},
    };
    for (const auto& c : cases) {
        auto cmd = parseOk(c.line);
        ASSERT_TRUE(cmd.has_value()) << c.line;
        EXPECT_EQ(cmd->kind, c.kind) << c.line;
        EXPECT_EQ(cmd->value, c.value) << c.line;
    }
    EXPECT_EQ(parseOk("  press   F10   # held")->text, "press F10");
    EXPECT_FALSE(parseOk("").has_value());
    EXPECT_FALSE(parseOk("   ").has_value());
    EXPECT_FALSE(parseOk("# tick 5").has_value());
    EXPECT_FALSE(parseOk("   #").has_value());
}

TEST(ScenarioParse, BadLinesSayWhatIsWrong) {
    EXPECT_EQ(parseError("jump"), "unknown command 'jump'");
    EXPECT_EQ(parseError("Tick"), "unknown command 'Tick'");
    EXPECT_NE(parseError("tick -1").find("bad tick count '-1'"), std::string::npos);
    EXPECT_NE(parseError("tick 2x").find("bad tick count"), std::string::npos);
    EXPECT_NE(parseError("tick 10000001").find("bad tick count"), std::string::npos);
    EXPECT_NE(parseError("tick 1 2").find("at most one number"), std::string::npos);
    EXPECT_NE(parseError("wait").find("'wait' takes"), std::string::npos);
    EXPECT_NE(parseError("wait 86400001").find("bad wait time"), std::string::npos);
    EXPECT_NE(parseError("wait 0x10").find("bad wait time"), std::string::npos);
    EXPECT_NE(parseError("press").find("'press' takes one key"), std::string::npos);
    EXPECT_NE(parseError("press X Y").find("'press' takes one key"), std::string::npos);
    EXPECT_EQ(parseError("hold F13"), "unknown key 'F13'");
    EXPECT_EQ(parseError("release 256"), "unknown key '256'");
    EXPECT_NE(parseError("vehicle").find("'vehicle' takes"), std::string::npos);
    EXPECT_NE(parseError("vehicle 0").find("bad vehicle handle"), std::string::npos);
    EXPECT_NE(parseError("vehicle 2147483648").find("bad vehicle handle"), std::string::npos);
    EXPECT_NE(parseError("foot now").find("no arguments"), std::string::npos);
    EXPECT_NE(parseError("control").find("'on' or 'off'"), std::string::npos);
    EXPECT_NE(parseError("control maybe").find("not 'maybe'"), std::string::npos);
    EXPECT_NE(parseError("fading ON").find("'on' or 'off'"), std::string::npos);
    EXPECT_NE(parseError("cutscene").find("'start' or 'end'"), std::string::npos);
    EXPECT_NE(parseError("cutscene stop").find("not 'stop'"), std::string::npos);
    EXPECT_NE(parseError("retune 1").find("no arguments"), std::string::npos);
    EXPECT_NE(parseError("random").find("a number"), std::string::npos);
    EXPECT_NE(parseError("random x").find("bad random value"), std::string::npos);
    EXPECT_NE(parseError("random 2147483648").find("bad random value"), std::string::npos);
    EXPECT_NE(parseError("random-force 0x5").find("bad random value"), std::string::npos);
    EXPECT_NE(parseError("menu shut").find("'menu' takes 'open' or 'close', not 'shut'"), std::string::npos);
    EXPECT_NE(parseError("menu").find("'open' or 'close'"), std::string::npos);
    EXPECT_NE(parseError("quit now").find("no arguments"), std::string::npos);
    // A very long word is shown cut.
    std::string longWord(5000, 'q');
    EXPECT_LT(parseError(longWord).size(), 100u);
}

TEST(ScenarioParse, WholeFileReportsTheFirstBadLineWithItsNumber) {
    std::istringstream good("# demo\r\ntick 2\r\n\r\npress X\nwait 100 # two ticks and more\nquit\n");
    std::vector<Command> cmds;
    std::string error;
    ASSERT_TRUE(parseScenario(good, "demo.txt", cmds, error)) << error;
    ASSERT_EQ(cmds.size(), 4u);
    EXPECT_EQ(cmds[0].line, 2);
    EXPECT_EQ(cmds[1].line, 4);
    EXPECT_EQ(cmds[1].text, "press X");
    EXPECT_EQ(cmds[2].line, 5);
    EXPECT_EQ(cmds[3].kind, CommandKind::Quit);

    std::istringstream bad("tick\n\n# fine so far\npress NOKEY\njump\n");
    EXPECT_FALSE(parseScenario(bad, "bad.txt", cmds, error));
    EXPECT_EQ(error, "bad.txt:4: unknown key 'NOKEY'");
    EXPECT_TRUE(cmds.empty());

    std::string binary("tick\n\x01\x02\xff\xfe\n", 11);
    std::istringstream junk(binary);
    EXPECT_FALSE(parseScenario(junk, "junk", cmds, error));
    EXPECT_EQ(error, "junk:2: unknown command '??\xff\xfe'");
}

// ---- running commands without a plug-in -----------------------------------

std::vector<Command> parseText(const std::string& text) {
    std::istringstream in(text);
    std::vector<Command> cmds;
    std::string error;
    EXPECT_TRUE(parseScenario(in, "t", cmds, error)) << error;
    return cmds;
}

TEST(ScenarioRun, WaitTicksUntilTheTimeHasPassed) {
    Host host(hostOptions(1, 20, false));
    host.runScenario(parseText("wait 1000\n"));
    EXPECT_EQ(host.world().gameTime(), 1000u);
    EXPECT_EQ(host.world().tickNumber(), 50u);
    host.runScenario(parseText("wait 30\nwait 0\ntick 0\n"));  // 30 ms needs two ticks
    EXPECT_EQ(host.world().tickNumber(), 52u);
    host.runScenario(parseText("tick\ntick 3\n"));
    EXPECT_EQ(host.world().tickNumber(), 56u);
    EXPECT_EQ(host.world().gameTime(), 56u * 20u);
}

TEST(ScenarioRun, WorldAndKeyCommands) {
    Host host;
    auto& w = host.world();
    host.runScenario(parseText("vehicle 9\ncontrol off\nfading on\ncutscene start\nrandom 4\nhold F10\npress X\n"));
    EXPECT_TRUE(w.inVehicle());
    EXPECT_EQ(w.vehicle(), 9);
    EXPECT_FALSE(w.control());
    EXPECT_TRUE(w.fading());
    EXPECT_TRUE(w.cutsceneRunning());
    EXPECT_EQ(w.forcedRandom(), 4);
    EXPECT_TRUE(host.keyboard().held(0x79));
    EXPECT_TRUE(host.keyboard().held('X'));

    host.runScenario(parseText("retune\ntick\n"));
    EXPECT_FALSE(host.keyboard().held('X'));  // a press lasts one tick
    EXPECT_TRUE(host.keyboard().pending('X'));  // nobody asked for it
    EXPECT_TRUE(host.keyboard().held(0x79));

    host.runScenario(parseText("foot\ncontrol on\nfading off\ncutscene end\nrelease F10\n"));
    EXPECT_FALSE(w.inVehicle());
    EXPECT_TRUE(w.control());
    EXPECT_FALSE(w.fading());
    EXPECT_TRUE(w.cutsceneFinished());
    EXPECT_FALSE(host.keyboard().held(0x79));
}

TEST(ScenarioRun, QuitEndsTheScenarioAndCommandsAreEchoed) {
    Host host;
    std::vector<std::string> lines;
    host.transcript().setLineSink([&](const std::string& l) { lines.push_back(l); });
    host.runScenario(parseText("tick 2\nquit\ntick 5\n"));
    EXPECT_EQ(host.world().tickNumber(), 2u);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "0 0 scenario tick 2");
    EXPECT_EQ(lines[1], "40 2 scenario quit");
}

// The scripted devices: of the song device's rules that match a command,
// the one written last alone decides its answer ("code reply"), and only
// that one is used up; a stream tag set empty is there, an untagged one not.
TEST(ScenarioRun, ScriptedDevicesFollowTheLinesInTheOrderWritten) {
    const std::pair<const char*, std::vector<std::string>> cases[] = {
        {"", {"status song length=0 0", "setaudio song volume to 300=0 ", "status song volume=0 300"}},
        {"mci fail play * = 277\nmci reply play song = ok\n", {"play song=0 ok", "play song from 0=277 "}},
        {"mci reply status song length = 5\nmci fail STATUS SONG * = 263\n", {"status song length=263 "}},
        {"mci once-reply status song length = 5\nmci once-fail status song length = 263\n",
         {"status song length=263 ", "status song length=0 5", "status song length=0 0"}},
        {"mci unplayable /s/a.mp3\n", {"open /s/a.mp3 alias Song=0 ", "play song=296 ", "open b alias Song=0 ", "play song=0 "}},
        {"mci unplayable /s/a.mp3\nmci reply play song = fine\n", {"open /s/a.mp3 alias Song=0 ", "play song=0 fine"}},
        {"mci fail * = 263\nmci clear\n", {"play song=0 "}},
    };
    HostOptions options;
    options.mci = options.stream = kestro::host::DeviceChoice::Scripted;
    for (const auto& [rules, answers] : cases) {
        Host host(options);
        host.runScenario(parseText(rules));
        for (const std::string& a : answers) {
            char reply[64] = "junk";
            const unsigned code = kestro::platform::mciSendString(a.substr(0, a.find('=')).c_str(), reply, sizeof reply);
            EXPECT_EQ(std::to_string(code) + " " + reply, a.substr(a.find('=') + 1)) << rules << a;
        }
    }
    Host host(options);
    std::string value = "old";
    host.runScenario(parseText("stream tag Author =\n"));
    EXPECT_TRUE(kestro::platform::streamPlayer().attribute("Author", value) && value.empty());
    host.runScenario(parseText("stream untag Author\n"));
    EXPECT_FALSE(kestro::platform::streamPlayer().attribute("Author", value));
}

// ---- a test plug-in ---------------------------------------------------------

class TempDir {
public:
    TempDir() {
        std::string templ = (fs::temp_directory_path() / "kestro-host-test-XXXXXX").string();
        std::vector<char> buf(templ.begin(), templ.end());
        buf.push_back('\0');
        if (mkdtemp(buf.data())) path_ = buf.data();
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) fs::remove_all(path_, ec);
    }
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::vector<std::string> readLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}

bool contains(const std::vector<std::string>& lines, const std::string& line) {
    for (const auto& l : lines)
        if (l == line) return true;
    return false;
}

std::size_t indexOf(const std::vector<std::string>& lines, const std::string& line) {
    for (std::size_t i = 0; i < lines.size(); ++i)
        if (lines[i] == line) return i;
    return lines.size();
}

// The two test plug-ins (tests/tools/TestPlugin.cpp), built with this
// program.
const std::string kTestPlugin = KESTRO_TEST_PLUGIN_PATH;
const std::string kRefusingPlugin = KESTRO_REFUSING_PLUGIN_PATH;

TEST(HostLoader, LoadRunsStaticInitThenAttachAndUnloadRunsTheThreadDestructor) {
    Host host;
    std::vector<std::string> lines;
    host.transcript().setLineSink([&](const std::string& l) { lines.push_back(l); });
    std::string error;
    ASSERT_TRUE(host.loadPlugin(kTestPlugin, error)) << error;
    ASSERT_EQ(scripthook::registeredThreads().size(), 1u);
    EXPECT_STREQ(scripthook::registeredThreads()[0]->Name(), "TestKestro");

    const std::vector<std::string> start = {
        "0 0 load " + kTestPlugin, "0 0 log static init", "0 0 log DllMain 1",
        "0 0 thread TestKestro", "0 0 dllmain 1 1"};
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + std::min(lines.size(), start.size())), start);

    // Thread attach and detach change nothing and report success.
    EXPECT_EQ(host.loader().callEntry(kestro::host::kThreadAttach), 1);
    EXPECT_EQ(host.loader().callEntry(kestro::host::kThreadDetach), 1);
    EXPECT_EQ(scripthook::registeredThreads().size(), 1u);

    host.tick();
    lines.clear();
    host.unloadPlugin();
    EXPECT_FALSE(host.loader().loaded());
    EXPECT_TRUE(scripthook::registeredThreads().empty());
    const std::vector<std::string> end = {"20 1 log DllMain 0", "20 1 dllmain 0 1", "20 1 log thread destroyed",
                                          "20 1 unload"};
    EXPECT_EQ(lines, end);
    host.tick();  // nothing left to tick
}

TEST(HostLoader, RefusedAttachIsDetachedAndUnloaded) {
    Host host;
    std::vector<std::string> lines;
    host.transcript().setLineSink([&](const std::string& l) { lines.push_back(l); });
    std::string error;
    EXPECT_FALSE(host.loadPlugin(kRefusingPlugin, error));
    EXPECT_NE(error.find("refused"), std::string::npos);
    EXPECT_FALSE(host.loader().loaded());
    EXPECT_TRUE(scripthook::registeredThreads().empty());
    // Every step of the refused load is in the transcript, in order.
    const std::vector<std::string> expected = {
        "0 0 load " + kRefusingPlugin,
        "0 0 log static init",
        "0 0 log DllMain 1",
        "0 0 dllmain 1 0",
        "0 0 log DllMain 0",
        "0 0 dllmain 0 1",
        "0 0 log thread destroyed",
        "0 0 unload",
        "0 0 load-error " + error,
    };
    EXPECT_EQ(lines, expected);
}

TEST(HostLoader, MissingLibraryOrEntryIsAnError) {
    kestro::host::PluginLoader loader;
    std::string error;
    EXPECT_FALSE(loader.load("/nonexistent/libnothing.so", error));
    EXPECT_NE(error.find("cannot load"), std::string::npos);
    // A library without DllMain: the script hook itself.
    const std::string hook = (fs::path(KESTRO_PLUGIN_PATH).parent_path() / "libscripthook.so").string();
    EXPECT_FALSE(loader.load(hook, error));
    EXPECT_NE(error.find("no DllMain"), std::string::npos);
    EXPECT_FALSE(loader.loaded());
    EXPECT_EQ(loader.callEntry(kestro::host::kThreadAttach), 0);
    EXPECT_EQ(loader.unload(), 0);
}

TEST(HostLoader, ScenarioDrivesThePluginThroughKeysAndWorld) {
    Host host(hostOptions(1, 20, true));
    std::vector<std::string> lines;
    host.transcript().setLineSink([&](const std::string& l) { lines.push_back(l); });
    std::string error;
    ASSERT_TRUE(host.loadPlugin(kTestPlugin, error)) << error;
    host.runScenario(parseText("tick 2\npress X\ntick\nretune\ncutscene start\ntick\nhold F10\nrandom 3\npress R\n"
                               "tick 2\nrelease F10\ntick\n"));
    EXPECT_TRUE(contains(lines, "60 3 key X 0x8001"));
    EXPECT_TRUE(contains(lines, "60 3 log X pressed at 60"));
    EXPECT_TRUE(contains(lines, "60 3 message 5000 X pressed"));
    EXPECT_TRUE(contains(lines, "80 4 log cutscene begins"));
    EXPECT_TRUE(contains(lines, "80 4 radio RETUNE_RADIO_TO_STATION_NAME OFF station=OFF frontend=on phone=off gameplay=off"));
    EXPECT_TRUE(contains(lines, "100 5 draw 0.5 0.5 scale=0.5,0.5 shadow=- held"));
    EXPECT_TRUE(contains(lines, "120 6 draw 0.5 0.5 scale=0.5,0.5 shadow=- held"));
    EXPECT_TRUE(contains(lines, "100 5 random 0 3 3"));
    EXPECT_FALSE(contains(lines, "140 7 draw 0.5 0.5 scale=0.5,0.5 shadow=- held"));
    // The unknown native is logged once although every tick calls it.
    int unknown = 0;
    for (const auto& l : lines) unknown += l.find("log unknown native 0x01020304") != std::string::npos;
    EXPECT_EQ(unknown, 1);
    host.unloadPlugin();
}

// The back ends' lines come as "diag" lines at the start of the next tick,
// in the order they came, before that tick's own lines; those after the last
// tick come before the detach's line and the unload's, never after it. The
// log file marks them.
TEST(HostLoader, BackEndLinesHaveTheirOwnKindAndPlace) {
    TempDir dir;
    HostOptions options;
    options.logFile = dir.file("ScriptHook.log");
    std::vector<std::string> lines;
    {
        Host host(options);
        host.transcript().setLineSink([&](const std::string& l) { lines.push_back(l); });
        std::string error;
        ASSERT_TRUE(host.loadPlugin(kTestPlugin, error)) << error;
        host.runScenario(parseText("tick\npress D\ntick\npress X\ntick\n"));
        host.unloadPlugin();
    }
    const std::vector<std::string> expected = {
        "40 2 key D 0x8001", "40 2 log plug-in at 40", "40 2 scenario press X", "40 2 scenario tick",
        "60 3 diag back end at 40", "60 3 diag back-end thread at 40", "60 3 key X 0x8001", "60 3 log X pressed at 60",
        "60 3 message 5000 X pressed", "60 3 log DllMain 0", "60 3 diag back end at detach", "60 3 dllmain 0 1",
        "60 3 log thread destroyed", "60 3 diag back end at static destruction", "60 3 unload"};
    EXPECT_EQ(std::vector<std::string>(std::find(lines.begin(), lines.end(), expected[0]), lines.end()), expected);
    const std::vector<std::string> logTail = {"[platform] back end at 40", "[platform] back-end thread at 40",
                                              "X pressed at 60", "DllMain 0", "[platform] back end at detach",
                                              "thread destroyed", "[platform] back end at static destruction"};
    const auto log = readLines(dir.file("ScriptHook.log"));
    ASSERT_GE(log.size(), logTail.size());
    EXPECT_EQ(std::vector<std::string>(log.end() - static_cast<long>(logTail.size()), log.end()), logTail);
}

// ---- the program -------------------------------------------------------------

struct RunResult {
    int status = -1;
    std::string err;
};

RunResult runHost(const TempDir& dir, const std::string& args) {
    std::string cmd = "'" KESTRO_HOST_PATH "' " + args + " >'" + dir.file("stdout.txt") + "' 2>'" +
                      dir.file("stderr.txt") + "'";
    int raw = std::system(cmd.c_str());
    RunResult r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    std::ifstream e(dir.file("stderr.txt"));
    std::stringstream ss;
    ss << e.rdbuf();
    r.err = ss.str();
    return r;
}

TEST(HostProgram, RunsAScenarioWithTranscriptAndLogFile) {
    TempDir dir;
    fs::create_directory(dir.file("game"));
    writeFile(dir.file("s.txt"), "# press the start key once\ntick 2\npress X\nwait 40\nquit\ntick 100\n");
    RunResult r = runHost(dir, "--game-dir '" + dir.file("game") + "' --scenario '" + dir.file("s.txt") +
                                   "' --transcript '" + dir.file("t.txt") + "' --plugin '" + kTestPlugin + "'");
    ASSERT_EQ(r.status, 0) << r.err;
    auto t = readLines(dir.file("t.txt"));
    EXPECT_EQ(t.front(), "0 0 load " + kTestPlugin);
    EXPECT_TRUE(contains(t, "0 0 thread TestKestro"));
    EXPECT_TRUE(contains(t, "60 3 log X pressed at 60"));
    EXPECT_TRUE(contains(t, "80 4 scenario quit"));
    EXPECT_EQ(t.back(), "80 4 unload");
    EXPECT_LT(indexOf(t, "80 4 dllmain 0 1"), indexOf(t, "80 4 log thread destroyed"));
    for (const auto& l : t) EXPECT_EQ(l.find("draw"), std::string::npos) << "no draw lines without --trace-draw";

    // Every Log::Info line also went to the log file in the game folder.
    // The session line comes first: when, which version, which game folder.
    auto log = readLines(dir.file("game/ScriptHook.log"));
    ASSERT_GE(log.size(), 2u);
    EXPECT_TRUE(std::regex_match(log.front(), std::regex(R"(\[session\] \d{4}-\d\d-\d\d \d\d:\d\d:\d\d [+-]\d{4} )"
                                                         R"(kestro-host \d+\.\d+\.\d+, game folder .*)")))
        << log.front();
    EXPECT_NE(log.front().find(dir.file("game")), std::string::npos);
    EXPECT_EQ(log[1], "static init");
    EXPECT_TRUE(contains(log, "X pressed at 60"));
    EXPECT_EQ(log.back(), "thread destroyed");
    // Nothing on standard output when a transcript file is given.
    EXPECT_TRUE(readLines(dir.file("stdout.txt")).empty());
}

TEST(HostProgram, TranscriptGoesToStandardOutputAndOptionsApply) {
    TempDir dir;
    writeFile(dir.file("s.txt"), "hold F10\ntick 2\n");
    RunResult r = runHost(dir, "--game-dir='" + dir.path() + "' --scenario '" + dir.file("s.txt") +
                                   "' --tick-ms 50 --seed 3 --trace-draw --plugin '" + kTestPlugin + "'");
    ASSERT_EQ(r.status, 0) << r.err;
    auto out = readLines(dir.file("stdout.txt"));
    EXPECT_TRUE(contains(out, "100 2 draw 0.5 0.5 scale=0.5,0.5 shadow=- held"));
    EXPECT_TRUE(contains(out, "100 2 unload"));
}

TEST(HostProgram, BadInputIsReportedWithExitStatus) {
    TempDir dir;
    writeFile(dir.file("bad.txt"), "tick\n\npress X\njump 3\n");
    writeFile(dir.file("ok.txt"), "tick\n");
    const std::string plugin = " --plugin '" + kTestPlugin + "'";

    RunResult r = runHost(dir, "--game-dir '" + dir.path() + "' --scenario '" + dir.file("bad.txt") + "'" + plugin);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("bad.txt:4: unknown command 'jump'"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir.file("ScriptHook.log")));  // nothing was loaded

    r = runHost(dir, "--game-dir '" + dir.path() + "' --scenario '" + dir.file("missing.txt") + "'" + plugin);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot read scenario"), std::string::npos);

    r = runHost(dir, "--scenario '" + dir.file("ok.txt") + "'" + plugin);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("--game-dir is required"), std::string::npos);

    r = runHost(dir, "--game-dir '" + dir.file("nowhere") + "' --scenario '" + dir.file("ok.txt") + "'" + plugin);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("cannot enter game folder"), std::string::npos);

    // The options: the C library's parser says what is wrong with a name,
    // the host what is wrong with a value; abbreviations, "--" and the game
    // folder as the one bare argument work.
    const std::string ok = " --scenario '" + dir.file("ok.txt") + "'" + plugin;
    const std::string game = " --game-dir '" + dir.path() + "'";
    const std::vector<std::tuple<std::string, int, std::string>> options = {
        {game + ok + " --tick-ms 0", 2, "kestro-host: --tick-ms needs a number from 1 to 60000\n"},
        {game + ok + " --tick-ms 60001", 2, "--tick-ms needs a number"},
        {game + ok + " --tick-ms x", 2, "--tick-ms needs a number"},
        {game + ok + " --seed -1", 2, "--seed needs a whole number"},
        {game + ok + " --seed", 2, "kestro-host: option '--seed' requires an argument\n"},
        {game + ok + " --frobnicate", 2, "kestro-host: unrecognized option '--frobnicate'\n"},
        {game + ok + " --s 3", 2, "option '--s' is ambiguous; possibilities:"},
        {game + ok + " --realtime=yes", 2, "option '--realtime' doesn't allow an argument"},
        {game + ok + " -q", 2, "invalid option -- 'q'"},
        {game + ok + " --audio loud", 2, "--audio needs auto, null, pcm:FILE or pcm-realtime:FILE"},
        {game + ok + " '" + dir.path() + "'", 2, "unexpected argument '" + dir.path() + "'"},
        {ok + " a b", 2, "unexpected argument 'a'"},
        {" --tick 50 --game '" + dir.path() + "' --scen '" + dir.file("ok.txt") + "'" + plugin, 0, ""},
        {ok + " '" + dir.path() + "'", 0, ""},
        {ok + " -- '" + dir.path() + "'", 0, ""},
        // A music folder given as the game folder plays nothing: said.
        {ok + " '" + dir.file("music") + "'", 0, "No Songs folder in " + dir.file("music") + ", but music"},
    };
    fs::create_directories(dir.file("music/album"));
    writeFile(dir.file("music/album/01.MP3"), "");
    for (const auto& [args, status, says] : options) {
        r = runHost(dir, args);
        EXPECT_EQ(r.status, status) << args << "\n" << r.err;
        EXPECT_NE(r.err.find(says), std::string::npos) << args << "\n" << r.err;
        if (status != 0) {
            EXPECT_NE(r.err.find("Try 'kestro-host --help'"), std::string::npos) << r.err;
        }
    }
    // --version and --help answer on standard output, whatever else is given.
    r = runHost(dir, "--version --frobnicate=1");
    EXPECT_EQ(r.status, 2);
    r = runHost(dir, "--version");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(std::regex_match(readLines(dir.file("stdout.txt")).at(0),
                                 std::regex(R"(kestro-host \(Kestro\) \d+\.\d+\.\d+)")));
    r = runHost(dir, "--help");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(readLines(dir.file("stdout.txt")).at(0).rfind("usage: kestro-host [--game-dir] DIR", 0), 0u);

    r = runHost(dir, "--game-dir '" + dir.path() + "' --scenario '" + dir.file("ok.txt") + "' --plugin '" +
                         dir.file("nothing.so") + "'");
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("cannot load"), std::string::npos);

    r = runHost(dir, "--game-dir '" + dir.path() + "' --scenario '" + dir.file("ok.txt") + "' --plugin '" +
                         kRefusingPlugin + "'");
    EXPECT_EQ(r.status, 3);
}

// ---- the real plug-in ----------------------------------------------------------

TEST(HostRealPlugin, LoadsRegistersKestroAndUnloadsWithItsDestructor) {
    TempDir dir;
    struct CwdGuard {
        fs::path before = fs::current_path();
        ~CwdGuard() { fs::current_path(before); }
    } guard;
    fs::current_path(dir.path());  // the plug-in reads ./Kestro.ini while it loads
    {
        Host host;
        std::vector<std::string> lines;
        host.transcript().setLineSink([&](const std::string& l) { lines.push_back(l); });
        std::string error;
        ASSERT_TRUE(host.loadPlugin(KESTRO_PLUGIN_PATH, error)) << error;
        ASSERT_EQ(scripthook::registeredThreads().size(), 1u);
        EXPECT_STREQ(scripthook::registeredThreads()[0]->Name(), "Kestro");
        EXPECT_TRUE(contains(lines, "0 0 thread Kestro"));
        EXPECT_EQ(host.loader().callEntry(kestro::host::kThreadAttach), 1);
        EXPECT_EQ(host.loader().callEntry(kestro::host::kThreadDetach), 1);
        EXPECT_EQ(scripthook::registeredThreads().size(), 1u);
        for (int i = 0; i < 3; ++i) host.tick();
        bool stillMapped = true;
        EXPECT_EQ(host.loader().callEntry(kestro::host::kProcessDetach), 1);
        host.loader().unmap(&stillMapped);
        EXPECT_FALSE(stillMapped) << "the plug-in stayed mapped, so its static destruction did not run";
        EXPECT_TRUE(scripthook::registeredThreads().empty()) << "the thread's destructor did not run";
        scripthook::forgetThreads();
    }
}

TEST(HostRealPlugin, ProgramRunsTheDefaultPluginBesideIt) {
    ASSERT_EQ(fs::path(KESTRO_PLUGIN_PATH).parent_path(), fs::path(KESTRO_HOST_PATH).parent_path());
    TempDir dir;
    writeFile(dir.file("s.txt"), "tick 5\n");
    RunResult r = runHost(dir, "--game-dir '" + dir.path() + "' --scenario '" + dir.file("s.txt") + "' --transcript '" +
                                   dir.file("t.txt") + "'");
    ASSERT_EQ(r.status, 0) << r.err;
    auto t = readLines(dir.file("t.txt"));
    EXPECT_TRUE(contains(t, "0 0 thread Kestro"));
    EXPECT_TRUE(contains(t, "0 0 dllmain 1 1"));
    EXPECT_EQ(t.back(), "100 5 unload");
}

// Game time of the first transcript line whose event (the line after its
// time and tick) is `event`; -1 when none is.
long timeOf(const std::vector<std::string>& t, const std::string& event) {
    for (const std::string& l : t)
        if (std::size_t at = l.find(' ', l.find(' ') + 1); at != std::string::npos && l.substr(at + 1) == event)
            return std::atol(l.c_str());
    return -1;
}

long countLines(const std::vector<std::string>& t, const std::string& part) {
    return std::count_if(t.begin(), t.end(), [&](const std::string& l) { return l.find(part) != std::string::npos; });
}

// A song plays, the pause menu opens for 20 s of menu time: the song is
// paused once and resumed once, nothing else is opened, and it ends when
// what was left of it before the menu, less the two fades (the plug-in's
// timer runs while the front end fades), has played after the menu.
TEST(HostRealPlugin, ThePauseMenuStandsTheGameStill) {
    TempDir dir;
    fs::create_directories(dir.file("game/Songs"));
    writeFile(dir.file("game/Songs/a.wav"), "");
    writeFile(dir.file("game/Songs/b.wav"), "");
    writeFile(dir.file("s.txt"), "mci reply status song length = 10000\nvehicle 7\ntick\nrandom 0\npress X\ntick\n"
                                 "wait 3000\nmenu open\nwait 20000\ntick 5\nmenu close\nwait 9000\n");
    RunResult r = runHost(dir, "--game-dir '" + dir.file("game") + "' --scenario '" + dir.file("s.txt") +
                                   "' --transcript '" + dir.file("t.txt") + "' --mci scripted");
    ASSERT_EQ(r.status, 0) << r.err;
    const auto t = readLines(dir.file("t.txt"));
    const std::string song = " mci 0 open " + dir.file("game/Songs/");
    const long played = timeOf(t, song.substr(1) + "a.wav alias Song"), next = timeOf(t, song.substr(1) + "b.wav alias Song");
    const long fading = timeOf(t, "menu fading"), stood = timeOf(t, "menu open");
    const long closing = timeOf(t, "menu closing after 20100 ms"), closed = timeOf(t, "menu closed");
    const long resumed = timeOf(t, "mci 0 resume song");
    ASSERT_TRUE(played >= 0 && resumed >= 0 && next >= 0 && closing >= 0) << kestro::testing::readFile(dir.file("t.txt"));
    EXPECT_EQ(stood - fading, 500);
    EXPECT_EQ(closing, stood);  // no game time while the menu stands the game still
    EXPECT_EQ(closed - closing, 500);
    EXPECT_EQ(countLines(t, " mci 0 pause song"), 1);
    EXPECT_EQ(countLines(t, " mci 0 resume song"), 1);
    EXPECT_EQ(countLines(t, song), 2);
    EXPECT_NEAR(next - resumed, 10000 - (fading - played) - 1000, 20);
}

// A stream title holding terminal commands (ESC, BEL, a C1 CSI) reaches
// standard output only as text, in the scenario echo, the drawn panel and
// the screen.
TEST(HostRealPlugin, ControlBytesReachStandardOutputOnlyAsText) {
    TempDir dir;
    writeFile(dir.file("Kestro.ini"), "[Defaults]\nUrl=http://127.0.0.1:9/radio\n");
    writeFile(dir.file("s.txt"), "vehicle 7\ntick\npress T\ntick\n"
                                 "stream tag Title = \033]0;pwned\007 \033[2J \xC2\x9B \x9B\npress X\ntick 3\nscreen\n");
    RunResult r = runHost(dir, "--game-dir '" + dir.path() + "' --scenario '" + dir.file("s.txt") +
                                   "' --stream scripted --trace-draw");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string out = kestro::testing::readFile(dir.file("stdout.txt"));
    const std::string shown = "\\x1B]0;pwned\\x07 \\x1B[2J \\x9B \\x9B";
    for (const char* event : {" scenario stream tag Title = ", " screen Title:          ", " 0.75 0.08 scale="
                                     "0.22,0.22 shadow=0.3,0.22,0,0,1 "})
        EXPECT_NE(out.find(event + shown + "\n"), std::string::npos) << event << "\n" << out;
    // Everything else in this run is ASCII: so is the whole output.
    for (std::size_t i = 0; i < out.size(); ++i)
        ASSERT_TRUE(out[i] == '\n' || (out[i] >= 0x20 && out[i] < 0x7F)) << "byte " << i << " of\n" << out;
}

}  // namespace
