// The keyboard of the interactive mode: what each key of a terminal does.
//
// A terminal reports characters and a few named keys, never key-ups, never
// the numeric keypad as such, the media keys or which Ctrl key is down. So:
//
// - letters and digits press their own virtual-key code (a/A: 0x41 ... z/Z:
//   0x5A, 0-9: 0x30-0x39);
// - stand-ins press the code the plug-in read for a setting (Kestro.ini, or
//   its default): space the pause key, Backspace/Delete the stop key, [ and ]
//   the previous and next keys, Left and Right the rewind and forward keys,
//   + = Up the volume-up key, - Down the volume-down key;
// - F10 (or *) is the catalogue combination: right Ctrl and F10 are held
//   down together for one tick;
// - # and two hex digits press any code 01-FF (#B3 is the media play/pause
//   key);
// - the F-keys run the simulated world and the host: F1 (or ?) the key
//   table, F2 into or out of a vehicle, F3 another vehicle, F4 the pause
//   menu, F5 a cutscene, F6 a radio retune, F7 the player's control, F12 (or
//   Ctrl+C) quit. They never reach the plug-in as key codes.
//
// Everything here is plain data and logic; the curses side turns its key
// codes into TerminalKey values.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestro {
struct PlayerState;
}

namespace kestro::host {

// Windows virtual-key codes the mode needs by name.
inline constexpr int kVkRightControl = 0xA3;
inline constexpr int kVkF10 = 0x79;
inline constexpr int kVkStart = 0x58;  // X, fixed

// A code outside 1-255: no key has it, so a setting read as one is dead.
inline bool noKeyHasCode(int vk) { return vk < 1 || vk > 0xFF; }

// The codes of the plug-in's configurable keys, as it read them at load.
// The defaults are those the plug-in uses without a settings file.
struct KeyConfig {
    std::int32_t pause = 0xB3;       // PauseKey: media play/pause
    std::int32_t display = 0x55;     // DisplayKey: U
    std::int32_t previous = 0xB1;    // PreviousKey: media previous track
    std::int32_t next = 0xB0;        // NextKey: media next track
    std::int32_t forward = 0x63;     // FforwardKey: numeric keypad 3
    std::int32_t rewind = 0x61;      // FrewindKey: numeric keypad 1
    std::int32_t stop = 0xB2;        // StopKey: media stop
    std::int32_t random = 0x52;      // RandomKey: R
    std::int32_t volumeUp = 0x69;    // VolumeUpKey: numeric keypad 9
    std::int32_t volumeDown = 0x67;  // VolumeDownKey: numeric keypad 7
    std::int32_t enableUrl = 0x54;   // EnableUrl: T
};

// The codes the loaded plug-in holds (its diagnostics view).
KeyConfig keyConfigFrom(const kestro::PlayerState& state);

// A key as the terminal reported it.
struct TerminalKey {
    enum class Kind {
        Char,       // a printable ASCII character in `value`
        Control,    // a control character (Ctrl+letter), its byte in `value`
        Left,
        Right,
        Up,
        Down,
        Backspace,
        Delete,
        Tab,
        Enter,
        Escape,
        Function,   // F1..F12 (F`value`)
        Other,      // anything else (Home, Insert, a non-ASCII byte, ...)
    };
    Kind kind = Kind::Other;
    int value = 0;

    static TerminalKey ch(int c) { return {Kind::Char, c}; }
    static TerminalKey fn(int n) { return {Kind::Function, n}; }
    static TerminalKey of(Kind k) { return {k, 0}; }
};

// What a key does.
struct KeyAction {
    enum class Kind {
        None,           // not mapped (or swallowed by the code entry)
        Press,          // press the key code `vk` once
        Catalogue,      // hold right Ctrl and F10 for one tick
        ToggleVehicle,  // on foot: into a vehicle; in one: on foot
        NextVehicle,    // into another vehicle
        ToggleMenu,     // the pause menu opens / closes
        ToggleCutscene, // start a cutscene, or end the running one
        Retune,         // the player retunes the radio
        ToggleControl,  // the player's control on/off
        Help,           // show or hide the key table
        Quit,
    };
    Kind kind = Kind::None;
    int vk = 0;

    static KeyAction none() { return {}; }
    static KeyAction press(int code) { return {Kind::Press, code}; }
    static KeyAction of(Kind k) { return {k, 0}; }
    bool operator==(const KeyAction&) const = default;
};

// Maps terminal keys to actions. It keeps the state of a code entry ("#"
// then two hex digits), so one mapper serves one session.
class KeyMapper {
public:
    explicit KeyMapper(const KeyConfig& config = {}) : config_(config) {}

    const KeyConfig& config() const { return config_; }
    KeyAction map(const TerminalKey& key);

    // While a code entry is open: what has been typed, e.g. "#B" or "#".
    bool entering() const { return entry_ >= 0; }
    std::string entryText() const;

private:
    KeyConfig config_;
    int entry_ = -1;   // -1: no entry; else the digits typed so far (0 or 1)
    int entryValue_ = 0;
};

// The terminal key that reaches a code most directly: "x" for a letter or
// digit code, else "#HH". Used by the key help for the settings that have no
// stand-in key of their own.
std::string keyForCode(int vk);

// One row of the key table: the terminal keys, what they do, and the code or
// world control they act on ("MEDIA_PLAY_PAUSE", "0x58", "world").
struct KeyHelpRow {
    std::string keys;
    std::string what;
    std::string acts;
};
std::vector<KeyHelpRow> keyTable(const KeyConfig& config);

// The one-line key help, most needed keys first (a narrow terminal shows
// the start of it).
std::string keyHelpLine(const KeyConfig& config);

}  // namespace kestro::host
