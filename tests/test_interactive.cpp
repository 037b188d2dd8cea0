// The interactive mode of kestro-host: its key map, the layout of the game
// screen on a terminal grid, the status lines, and the real host driven in a
// tmux pane (panel, messages, world controls, resizes, and the terminal
// given back on quit, Ctrl+C, signals and a plug-in that does not load).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TestUtil.h"
#include "host/GameFolder.h"
#include "host/GameWorld.h"
#include "host/TerminalKeys.h"
#include "host/TerminalLayout.h"
#include "plugin/PlayerState.h"
#include "settings/Settings.h"

using namespace kestro::host;
using kestro::testing::readFile;
using kestro::testing::TempDir;
namespace fs = std::filesystem;

namespace {

using K = TerminalKey::Kind;
using A = KeyAction::Kind;
TerminalKey ch(char c) { return TerminalKey::ch(static_cast<unsigned char>(c)); }
TerminalKey key(K kind, int value = 0) { return {kind, value}; }
TerminalKey fn(int n) { return TerminalKey::fn(n); }
KeyAction press(int vk) { return KeyAction::press(vk); }
KeyAction act(A kind) { return KeyAction::of(kind); }
const KeyAction none = KeyAction::none();

KeyConfig customKeys() {
    KeyConfig c;
    c.pause = 0x50;     // P
    c.stop = 0x65;      // numeric keypad 5
    c.volumeUp = 0x4B;  // K
    c.display = 0x70;   // F1: only reachable by its code
    c.enableUrl = 300;  // no key has this code
    return c;
}

TEST(InteractiveKeys, EveryTerminalKeyHasItsAction) {
    struct Case {
        const char* what;
        KeyConfig config;
        std::vector<TerminalKey> keys;
        std::vector<KeyAction> actions;  // one per key
    };
    const KeyConfig def;
    const std::vector<Case> cases = {
        {"letters in either case and digits press their own code", def,
         {ch('x'), ch('X'), ch('u'), ch('z'), ch('A'), ch('0'), ch('9')},
         {press(0x58), press(0x58), press(0x55), press(0x5A), press(0x41), press(0x30), press(0x39)}},
        {"stand-ins press the default codes", def,
         {ch(' '), key(K::Backspace), key(K::Delete), ch('['), ch(']'), key(K::Left), key(K::Right), ch('+'),
          ch('='), key(K::Up), ch('-'), key(K::Down)},
         {press(0xB3), press(0xB2), press(0xB2), press(0xB1), press(0xB0), press(0x61), press(0x63), press(0x69),
          press(0x69), press(0x69), press(0x67), press(0x67)}},
        {"stand-ins press the codes Kestro.ini set", customKeys(),
         {ch(' '), ch('p'), key(K::Backspace), ch('+'), key(K::Up), ch('k'), ch(']')},
         {press(0x50), press(0x50), press(0x65), press(0x4B), press(0x4B), press(0x4B), press(0xB0)}},
        {"host and world keys", def,
         {fn(1), ch('?'), fn(2), fn(3), fn(4), fn(5), fn(6), fn(7), fn(10), ch('*'), fn(12), key(K::Control, 3)},
         {act(A::Help), act(A::Help), act(A::ToggleVehicle), act(A::NextVehicle), act(A::ToggleMenu),
          act(A::ToggleCutscene), act(A::Retune), act(A::ToggleControl), act(A::Catalogue), act(A::Catalogue),
          act(A::Quit), act(A::Quit)}},
        {"keys that do nothing", def,
         {fn(8), fn(9), fn(11), key(K::Tab), key(K::Enter), key(K::Escape), key(K::Other), ch('!'),
          key(K::Control, 1), key(K::Control, 26)},
         {none, none, none, none, none, none, none, none, none, none}},
        {"a code entry presses any code", def,
         {ch('#'), ch('b'), ch('3'), ch('#'), ch('7'), ch('0'), ch('#'), ch('F'), ch('f'), ch('#'), ch('0'), ch('0')},
         {none, none, press(0xB3), none, none, press(0x70), none, none, press(0xFF), none, none, none}},
        {"a wrong key ends the entry unused; backspace takes a digit back", def,
         {ch('#'), ch('4'), ch('x'), ch('x'), ch('#'), key(K::Escape), ch('1'), ch('#'), ch('1'), key(K::Backspace),
          ch('4'), ch('1'), key(K::Backspace)},
         {none, none, none, press(0x58), none, none, press(0x31), none, none, none, none, press(0x41), press(0xB2)}},
        {"quit works in the middle of an entry", def, {ch('#'), ch('A'), fn(12)}, {none, none, act(A::Quit)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(c.keys.size(), c.actions.size());
        KeyMapper mapper(c.config);
        for (std::size_t i = 0; i < c.keys.size(); ++i) EXPECT_EQ(mapper.map(c.keys[i]), c.actions[i]) << "key " << i;
    }
}

TEST(InteractiveKeys, HelpNamesTheKeysThePluginRead) {
    KeyConfig letters;
    letters.display = 0x44;  // D
    letters.random = 0x39;   // 9
    for (const auto& [config, shown] : std::vector<std::pair<KeyConfig, std::vector<std::string>>>{
             {KeyConfig{}, {"x start", "u panel", "r random", "t url"}},
             {letters, {"d panel", "9 random", "t url"}},
             {customKeys(), {"#70 panel", "(none) url", "r random"}}}) {
        const std::string line = keyHelpLine(config);
        for (const std::string& s : shown) EXPECT_NE(line.find(s), std::string::npos) << s << " in " << line;
        EXPECT_LT(line.find("F12 quit"), 80u);  // help and quit within 80 columns
        EXPECT_LT(line.find("F1 keys"), 80u);
    }
    EXPECT_EQ(keyTable(customKeys())[2].what + " " + keyTable(customKeys())[2].acts, "stop NUMPAD5");
    // A dead code is "(none)" wherever a key would be named.
    KeyConfig dead;
    dead.pause = 0;
    dead.previous = -5;
    dead.volumeDown = 256;
    const std::string line = keyHelpLine(dead);
    for (const char* s : {"(none) pause", "(none) prev  ] next", "+ vol+  (none) vol-", "Left/Right seek"})
        EXPECT_NE(line.find(s), std::string::npos) << s << " in " << line;
    EXPECT_EQ(line.find("space"), std::string::npos) << line;
    EXPECT_EQ(keyTable(dead)[1].keys + "|" + keyTable(dead)[1].acts, "(none)|(none)");
}

// The host reads Kestro.ini as the plug-in does, and names each key setting
// that cannot work as meant with its line.
TEST(InteractiveKeys, KeySettingsThatCannotWorkAreNamedWithTheirLine) {
    struct Case {
        const char* ini;
        std::vector<std::string> problems;  // each problem line starts with one of these, in order
    };
    const std::vector<Case> cases = {
        {"", {}},
        {"[Defaults]\nPauseKey=' 0x50 '\nVolume=abc\n", {}},  // a good key; not a key setting
        {"; keys\n[Defaults]\nPauseKey=P\nEnableUrl=1\n",
         {"PauseKey=P (line 3): not a number: reads as 0, no key; write 80 for P",
          "EnableUrl=1 (line 4): code 1 is the left mouse button, not a key; default 84 (T)"}},
        {"[defaults]\r\nFforwardKey = '12abc'\r\nStopKey=0x58\r\nNextKey=300\r\nRandomKey=-3\r\n",
         {"FforwardKey=12abc (line 2): reads as 12 (the rest is ignored)",
          "StopKey=0x58 (line 3): code 0x58 (X) is the start key too",
          "NextKey=300 (line 4): code 300 is no key (keys are 1-255); default 176 (MEDIA_NEXT_TRACK)",
          "RandomKey=-3 (line 5): code -3 is no key"}},
        // Shared codes: both settings are named, the one left at its
        // default after those in the file; the catalogue keys count.
        {"[Defaults]\nDisplayKey=0x52\nVolumeUpKey=121\nVolumeDownKey=163\n",
         {"DisplayKey=0x52 (line 2): code 0x52 (R) is RandomKey's too",
          "VolumeUpKey=121 (line 3): code 0x79 (F10) is the catalogue key too",
          "VolumeDownKey=163 (line 4): code 0xA3 (RCONTROL) is the catalogue's modifier too",
          "RandomKey (default 82): code 0x52 (R) is DisplayKey's too"}},
        // Only the first [Defaults] counts, an empty value is the default.
        {"[Defaults]\nPauseKey=\n[Defaults]\nStopKey=0\n", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ini);
        TempDir dir;
        kestro::testing::ScopedCwd cwd(dir.path());
        if (*c.ini) kestro::testing::writeFile(dir / "Kestro.ini", c.ini);
        const KeySettingsReport report = checkKeySettings(GameSettings());
        ASSERT_EQ(report.problems.size(), c.problems.size()) << ::testing::PrintToString(report.problems);
        for (std::size_t i = 0; i < c.problems.size(); ++i)
            EXPECT_EQ(report.problems[i].rfind(c.problems[i], 0), 0u) << report.problems[i];
        // The codes are those the plug-in reads from the same file.
        kestro::resetPlayerState();
        kestro::readLoadTimeSettings();
        const KeyConfig plugin = keyConfigFrom(kestro::playerState);
        EXPECT_EQ(std::tie(report.keys.pause, report.keys.display, report.keys.previous, report.keys.next,
                           report.keys.forward, report.keys.rewind, report.keys.stop, report.keys.random,
                           report.keys.volumeUp, report.keys.volumeDown, report.keys.enableUrl),
                  std::tie(plugin.pause, plugin.display, plugin.previous, plugin.next, plugin.forward, plugin.rewind,
                           plugin.stop, plugin.random, plugin.volumeUp, plugin.volumeDown, plugin.enableUrl));
    }
    kestro::resetPlayerState();
}

// ---- the layout ------------------------------------------------------------

DrawnText text(float x, float y, std::string s) {
    DrawnText t;
    t.x = x;
    t.y = y;
    t.text = std::move(s);
    return t;
}

// The frame the plug-in draws for a song with all its tags and random on.
std::vector<DrawnText> panelFrame(const std::string& title = "Tone 1") {
    const float ys[] = {0.04f, 0.06f, 0.08f, 0.1f, 0.12f, 0.14f, 0.16f, 0.18f};
    const char* labels[] = {"Time Played:", "Artist:", "Title:", "Album:", "Year:", "Time Remaining:", "Volume:",
                            "Random On"};
    const std::string values[] = {"00:01:02", "Kestro Test", title, "Sines", "2024", "00:03:04", "500", ""};
    std::vector<DrawnText> frame;
    for (int i = 0; i < 8; ++i) {
        frame.push_back(text(0.63f, ys[i], labels[i]));
        if (!values[i].empty()) frame.push_back(text(0.75f, ys[i], values[i]));
    }
    return frame;
}

std::string narrow(const std::wstring& w) { return std::string(w.begin(), w.end()); }
std::string at(const PlacedText& p) { return std::to_string(p.row) + "," + std::to_string(p.col); }

const PlacedText* find(const std::vector<PlacedText>& placed, const std::string& start) {
    for (const PlacedText& p : placed)
        if (narrow(p.text).rfind(start, 0) == 0) return &p;
    return nullptr;
}

// The rule every layout keeps: inside the area, no overlaps, a text drawn
// higher on a higher line, on one line a text drawn further left further
// left. (The frame's texts are unique: a placed text names its source.)
void expectSoundLayout(const std::vector<DrawnText>& frame, const std::vector<PlacedText>& placed, int rows,
                       int cols) {
    auto source = [&](const PlacedText& p) {
        return *std::find_if(frame.begin(), frame.end(),
                             [&](const DrawnText& d) { return d.text.rfind(narrow(p.text), 0) == 0; });
    };
    for (const PlacedText& a : placed) {
        const int aEnd = a.col + displayWidth(a.text);
        EXPECT_TRUE(a.row >= 0 && a.row < rows && a.col >= 0 && aEnd <= cols) << narrow(a.text);
        for (const PlacedText& b : placed) {
            const DrawnText da = source(a), db = source(b);
            EXPECT_TRUE(da.y >= db.y || a.row < b.row) << da.text << " above " << db.text;
            EXPECT_TRUE(da.y != db.y || da.x >= db.x || aEnd <= b.col) << da.text << " left of " << db.text;
        }
    }
}

TEST(InteractiveLayout, PanelKeepsItsRowsAndColumnsApartAtEverySize) {
    struct Case {
        int rows, cols;
        std::string title;
        std::string labelAt;  // "row,col" of "Time Played:"
        int lines;            // lines the panel takes
        bool whole;           // every text complete
    };
    const std::string longTitle(30, 'T');
    const std::vector<Case> cases = {
        {19, 80, "Tone 1", "0,50", 8, true},     // at 0.63 of 80 columns
        {100, 200, "Tone 1", "4,126", 8, true},  // tall: rows at their own heights
        {8, 31, "Tone 1", "0,4", 8, true},          {19, 80, longTitle, "0,34", 8, true},  // moved left, whole
        {19, 40, longTitle, "0,0", 8, false},    {19, 80, std::string(500, 'H'), "0,0", 8, false},
        {3, 20, "Tone 1", "0,0", 3, false},      {1, 1, "Tone 1", "0,0", 1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.rows) + "x" + std::to_string(c.cols) + " title " + c.title.substr(0, 8));
        const auto frame = panelFrame(c.title);
        const auto placed = layoutFrame(frame, c.rows, c.cols);
        expectSoundLayout(frame, placed, c.rows, c.cols);
        std::vector<int> rows;
        for (const PlacedText& p : placed) rows.push_back(p.row);
        std::sort(rows.begin(), rows.end());
        EXPECT_EQ(std::unique(rows.begin(), rows.end()) - rows.begin(), c.lines);
        const PlacedText* label = find(placed, "T");  // the top row is kept first
        ASSERT_NE(label, nullptr);
        EXPECT_EQ(at(*label), c.labelAt);
        const auto whole = std::count_if(placed.begin(), placed.end(), [&](const PlacedText& p) {
            return std::any_of(frame.begin(), frame.end(), [&](const DrawnText& d) { return d.text == narrow(p.text); });
        });
        EXPECT_EQ(whole == static_cast<long>(frame.size()), c.whole);
        if (c.whole) {
            // Values line up in one column, clear of the longest label.
            EXPECT_EQ(find(placed, "500")->col, find(placed, "00:01:02")->col);
            EXPECT_GT(find(placed, "500")->col, find(placed, "Time Remaining:")->col + 15);
            EXPECT_EQ(find(placed, "Random On")->row, c.rows >= 100 ? 18 : 7);
        }
    }
    // Texts outside the screen are not shown; one at x = y = 1 moves in.
    const std::vector<DrawnText> edges = {text(-0.01f, 0.5f, "left"), text(1.01f, 0.5f, "right"),
                                          text(0.5f, -0.2f, "above"), text(0.5f, 1.5f, "below"),
                                          text(NAN, 0.5f, "nan"),     text(0.5f, INFINITY, "inf"),
                                          text(0.0f, 0.0f, "corner"), text(1.0f, 1.0f, "far")};
    const auto placed = layoutFrame(edges, 10, 40);
    ASSERT_EQ(placed.size(), 2u);
    EXPECT_EQ(narrow(placed[0].text) + "@" + at(placed[0]), "corner@0,0");
    EXPECT_EQ(narrow(placed[1].text) + "@" + at(placed[1]), "far@9,37");
    EXPECT_TRUE(layoutFrame(edges, 0, 40).empty());
}

TEST(InteractiveLayout, TextsAreShownAsTheTerminalCanShowThem) {
    // UTF-8 conversions as on a UTF-8 terminal, for this thread only.
    locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    if (utf8 == nullptr) GTEST_SKIP() << "no C.UTF-8 locale on this machine";
    locale_t old = uselocale(utf8);
    const std::vector<std::tuple<std::string, std::wstring, int>> cases = {
        {"Café", L"Café", 4},           {"日本", L"日本", 4},      {"a\nb\tc\x7f", L"a b c ", 6},
        {"bad \xff\xfe end", L"bad ?? end", 10}, {"cut \xe6\x97", L"cut ??", 6}, {"", L"", 0},
    };
    for (const auto& [in, shown, width] : cases) {
        EXPECT_EQ(displayText(in), shown) << in;
        EXPECT_EQ(displayWidth(displayText(in)), width) << in;
    }
    EXPECT_EQ(cutToWidth(L"日本語", 5), L"日本");  // never half a double-width character
    EXPECT_EQ(cutToWidth(L"日本語", 1), L"");
    // Notices wrap at spaces; a word wider than the line is broken.
    const std::vector<std::tuple<std::wstring, int, std::vector<std::wstring>>> wraps = {
        {L"one two three", 7, {L"one two", L"three"}}, {L"abcdefghij", 4, {L"abcd", L"efgh", L"ij"}},
        {L"日本 語", 3, {L"日", L"本", L"語"}},        {L"a b", 0, {}},
        {L"exact fit", 9, {L"exact fit"}},             {L"", 5, {}}};
    for (const auto& [text, width, lines] : wraps) EXPECT_EQ(wrapToWidth(text, width), lines) << narrow(text);
    // The message is centred on the last row, by columns, and cut.
    const std::vector<std::tuple<std::string, int, int, int, std::size_t>> messages = {
        {"Song List Created", 19, 80, (80 - 17) / 2, 17}, {"日本", 5, 10, 3, 2}, {std::string(100, 'm'), 5, 10, 0, 10}};
    for (const auto& [message, rows, cols, col, length] : messages) {
        const PlacedText m = placeMessage(message, rows, cols);
        EXPECT_EQ(m.row, rows - 1);
        EXPECT_EQ(m.col, col);
        EXPECT_EQ(m.text.size(), length);
    }
    uselocale(old);
    freelocale(utf8);
}

TEST(InteractiveStatus, PlayerLineFollowsThePluginsState) {
    auto state = std::make_unique<kestro::PlayerState>();
    kestro::PlayerState& s = *state;
    s.volume = 500;
    s.displayOn = 1;
    EXPECT_EQ(playerStatus(&s), "Player: idle | volume 500 | random off | panel on | url off");
    s.songActive = s.paused = s.urlEnabled = 1;
    s.randomOn = 1;
    EXPECT_EQ(playerStatus(&s), "Player: song PAUSED | volume 500 | random on | panel on | url on");
    // Toggles count as on only when exactly 1; pause shows only while playing.
    s.songActive = 0;
    s.randomOn = s.displayOn = 2;
    EXPECT_EQ(playerStatus(&s), "Player: idle | volume 500 | random off | panel off | url on");
    EXPECT_NE(playerStatus(nullptr).find("no diagnostics view"), std::string::npos);

    // Songs: scanning until the scan is done, then the count.
    s.rescanPending = 1;
    EXPECT_EQ(songsStatus(&s, std::nullopt, true), "Songs: scanning Songs...");
    s.rescanPending = 0;
    EXPECT_EQ(songsStatus(&s, 13, true), "Songs: 13 found");
    EXPECT_EQ(songsStatus(&s, 0, false), "Songs: none found (no Songs folder)");
    EXPECT_EQ(songsStatus(&s, std::nullopt, true), "Songs: scanned");
    // Audio: what was asked until a back end says what opened.
    AudioStatus audio("auto");
    EXPECT_EQ(audio.text(), "auto: not opened yet");
    EXPECT_FALSE(audio.hear("20 1 log audio output: pulse"));  // the plug-in's log is not the back end
    EXPECT_FALSE(audio.hear("20 1 diag song device: cannot play \"a.mp3\""));
    EXPECT_EQ(audio.text(), "auto: not opened yet");
    EXPECT_TRUE(audio.hear("60 3 diag audio output: null (no sound device could be opened)"));
    EXPECT_EQ(audio.text(), "null (no sound device could be opened)");
    EXPECT_NE(AudioStatus("").text().find("no sound device"), std::string::npos);
}

// ---- the real host on a terminal -------------------------------------------

std::string shell(const std::string& command) {
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buf[4096];
        for (std::size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
        pclose(p);
    }
    return out;
}

const std::string kPrompt = "kestro-prompt$";

// A tmux server of its own, with one pane running a plain shell.
class Tmux {
public:
    Tmux(int cols, int rows) : socket_("kestro-test-" + std::to_string(getpid()) + "-" + std::to_string(count_++)) {
        run("-f /dev/null new-session -d -s s -x " + std::to_string(cols) + " -y " + std::to_string(rows) +
            " \"env PS1='" + kPrompt + " ' bash --norc --noprofile\"");
        started = waitForText(kPrompt);
    }
    ~Tmux() { run("kill-server"); }
    std::string run(const std::string& args) const {
        return shell("TERM=xterm tmux -L " + socket_ + " " + args + " 2>&1");
    }
    // Types a line into the shell, then Enter.
    void type(const std::string& line) const {
        std::string quoted;
        for (char c : line) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
        run("send-keys -t s -l '" + quoted + "' \\; send-keys -t s Enter");
    }
    void keys(const std::string& names) const { run("send-keys -t s " + names); }
    void resize(int cols, int rows) const {
        run("resize-window -t s -x " + std::to_string(cols) + " -y " + std::to_string(rows));
    }
    std::string screen() const { return run("capture-pane -p -t s"); }
    std::vector<std::string> lines() const {
        std::vector<std::string> out;
        std::istringstream in(screen());
        for (std::string l; std::getline(in, l);) out.push_back(l);
        return out;
    }
    std::string flag(const std::string& format) const {
        const std::string v = run("display -p -t s '" + format + "'");
        return v.substr(0, v.find('\n'));
    }
    // Polls the screen until `ok` holds, at most 8 s.
    bool waitFor(const std::function<bool(const std::string&)>& ok) const {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(8);
        while (!ok(screen()))
            if (std::chrono::steady_clock::now() > end) return false;
            else std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return true;
    }
    bool waitForText(const std::string& t) const {
        return waitFor([&](const std::string& s) { return s.find(t) != std::string::npos; });
    }
    // The exit status of the last command typed. Each answer has a mark of
    // its own, so an earlier answer still on the screen is never taken for it.
    int lastStatus() const {
        const std::string mark = "EXIT" + std::to_string(++statusCalls_) + "=";
        type("echo \"" + mark + "$?\"");
        int status = -1;
        waitFor([&](const std::string& s) {
            const std::size_t p = s.rfind(mark);
            return p != std::string::npos && std::sscanf(s.c_str() + p + mark.size(), "%d", &status) == 1;
        });
        return status;
    }
    pid_t child() const { return static_cast<pid_t>(std::atol(shell("pgrep -P " + flag("#{pane_pid}")).c_str())); }
    bool started = false;

private:
    static inline int count_ = 0;
    mutable int statusCalls_ = 0;
    std::string socket_;
};

// A game folder with two short tagged songs, made once per test program.
class InteractiveHost : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        game_ = new TempDir;
        fs::create_directories(*game_ / "Songs");
        songsMade_ = true;
        for (int i = 1; i <= 2; ++i)
            songsMade_ &= std::system(("ffmpeg -nostdin -loglevel error -y -f lavfi -i sine=frequency=" +
                                       std::to_string(330 * i) + ":duration=30 -metadata title='Tone " +
                                       std::to_string(i) + "' -metadata artist='Kestro Test' -metadata album=Sines " +
                                       "-metadata date=2024 -c:a libmp3lame -b:a 32k '" +
                                       (*game_ / ("Songs/tone" + std::to_string(i) + ".mp3")) + "'")
                                          .c_str()) == 0;
    }
    static void TearDownTestSuite() { delete game_; }
    void SetUp() override {
        if (std::system("tmux -V >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "tmux is not installed: the terminal tests need it (scripts/setup.sh)";
        ASSERT_TRUE(songsMade_) << "ffmpeg could not make the test songs";
    }
    static std::string host(const std::string& extra = "") {
        return "'" KESTRO_HOST_PATH "' --game-dir '" + game_->path() + "' --audio null" + extra;
    }
    // Notes the terminal's modes, then starts the host in the pane.
    static void start(const Tmux& t, const std::string& extra = "", const char* shows = "World:") {
        ASSERT_TRUE(t.started);
        t.type("stty -g > '" + (*game_ / "stty.before") + "'");
        t.type(host(extra));
        ASSERT_TRUE(t.waitForText(shows)) << t.screen();
    }
    // After the host: the prompt, the exit status, and the terminal as it was
    // (modes, the normal screen, the cursor shown, normal cursor keys).
    static void expectTerminalGivenBack(const Tmux& t, int status) {
        ASSERT_TRUE(t.waitFor([](const std::string& s) {
            return s.find("World:") == std::string::npos && s.find(kPrompt) != std::string::npos;
        })) << t.screen();
        EXPECT_EQ(t.lastStatus(), status);
        EXPECT_EQ(t.flag("#{alternate_on} #{cursor_flag} #{keypad_cursor_flag}"), "0 1 0");
        fs::remove(*game_ / "stty.after");
        t.type("stty -g > '" + (*game_ / "stty.after") + "'; echo STTY-DONE");
        ASSERT_TRUE(t.waitFor([](const std::string& s) { return s.find("\nSTTY-DONE") != std::string::npos; }));
        EXPECT_EQ(readFile(*game_ / "stty.after"), readFile(*game_ / "stty.before"));
    }
    static inline TempDir* game_ = nullptr;
    static inline bool songsMade_ = false;
};

// The value after `label` on the screen, or "".
std::string panelValue(const Tmux& t, const std::string& label) {
    for (const std::string& l : t.lines())
        if (std::size_t p = l.find(label); p != std::string::npos) {
            std::string v = l.substr(p + label.size());
            v.erase(0, v.find_first_not_of(' '));
            return v.substr(0, v.find_last_not_of(' ') + 1);
        }
    return {};
}

// The tick number on the World line, or -1.
long gameTick(const Tmux& t) {
    for (const std::string& l : t.lines())
        if (std::size_t p = l.find(" tick "); l.rfind("World:", 0) == 0 && p != std::string::npos)
            return std::atol(l.c_str() + p + 6);
    return -1;
}

// One session: messages, world controls and the catalogue while idle, then a
// song with its panel; the transcript has what the terminal did and what
// the plug-in saw.
TEST_F(InteractiveHost, MessagesWorldControlsAndThePanelReachTheGame) {
    Tmux t(80, 24);
    const std::string transcript = *game_ / "interactive.txt";
    start(t, " --menu-fade-ms 1500 --transcript '" + transcript + "'");
    // The message: on the game area's last line (6 status lines below),
    // centred; a resize moves it with the screen.
    t.keys("t");
    for (const auto& [cols, rows] : std::vector<std::pair<int, int>>{{80, 24}, {120, 30}, {80, 24}}) {
        t.resize(cols, rows);
        EXPECT_TRUE(t.waitFor([&](const std::string&) {
            const auto lines = t.lines();
            const std::size_t row = static_cast<std::size_t>(rows - 7);
            return lines.size() == static_cast<std::size_t>(rows) &&
                   lines[row].find("Url Enabled") == static_cast<std::size_t>((cols - 11) / 2) &&
                   lines[row + 1].rfind("World:", 0) == 0;
        })) << t.screen();
    }
    t.keys("'#' 5 4");  // a code entry presses the same key
    const std::vector<std::pair<const char*, const char*>> steps = {
        {"", "Url Disabled"},         {"F2", "World: vehicle 1 |"}, {"F3", "World: vehicle 2 |"},
        {"F2", "World: on foot |"},   {"F4", "| menu fading |"},    {"", "| menu open |"},
        {"F4", "| menu fading |"},    {"", "| menu off |"},
        {"F5", "| CUTSCENE "},        {"F5", "| no cutscene |"},    {"F7", "| control off |"},
        {"F7", "| control on |"},     {"F10", "Song List Created"}, {"F1", "Keys (F1"}};
    for (const auto& [k, shows] : steps) {
        if (*k) t.keys(k);
        EXPECT_TRUE(t.waitForText(shows)) << k << " should show " << shows << "\n" << t.screen();
    }
    t.keys("Escape");
    EXPECT_TRUE(t.waitFor([](const std::string& s) { return s.find("Keys (F1") == std::string::npos; }));
    EXPECT_TRUE(fs::exists(*game_ / "songs.txt"));
    fs::remove(*game_ / "songs.txt");
    t.keys("F6");
    // A song: its panel follows the volume keys, and at 80x24 every row of
    // the panel is on a line of its own, whole.
    t.keys("x");
    ASSERT_TRUE(t.waitForText("Time Played:")) << t.screen();
    EXPECT_EQ(panelValue(t, "Artist:"), "Kestro Test");
    EXPECT_EQ(panelValue(t, "Volume:"), "500");
    for (const auto& [k, volume] : std::vector<std::pair<const char*, const char*>>{{"+", "600"}, {"Down", "500"}}) {
        t.keys(k);
        EXPECT_TRUE(t.waitFor([&](const std::string&) { return panelValue(t, "Volume:") == volume; })) << t.screen();
    }
    t.resize(100, 30);
    t.resize(80, 24);
    const char* rows[] = {"Time Played:", "Artist:", "Title:", "Album:", "Year:", "Time Remaining:", "Volume:"};
    EXPECT_TRUE(t.waitFor([&](const std::string&) {
        const auto lines = t.lines();
        for (int i = 0; i < 7; ++i)
            if (lines.size() != 24 || lines[i].find(rows[i]) == std::string::npos || lines[i].size() > 80) return false;
        return panelValue(t, "Album:") == "Sines" && panelValue(t, "Time Remaining:").size() == 8;
    })) << t.screen();
    t.keys("Space");
    EXPECT_TRUE(t.waitForText("song PAUSED")) << t.screen();
    // A paste of 4 MB: the keys beyond 64 per tick are dropped, so the game
    // clock keeps up with the wall clock and Ctrl+C still quits at once.
    const std::string paste = *game_ / "paste.txt";
    kestro::testing::writeFile(paste, std::string(4 << 20, 'z'));
    const long before = gameTick(t);
    const auto wallBefore = std::chrono::steady_clock::now();
    t.run("load-buffer '" + paste + "' \\; paste-buffer -t s");
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const long ticks = gameTick(t) - before;
    const auto wallMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                              wallBefore).count();
    EXPECT_GT(ticks, wallMs / 20 / 2) << "ticks in " << wallMs << " ms of a paste\n" << t.screen();
    t.keys("C-c");
    expectTerminalGivenBack(t, 0);
    const std::string tr = readFile(transcript);
    for (const char* event : {" terminal press T", " key T 0x8001", " message 5000 Url Disabled", " terminal foot",
                              " terminal vehicle 2", " terminal menu open", " menu fading", " menu open",
                              " menu closing after ", " menu closed", " terminal cutscene start", " terminal keys dropped",
                              " terminal control off", " terminal hold RCONTROL+F10 for one tick", " key F10 0x8001",
                              " terminal retune", " terminal press X", " terminal quit", " dllmain 0 1"})
        EXPECT_NE(tr.find(event), std::string::npos) << event;
}

// A first session with a Kestro.ini of natural guesses, the game folder
// given as the bare argument and its Songs a link: the dead and moved keys
// are named with their lines and the audio output is named from the first
// frame; after F12 nothing a library wrote is on the terminal.
TEST_F(InteractiveHost, KeySettingsAndAudioOutputAreSaidAndLibrariesStayOffTheTerminal) {
    TempDir game;
    fs::create_directory_symlink(*game_ / "Songs", game / "Songs");
    kestro::testing::writeFile(game / "Kestro.ini", "[Defaults]\nPauseKey=P\nEnableUrl=1\n");
    Tmux t(100, 30);
    ASSERT_TRUE(t.started);
    t.type("stty -g > '" + (*game_ / "stty.before") + "'; clear");
    // The command is typed once the cleared screen shows only the prompt, so
    // that every line later on the terminal is the shell's or someone else's.
    ASSERT_TRUE(t.waitFor([](const std::string& s) {
        return s.rfind(kPrompt, 0) == 0 && s.find_first_not_of(" \n", s.find('\n')) == std::string::npos;
    })) << t.screen();
    t.type("'" KESTRO_HOST_PATH "' '" + game.path() + "' --audio auto");
    ASSERT_TRUE(t.waitForText("World:")) << t.screen();
    const std::string first = t.screen();
    for (const char* shown : {"PauseKey=P (line 2): not a number", "EnableUrl=1 (line 3): code 1 is the left mouse",
                              "Audio: auto: not opened yet", "(none) pause"})
        EXPECT_NE(first.find(shown), std::string::npos) << shown << "\n" << first;
    EXPECT_TRUE(t.waitForText("Songs: 2 found")) << t.screen();
    // The first start opens the output: what opened replaces what was asked
    // (a missing sound device makes ALSA and PipeWire talk on standard error).
    t.keys("x");
    EXPECT_TRUE(t.waitFor([](const std::string& s) {
        return s.find("| Audio: ") != std::string::npos && s.find("not opened yet") == std::string::npos;
    })) << t.screen();
    t.keys("F1");
    EXPECT_TRUE(t.waitForText("Kestro.ini: key settings that do not work")) << t.screen();
    t.keys("F12");
    ASSERT_TRUE(t.waitFor([](const std::string& s) {
        return s.find("World:") == std::string::npos && s.find(kPrompt) != std::string::npos;
    })) << t.screen();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // anything written late
    for (const std::string& l : t.lines())
        EXPECT_TRUE(l.empty() || l.rfind(kPrompt, 0) == 0) << "on the terminal: " << l;
    expectTerminalGivenBack(t, 0);
    EXPECT_EQ(readFile(game / "kestro-host.log").rfind("[session] ", 0), 0u);
}

TEST_F(InteractiveHost, SignalsALoadFailureAndNoTerminalEndCleanly) {
    // Quit signals end the session on the normal path; fatal ones (a crash
    // in the plug-in, an abort) end the process, with the terminal given
    // back first.
    Tmux t(80, 24);
    t.type("ulimit -c 0");
    for (const int signo : {SIGTERM, SIGHUP, SIGINT, SIGSEGV, SIGABRT}) {
        SCOPED_TRACE(signo);
        const bool fatal = signo == SIGSEGV || signo == SIGABRT;
        t.type("clear");
        start(t);
        const pid_t child = t.child();
        ASSERT_GT(child, 0);  // never kill(0): that would be this process group
        ASSERT_EQ(kill(child, signo), 0);
        expectTerminalGivenBack(t, 128 + signo);
        EXPECT_EQ(t.screen().find("stopped by a fatal signal") != std::string::npos, fatal) << t.screen();
    }
    t.type("clear");
    start(t, " --plugin '" + (*game_ / "missing.so") + "'", "kestro-host: ");
    expectTerminalGivenBack(t, 3);
    // Standard output, standard input, or both not a terminal: a message
    // on how to run a scenario, status 2, and nothing loaded.
    const std::string err = *game_ / "err.txt", log = *game_ / "ScriptHook.log";
    const auto logSize = [&] { return fs::exists(log) ? fs::file_size(log) : 0; };
    const auto logBefore = logSize();
    for (const char* redirect : {" >/dev/null", " </dev/null", " </dev/null >/dev/null"}) {
        SCOPED_TRACE(redirect);
        fs::remove(err);
        t.type("clear; " + host(std::string(redirect) + " 2>'" + err + "'"));
        EXPECT_EQ(t.lastStatus(), 2);
        EXPECT_NE(readFile(err).find("needs a terminal"), std::string::npos) << readFile(err);
        EXPECT_NE(readFile(err).find("--scenario FILE"), std::string::npos) << readFile(err);
    }
    EXPECT_EQ(logSize(), logBefore);
}

}  // namespace
