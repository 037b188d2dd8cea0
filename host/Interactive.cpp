#include "host/Interactive.h"
#include "host/GameFolder.h"
#include "host/PluginState.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdarg>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "host/Scenario.h"
#include "host/TerminalKeys.h"
#include "host/TerminalLayout.h"
#include "scripthook/HookHost.h"

// The function-like macros of curses (clear, erase, move, ...) would rewrite
// ordinary member calls such as vector::clear; the library has real
// functions of the same names.
#define NCURSES_NOMACROS
#include <curses.h>

namespace kestro::host {

namespace {

using Clock = std::chrono::steady_clock;

// Smallest terminal the screen is drawn in; below it a notice says so.
constexpr int kMinRows = 6;
constexpr int kMinCols = 20;
// The screen is redrawn at most this often (the ticks may be faster).
constexpr auto kFrameInterval = std::chrono::milliseconds(30);
// A wait for a key never lasts longer than this, so that a signal is seen
// soon even with long ticks.
constexpr int kMaxKeyWaitMs = 100;
// Ticks that fell behind the wall clock are caught up to this much game
// time; a longer stall (a big library scan) is not made up.
constexpr std::uint32_t kMaxCatchUpMs = 1000;
// What is kept of standard error, when the library log cannot be written,
// and replayed after the screen.
constexpr long kMaxStderrReplay = 64 * 1024;
constexpr int kMaxVehicle = 999;
// Keys handled between two ticks (or, while the game stands still in the
// pause menu, within one tick length); the rest of a flood such as a paste
// is dropped: handling it all would hold the game clock, and keeping it
// would replay the paste for minutes.
constexpr int kMaxKeysPerTick = 64;

volatile std::sig_atomic_t gSignal = 0;

extern "C" void onQuitSignal(int signo) { gSignal = signo; }

const int kQuitSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Catches the quit signals for its lifetime; a signal only sets a flag that
// the loop reads, so the terminal is restored on the normal path.
class SignalGuard {
public:
    SignalGuard() {
        gSignal = 0;
        struct sigaction sa {};
        sa.sa_handler = onQuitSignal;
        sigemptyset(&sa.sa_mask);
        for (std::size_t i = 0; i < std::size(kQuitSignals); ++i) sigaction(kQuitSignals[i], &sa, &previous_[i]);
    }
    ~SignalGuard() {
        for (std::size_t i = 0; i < std::size(kQuitSignals); ++i) sigaction(kQuitSignals[i], &previous_[i], nullptr);
    }
    SignalGuard(const SignalGuard&) = delete;
    SignalGuard& operator=(const SignalGuard&) = delete;

private:
    struct sigaction previous_[std::size(kQuitSignals)] {};
};

// While the session runs, what the libraries write to standard error (ALSA
// and PipeWire on a machine without a sound device, libmpv) would scribble
// over the screen, and written out at the end it buries what the host has
// to say. It goes to the library log (kLibraryLogName) in the game folder
// instead, from before the plug-in loads until after the devices are torn
// down; the host's own messages meanwhile go to the terminal through
// say(). When the library log cannot be written, standard error is kept
// aside in a temporary file and written out (its last kMaxStderrReplay
// bytes) after the terminal is restored.
class LibraryMessages {
public:
    explicit LibraryMessages(const std::string& sessionLine) {
        std::fflush(stderr);
        if (!sessionLine.empty()) appendLogLine(kLibraryLogName, sessionLine);
        int fd = scripthook::openLogFile(kLibraryLogName, nullptr);
        if (fd < 0) {
            replay_ = std::tmpfile();
            fd = replay_ != nullptr ? ::fileno(replay_) : -1;
        }
        saved_ = fd >= 0 ? ::dup(STDERR_FILENO) : -1;
        if (saved_ < 0 || ::dup2(fd, STDERR_FILENO) < 0) {
            if (saved_ >= 0) ::close(saved_);
            saved_ = -1;
        }
        if (replay_ == nullptr && fd >= 0) ::close(fd);
        if (saved_ < 0 && replay_ != nullptr) {
            std::fclose(replay_);
            replay_ = nullptr;
        }
    }
    ~LibraryMessages() { restore(); }
    LibraryMessages(const LibraryMessages&) = delete;
    LibraryMessages& operator=(const LibraryMessages&) = delete;

    // A message of the host's own, for the person at the terminal.
    void say(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        std::va_list args;
        va_start(args, format);
        if (saved_ >= 0)
            ::vdprintf(saved_, format, args);
        else
            std::vfprintf(stderr, format, args);
        va_end(args);
    }

    // Puts standard error back (and writes out what was kept aside).
    void restore() {
        if (saved_ < 0) return;
        std::fflush(stderr);
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_);
        saved_ = -1;
        if (replay_ == nullptr) return;
        if (std::fseek(replay_, 0, SEEK_END) == 0) {
            const long size = std::ftell(replay_);
            const long from = size > kMaxStderrReplay ? size - kMaxStderrReplay : 0;
            if (from > 0) std::fprintf(stderr, "kestro-host: (earlier messages dropped)\n");
            if (size > 0 && std::fseek(replay_, from, SEEK_SET) == 0) {
                char buf[4096];
                std::size_t n;
                while ((n = std::fread(buf, 1, sizeof buf, replay_)) > 0) std::fwrite(buf, 1, n, stderr);
            }
        }
        std::fflush(stderr);
        std::fclose(replay_);
        replay_ = nullptr;
    }

private:
    std::FILE* replay_ = nullptr;  // the fallback: kept aside, written out at the end
    int saved_ = -1;               // the terminal's standard error while redirected
};

// A fatal signal while the screen is up (a crash in the plug-in, an abort)
// ends the process without the normal path: the handler gives the terminal
// back first. It may only make async-signal-safe calls, so everything it
// needs is prepared beforehand: the terminal modes from before the screen
// went up, and the terminal's own sequences (from its terminfo entry) that
// leave keypad mode, show the cursor and leave the alternate screen.
struct CrashRestore {
    termios modes{};
    bool haveModes = false;
    char sequence[256] = {};
    std::size_t sequenceLength = 0;
};
CrashRestore gCrashRestore;

const int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};

extern "C" void onFatalSignal(int signo) {
    const int savedErrno = errno;
    if (gCrashRestore.sequenceLength > 0)
        [[maybe_unused]] const ssize_t n = ::write(STDOUT_FILENO, gCrashRestore.sequence, gCrashRestore.sequenceLength);
    if (gCrashRestore.haveModes) ::tcsetattr(STDIN_FILENO, TCSANOW, &gCrashRestore.modes);
    static const char kNote[] = "\r\nkestro-host: stopped by a fatal signal; the terminal was given back\r\n";
    [[maybe_unused]] const ssize_t n = ::write(STDOUT_FILENO, kNote, sizeof kNote - 1);
    errno = savedErrno;
    // The handler was reset to the default on entry (SA_RESETHAND): the
    // signal raised again ends the process as it would have.
    ::raise(signo);
}

// Appends the terminal's string capability `name`, when it has one.
void appendCapability(const char* name) {
    const char* value = ::tigetstr(const_cast<char*>(name));
    if (value == nullptr || value == reinterpret_cast<const char*>(-1)) return;
    const std::size_t length = std::strlen(value);
    if (length > sizeof gCrashRestore.sequence - gCrashRestore.sequenceLength) return;
    std::memcpy(gCrashRestore.sequence + gCrashRestore.sequenceLength, value, length);
    gCrashRestore.sequenceLength += length;
}

// The curses screen: up from construction (if ok()) to destruction, which
// gives the terminal back as it was (modes, cursor, the normal screen), also
// when a fatal signal ends the process in between.
class CursesScreen {
public:
    CursesScreen() {
        gCrashRestore = CrashRestore{};
        gCrashRestore.haveModes = ::tcgetattr(STDIN_FILENO, &gCrashRestore.modes) == 0;
        screen_ = ::newterm(nullptr, stdout, stdin);
        if (screen_ == nullptr) return;
        for (const char* name : {"rmkx", "cnorm", "sgr0", "rmcup"}) appendCapability(name);
        struct sigaction sa {};
        sa.sa_handler = onFatalSignal;
        sa.sa_flags = SA_RESETHAND;
        sigemptyset(&sa.sa_mask);
        for (std::size_t i = 0; i < std::size(kFatalSignals); ++i) sigaction(kFatalSignals[i], &sa, &previous_[i]);
        ::set_term(screen_);
        ::raw();  // Ctrl+C, Ctrl+Z and Ctrl+S arrive as keys, not as job control
        ::noecho();
        ::nonl();
        ::keypad(stdscr, TRUE);
        ::set_escdelay(25);
        ::curs_set(0);
        setUpLook();
    }
    ~CursesScreen() {
        if (screen_ == nullptr) return;
        for (std::size_t i = 0; i < std::size(kFatalSignals); ++i) sigaction(kFatalSignals[i], &previous_[i], nullptr);
        ::curs_set(1);
        ::endwin();
        ::delscreen(screen_);
    }
    CursesScreen(const CursesScreen&) = delete;
    CursesScreen& operator=(const CursesScreen&) = delete;
    bool ok() const { return screen_ != nullptr; }

private:
    SCREEN* screen_ = nullptr;
    static void setUpLook();
    struct sigaction previous_[std::size(kFatalSignals)] {};
};

// The look of the screen's parts: colours where the terminal has them (and
// NO_COLOR is not set), else the plain look: reverse video for the status
// lines, bold for the message and the notices.
struct Look {
    attr_t bar = A_REVERSE;
    attr_t help = A_REVERSE;
    attr_t message = A_BOLD;
    attr_t notice = A_BOLD;
};
Look gLook;

enum ColourPair : short { kBarPair = 1, kHelpPair, kMessagePair, kNoticePair };

void CursesScreen::setUpLook() {
    gLook = Look{};
    if (!::has_colors() || std::getenv("NO_COLOR") != nullptr || ::start_color() == ERR) return;
    // The terminal's own background where it allows it.
    const short background = ::use_default_colors() == OK ? -1 : COLOR_BLACK;
    ::init_pair(kBarPair, COLOR_WHITE, COLOR_BLUE);
    ::init_pair(kHelpPair, COLOR_BLACK, COLOR_CYAN);
    ::init_pair(kMessagePair, COLOR_GREEN, background);
    ::init_pair(kNoticePair, COLOR_YELLOW, background);
    gLook.bar = COLOR_PAIR(kBarPair);
    gLook.help = COLOR_PAIR(kHelpPair);
    gLook.message = COLOR_PAIR(kMessagePair) | A_BOLD;
    gLook.notice = COLOR_PAIR(kNoticePair) | A_BOLD;
}

TerminalKey terminalKey(int ch) {
    using K = TerminalKey::Kind;
    switch (ch) {
    case KEY_LEFT: return TerminalKey::of(K::Left);
    case KEY_RIGHT: return TerminalKey::of(K::Right);
    case KEY_UP: return TerminalKey::of(K::Up);
    case KEY_DOWN: return TerminalKey::of(K::Down);
    case KEY_BACKSPACE:
    case 8:
    case 127: return TerminalKey::of(K::Backspace);
    case KEY_DC: return TerminalKey::of(K::Delete);
    case '\t': return TerminalKey::of(K::Tab);
    case '\r':
    case '\n':
    case KEY_ENTER: return TerminalKey::of(K::Enter);
    case 27: return TerminalKey::of(K::Escape);
    default: break;
    }
    for (int n = 1; n <= 12; ++n)
        if (ch == KEY_F(n)) return TerminalKey::fn(n);
    if (ch >= 0x20 && ch < 0x7F) return TerminalKey::ch(ch);
    if (ch >= 0 && ch < 0x20) return {K::Control, ch};
    return TerminalKey::of(K::Other);
}

void putText(int row, int col, std::wstring_view text) {
    if (text.empty()) return;
    ::mvaddnwstr(row, col, text.data(), static_cast<int>(text.size()));
}

// A full-width bar line with the text cut to the width.
void putBar(int row, int cols, const std::string& text, attr_t look) {
    std::wstring line = cutToWidth(displayText(text), cols);
    line.append(static_cast<std::size_t>(std::max(0, cols - displayWidth(line))), L' ');
    ::attron(look);
    putText(row, 0, line);
    ::attroff(look);
}

// What the host found out before the session, for the screen.
struct SessionStart {
    std::string audioAsked;             // see InteractiveOptions
    std::vector<std::string> problems;  // key settings that cannot work as meant
    std::vector<std::string> notices;   // shown from the start until the first key
    bool songsFolder = true;
};

class Session {
public:
    Session(Host& host, const kestro::PlayerState* state, SessionStart start)
        : host_(host),
          state_(state),
          keys_(state ? keyConfigFrom(*state) : KeyConfig{}),
          start_(std::move(start)),
          audio_(start_.audioAsked) {
        host_.setLogListener([this](const std::string& line) { lastLog_ = line.substr(0, 1024); });
        // The back ends say which audio output opened in a diag line.
        host_.transcript().setLineSink([this](const std::string& line) { audio_.hear(line); });
    }
    ~Session() {
        host_.transcript().setLineSink(nullptr);
        host_.setLogListener(nullptr);
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Returns the signal that ended the session, or 0 for a quit key.
    int run();

private:
    void tick();
    void handle(int ch);
    void act(const KeyAction& action);
    void draw();
    void drawHelp(int rows, int cols);
    void drawNotices(int rows, int cols);
    // Reads the keys that are there, at most kMaxKeysPerTick since the last
    // tick, until the next tick is due.
    void readKeys(Clock::time_point nextTick);

    Host& host_;
    const kestro::PlayerState* state_;
    KeyMapper keys_;
    SessionStart start_;
    AudioStatus audio_;
    bool quit_ = false;
    bool help_ = false;
    bool chordPending_ = false;
    int keysSinceTick_ = 0;
    std::int32_t vehicle_ = 1;
    std::string lastKey_;
    std::string lastLog_;
    std::optional<int> songCount_;  // once the scan is done
};

int Session::run() {
    const std::uint32_t tickMs = host_.world().tickMs();
    const auto tickLength = std::chrono::milliseconds(tickMs);
    const std::uint32_t maxCatchUp = std::max<std::uint32_t>(1, kMaxCatchUpMs / tickMs);
    // The first frame stands before the first tick, whose library scan may
    // take a while: the screen says so rather than staying blank.
    draw();
    auto next = Clock::now();
    auto lastDraw = Clock::now() - kFrameInterval;
    bool dirty = true;
    while (!quit_ && gSignal == 0) {
        auto now = Clock::now();
        if (now >= next) {
            std::uint32_t ran = 0;
            // While the pause menu stands the game still, no tick runs and
            // the game clock waits.
            while (now >= next && ran < maxCatchUp && !quit_ && gSignal == 0 && !host_.world().standsStill()) {
                tick();
                next += tickLength;
                ++ran;
                now = Clock::now();
            }
            // A stall longer than the catch-up is not made up: the game
            // clock then runs behind the wall clock by that much.
            if (now >= next) next = now + tickLength;
            keysSinceTick_ = 0;
            host_.transcript().flush();
            dirty = true;
        }
        if (dirty && now - lastDraw >= kFrameInterval) {
            draw();
            lastDraw = now;
            dirty = false;
        }
        auto until = next;
        if (dirty) until = std::min(until, lastDraw + kFrameInterval);
        // Rounded up: a wait of 0 for the last fraction of a millisecond
        // would spin.
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
        ::wtimeout(stdscr, static_cast<int>(std::clamp<long long>(wait, 0, kMaxKeyWaitMs)));
        const int before = keysSinceTick_;
        readKeys(next);
        dirty = dirty || keysSinceTick_ != before;
    }
    return quit_ ? 0 : static_cast<int>(gSignal);
}

void Session::readKeys(Clock::time_point nextTick) {
    for (int ch = ::wgetch(stdscr); ch != ERR && !quit_; ch = ::wgetch(stdscr)) {
        if (keysSinceTick_ >= kMaxKeysPerTick) {
            // Whatever else is waiting (in the terminal and in curses) goes.
            ::flushinp();
            if (keysSinceTick_++ == kMaxKeysPerTick)
                host_.transcript().event("terminal", "keys dropped (more than %d since the last tick)", kMaxKeysPerTick);
            return;
        }
        ++keysSinceTick_;
        handle(ch);
        if (Clock::now() >= nextTick) return;
        ::wtimeout(stdscr, 0);
    }
}

void Session::tick() {
    GameKeyboard& kb = host_.keyboard();
    // The catalogue combination: both keys down together for one tick.
    const bool chord = chordPending_;
    chordPending_ = false;
    if (chord) {
        kb.hold(kVkRightControl);
        kb.hold(kVkF10);
    }
    host_.tick();
    if (chord) {
        kb.release(kVkF10);
        kb.release(kVkRightControl);
    }
    if (!songCount_ && (state_ == nullptr || !state_->rescanPending)) songCount_ = pluginSongCount(host_.loader());
}

void Session::handle(int ch) {
    if (ch == KEY_RESIZE) {
        ::clearok(curscr, TRUE);
        return;
    }
    const TerminalKey key = terminalKey(ch);
    // The notices of the start stay until the person does something.
    start_.notices.clear();
    if (help_ && key.kind == TerminalKey::Kind::Escape && !keys_.entering()) {
        help_ = false;
        return;
    }
    act(keys_.map(key));
}

void Session::act(const KeyAction& action) {
    using A = KeyAction::Kind;
    GameWorld& w = host_.world();
    Transcript& t = host_.transcript();
    switch (action.kind) {
    case A::None: return;
    case A::Press:
        if (action.vk < 1 || action.vk >= GameKeyboard::kKeyCount) {
            // A setting read as a code no key has: nothing to press.
            lastKey_ = "none (code " + std::to_string(action.vk) + ")";
            return;
        }
        host_.keyboard().press(action.vk);
        lastKey_ = keyName(action.vk);
        t.text("terminal", "press " + lastKey_);
        return;
    case A::Catalogue:
        chordPending_ = true;
        lastKey_ = "RCONTROL+F10";
        t.text("terminal", "hold RCONTROL+F10 for one tick");
        return;
    case A::ToggleVehicle:
        if (w.inVehicle()) {
            w.leaveVehicle();
            t.text("terminal", "foot");
        } else {
            w.enterVehicle(vehicle_);
            t.event("terminal", "vehicle %d", static_cast<int>(vehicle_));
        }
        return;
    case A::NextVehicle:
        vehicle_ = vehicle_ >= kMaxVehicle ? 1 : vehicle_ + 1;
        w.enterVehicle(vehicle_);
        t.event("terminal", "vehicle %d", static_cast<int>(vehicle_));
        return;
    case A::ToggleMenu:
        // Closed or closing: it opens; open or opening: it closes.
        if (w.menu() == GameWorld::Menu::Closed || w.menu() == GameWorld::Menu::Closing) {
            t.text("terminal", "menu open");
            host_.openMenu();
        } else {
            t.text("terminal", "menu close");
            host_.closeMenu();
        }
        return;
    case A::ToggleCutscene:
        if (w.cutsceneRunning()) {
            w.endCutscene();
            t.text("terminal", "cutscene end");
        } else {
            w.startCutscene();
            t.text("terminal", "cutscene start");
        }
        return;
    case A::Retune:
        w.retuneNextTick();
        t.text("terminal", "retune");
        return;
    case A::ToggleControl:
        w.setControl(!w.control());
        t.text("terminal", w.control() ? "control on" : "control off");
        return;
    case A::Help: help_ = !help_; return;
    case A::Quit:
        t.text("terminal", "quit");
        quit_ = true;
        return;
    }
}

// Texts in the notice look, wrapped to the width, from `row` down to the
// row before `end` at most.
void putNotices(const std::vector<std::string>& texts, int row, int end, int cols) {
    ::attron(gLook.notice);
    for (const std::string& text : texts)
        for (const std::wstring& line : wrapToWidth(displayText(text), cols))
            if (row < end) putText(row++, 0, line);
    ::attroff(gLook.notice);
}

void Session::drawHelp(int rows, int cols) {
    const std::vector<KeyHelpRow> table = keyTable(keys_.config());
    std::vector<std::string> lines;
    for (const KeyHelpRow& r : table) {
        char text[256];
        std::snprintf(text, sizeof text, "%-8s %-12s %s", r.keys.c_str(), r.what.c_str(), r.acts.c_str());
        lines.push_back(text);
    }
    // The key settings that do not work as meant, at the foot of the table,
    // full width (as many as fit, with the table at least a third).
    int problemLines = 1;
    for (const std::string& text : start_.problems)
        problemLines += static_cast<int>(wrapToWidth(displayText(text), cols).size());
    const int problemRows = start_.problems.empty() ? 0 : std::min(problemLines, (rows - 1) * 2 / 3);
    const int tableRows = rows - problemRows;
    const int perColumn = std::max(1, tableRows - 1);
    const int columns = (static_cast<int>(lines.size()) + perColumn - 1) / perColumn;
    const int columnWidth = std::max(1, cols / std::max(1, columns));
    putText(0, 0, cutToWidth(L"Keys (F1, ? or Esc to close; F12 or Ctrl+C quits):", cols));
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const int column = static_cast<int>(i) / perColumn;
        const int row = 1 + static_cast<int>(i) % perColumn;
        if (row >= tableRows) break;
        putText(row, column * columnWidth, cutToWidth(displayText(lines[i]), columnWidth - 1));
    }
    if (problemRows == 0) return;
    std::vector<std::string> texts = {"Kestro.ini: key settings that do not work as meant:"};
    texts.insert(texts.end(), start_.problems.begin(), start_.problems.end());
    putNotices(texts, tableRows, rows, cols);
}

// The notices of the start, at the foot of the game area's lower half,
// above the message line.
void Session::drawNotices(int rows, int cols) {
    if (start_.notices.empty()) return;
    int lines = 0;
    for (const std::string& text : start_.notices)
        lines += static_cast<int>(wrapToWidth(displayText(text), cols).size());
    const int shown = std::min(lines, std::max(0, rows / 2 - 1));
    putNotices(start_.notices, rows - 1 - shown, rows - 1, cols);
}

void Session::draw() {
    ::erase();
    const int rows = LINES;
    const int cols = COLS;
    if (rows < kMinRows || cols < kMinCols) {
        putText(0, 0, cutToWidth(L"terminal too small", cols));
        ::refresh();
        return;
    }

    std::string player = playerStatus(state_);
    if (keys_.entering())
        player += " | code " + keys_.entryText() + "_";
    else if (!lastKey_.empty())
        player += " | key " + lastKey_;
    const std::string sound =
        songsStatus(state_, songCount_, start_.songsFolder) + " | Audio: " + audio_.text();
    const GameWorld& w = host_.world();
    std::vector<std::string> bottom;
    if (rows >= 20) {
        bottom = {worldStatus(w), radioStatus(w.radio()), player, sound, "Log: " + lastLog_};
    } else if (rows >= 12) {
        bottom = {worldStatus(w), player, sound};
    } else {
        bottom = {player, sound};
    }
    bottom.push_back(keyHelpLine(keys_.config()));
    const int area = rows - static_cast<int>(bottom.size());

    if (help_) {
        drawHelp(area, cols);
    } else {
        for (const PlacedText& p : layoutFrame(w.frameTexts(), area, cols)) putText(p.row, p.col, p.text);
        drawNotices(area, cols);
        if (const ShownMessage* m = w.currentMessage()) {
            const PlacedText p = placeMessage(m->text, area, cols);
            ::attron(gLook.message);
            putText(p.row, p.col, p.text);
            ::attroff(gLook.message);
        }
    }
    for (std::size_t i = 0; i < bottom.size(); ++i)
        putBar(area + static_cast<int>(i), cols, bottom[i], i + 1 == bottom.size() ? gLook.help : gLook.bar);
    ::refresh();
}

void printNotATerminal(LibraryMessages* messages = nullptr) {
    static const char kText[] =
        "kestro-host: the interactive mode needs a terminal (standard input and output).\n"
        "To run without one, give a scenario file of game events and key presses:\n"
        "  kestro-host --game-dir DIR --scenario FILE [--transcript FILE]\n"
        "(docs/scenarios.md describes the format; --help lists the options.)\n";
    if (messages)
        messages->say("%s", kText);
    else
        std::fputs(kText, stderr);
}

}  // namespace

int runInteractive(const InteractiveOptions& options) {
    if (!::isatty(STDIN_FILENO) || !::isatty(STDOUT_FILENO)) {
        printNotATerminal();
        return kInteractiveExitUsage;
    }

    std::FILE* transcript = nullptr;
    if (!options.transcriptPath.empty()) {
        transcript = std::fopen(options.transcriptPath.c_str(), "w");
        if (transcript == nullptr) {
            std::fprintf(stderr, "kestro-host: cannot write transcript %s: %s\n", options.transcriptPath.c_str(),
                         std::strerror(errno));
            return kInteractiveExitUsage;
        }
    }
    if (::chdir(options.gameDir.c_str()) != 0) {
        std::fprintf(stderr, "kestro-host: cannot enter game folder %s: %s\n", options.gameDir.c_str(),
                     std::strerror(errno));
        if (transcript) std::fclose(transcript);
        return kInteractiveExitUsage;
    }
    // Tags are shown in the user's character set (curses needs it too).
    std::setlocale(LC_CTYPE, "");
    if (!options.sessionLine.empty() && !options.host.logFile.empty())
        appendLogLine(options.host.logFile, options.sessionLine);

    // What the plug-in is about to read, as the person should know it: read
    // at the moment the plug-in reads it, from the same file.
    SessionStart start;
    start.audioAsked = options.audioAsked;
    start.problems = checkKeySettings(GameSettings()).problems;
    start.songsFolder = hasSongsFolder(options.gameDir);
    if (const std::string notice = songsFolderNotice(options.gameDir); !notice.empty())
        start.notices.push_back(notice);
    if (!start.problems.empty()) {
        start.notices.push_back("Kestro.ini: key settings that do not work as meant (F1 shows them again):");
        start.notices.insert(start.notices.end(), start.problems.begin(), start.problems.end());
    }

    int status = 0;
    int transcriptError = 0;
    {
        // Declared before the host, so that it ends after the host's
        // devices are torn down: their last messages go to the file too.
        std::optional<LibraryMessages> messages;
        Host host(options.host);
        messages.emplace(options.sessionLine);
        host.transcript().setOutput(transcript);
        std::string error;
        // The plug-in is loaded before the screen goes up: when it fails,
        // the terminal has not been touched and the reason stays readable.
        if (!host.loadPlugin(options.pluginPath, error)) {
            messages->say("kestro-host: %s\n", error.c_str());
            status = kInteractiveExitPlugin;
        } else {
            const kestro::PlayerState* state = pluginStateView(host.loader());
            int signo = 0;
            {
                SignalGuard signals;
                CursesScreen screen;
                if (!screen.ok()) {
                    messages->say("kestro-host: cannot use this terminal (TERM=%s)\n",
                                  std::getenv("TERM") ? std::getenv("TERM") : "");
                    printNotATerminal(&*messages);
                    status = kInteractiveExitUsage;
                } else {
                    Session session(host, state, std::move(start));
                    signo = session.run();
                }
            }
            host.unloadPlugin();
            if (signo != 0) status = 128 + signo;
        }
        host.transcript().flush();
        if (host.transcript().failed()) transcriptError = host.transcript().errorNumber();
    }
    if (transcript) {
        errno = 0;
        const bool hadError = std::ferror(transcript) != 0;
        if ((std::fclose(transcript) != 0 || hadError) && transcriptError == 0)
            transcriptError = errno != 0 ? errno : EIO;
        if (transcriptError != 0) {
            std::fprintf(stderr, "kestro-host: cannot write the transcript %s: %s\n",
                         options.transcriptPath.c_str(), std::strerror(transcriptError));
            if (status == 0) status = kInteractiveExitUsage;
        }
    }
    return status;
}

}  // namespace kestro::host
