// Headless scenarios: a text file of commands, one per line, that drive the
// simulated game and keyboard while the plug-in ticks. docs/scenarios.md is
// the full description of the format.
#pragma once

#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestro::host {

enum class CommandKind {
    Tick,           // value: number of ticks
    Wait,           // value: milliseconds of game time
    Press,          // value: key code
    Hold,           // value: key code
    Release,        // value: key code
    Vehicle,        // value: vehicle handle
    Foot,
    Control,        // value: 1 on, 0 off
    Fading,         // value: 1 on, 0 off
    CutsceneStart,
    CutsceneEnd,
    Retune,
    Random,         // value: a coming draw, if in its range
    RandomForce,    // value: a coming draw, whatever its range
    MenuOpen,       // the pause menu: opening fade, then the game stands still
    MenuClose,      // closing fade, then the game runs on
    Quit,
    Screen,         // transcribe the screen of the last tick
    // The scripted song device (--mci scripted): target is the command (or
    // the path), argument the reply text or the error code.
    MciReply,       // from now on
    MciOnceReply,   // the next matching command only
    MciFail,
    MciOnceFail,
    MciUnplayable,  // target: the path
    MciFailLater,   // target: the path, value: the error code
    MciClear,
    // The scripted stream player (--stream scripted).
    StreamDuration,    // argument: seconds
    StreamTag,         // target: the tag's name, argument: its value
    StreamUntag,       // target: the tag's name
    StreamFailCreate,  // the next create fails
};

struct Command {
    CommandKind kind = CommandKind::Tick;
    std::int64_t value = 0;
    int line = 0;          // 1-based line number in the file
    std::string text;      // the command as written, comment and spaces trimmed
    std::string target;    // mci and stream lines
    std::string argument;  // mci and stream lines
};

// True for the lines that need the scripted song device or stream player.
inline bool needsScriptedMci(CommandKind k) { return k >= CommandKind::MciReply && k <= CommandKind::MciClear; }
inline bool needsScriptedStream(CommandKind k) {
    return k >= CommandKind::StreamDuration && k <= CommandKind::StreamFailCreate;
}

// Limits that keep a scenario from running for hours by mistake.
inline constexpr std::int64_t kMaxTicksPerCommand = 10'000'000;
inline constexpr std::int64_t kMaxWaitMs = 86'400'000;  // one day of game time

// A key given by name or code: letters A-Z, digits 0-9 (a single digit is
// the digit key, not a code), F1-F12, NUMPAD0-NUMPAD9, RCONTROL,
// MEDIA_PLAY_PAUSE, MEDIA_STOP, MEDIA_PREV_TRACK, MEDIA_NEXT_TRACK (names
// in any letter case), or a code 1..255 in decimal or 0x hex.
std::optional<int> parseKey(std::string_view token);
// The name of a key code for messages ("X", "F10", "0xA3" for unnamed).
std::string keyName(int vk);

// Parses one line. Returns true with `out` empty for a blank or comment
// line, true with `out` set for a command, false with `error` set (without
// the line number) for a bad line.
bool parseScenarioLine(std::string_view line, int lineNumber, std::optional<Command>& out, std::string& error);

// Parses a whole scenario. On the first bad line returns false with
// `error` = "<name>:<line>: <what is wrong>".
bool parseScenario(std::istream& in, const std::string& name, std::vector<Command>& out, std::string& error);

}  // namespace kestro::host
