#include "host/TerminalKeys.h"

#include <cstdio>

#include "host/Scenario.h"
#include "host/PluginState.h"

namespace kestro::host {

namespace {

constexpr int kCtrlC = 3;

int hexDigit(int c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool isLetterOrDigitCode(int vk) { return (vk >= 0x41 && vk <= 0x5A) || (vk >= 0x30 && vk <= 0x39); }

}  // namespace

KeyConfig keyConfigFrom(const kestro::PlayerState& s) {
    KeyConfig c;
    c.pause = s.PauseKey;
    c.display = s.DisplayKey;
    c.previous = s.PreviousKey;
    c.next = s.NextKey;
    c.forward = s.FforwardKey;
    c.rewind = s.FrewindKey;
    c.stop = s.StopKey;
    c.random = s.RandomKey;
    c.volumeUp = s.VolumeUpKey;
    c.volumeDown = s.VolumeDownKey;
    c.enableUrl = s.EnableUrl;
    return c;
}

std::string KeyMapper::entryText() const {
    if (entry_ < 0) return {};
    char text[8];
    if (entry_ == 0)
        std::snprintf(text, sizeof text, "#");
    else
        std::snprintf(text, sizeof text, "#%X", entryValue_);
    return text;
}

KeyAction KeyMapper::map(const TerminalKey& key) {
    using K = TerminalKey::Kind;
    using A = KeyAction::Kind;

    // Quitting works whatever else is going on.
    if ((key.kind == K::Function && key.value == 12) || (key.kind == K::Control && key.value == kCtrlC))
        return KeyAction::of(A::Quit);

    if (entry_ >= 0) {
        const int digit = key.kind == K::Char ? hexDigit(key.value) : -1;
        if (digit >= 0) {
            entryValue_ = entryValue_ * 16 + digit;
            if (++entry_ < 2) return KeyAction::none();
            const int code = entryValue_;
            entry_ = -1;
            entryValue_ = 0;
            // Code 0 is no key.
            return code == 0 ? KeyAction::none() : KeyAction::press(code);
        }
        if (key.kind == K::Backspace && entry_ > 0) {
            entry_ = 0;
            entryValue_ = 0;
            return KeyAction::none();
        }
        // Anything else closes the entry and is not used further, so that a
        // mistyped code never presses an unexpected key.
        entry_ = -1;
        entryValue_ = 0;
        return KeyAction::none();
    }

    switch (key.kind) {
    case K::Char: {
        const int c = key.value;
        if (c >= 'a' && c <= 'z') return KeyAction::press(c - 'a' + 0x41);
        if (c >= 'A' && c <= 'Z') return KeyAction::press(c);
        if (c >= '0' && c <= '9') return KeyAction::press(c);
        switch (c) {
        case ' ': return KeyAction::press(config_.pause);
        case '[': return KeyAction::press(config_.previous);
        case ']': return KeyAction::press(config_.next);
        case '+':
        case '=': return KeyAction::press(config_.volumeUp);
        case '-': return KeyAction::press(config_.volumeDown);
        case '*': return KeyAction::of(A::Catalogue);
        case '?': return KeyAction::of(A::Help);
        case '#':
            entry_ = 0;
            entryValue_ = 0;
            return KeyAction::none();
        default: return KeyAction::none();
        }
    }
    case K::Left: return KeyAction::press(config_.rewind);
    case K::Right: return KeyAction::press(config_.forward);
    case K::Up: return KeyAction::press(config_.volumeUp);
    case K::Down: return KeyAction::press(config_.volumeDown);
    case K::Backspace:
    case K::Delete: return KeyAction::press(config_.stop);
    case K::Function:
        switch (key.value) {
        case 1: return KeyAction::of(A::Help);
        case 2: return KeyAction::of(A::ToggleVehicle);
        case 3: return KeyAction::of(A::NextVehicle);
        case 4: return KeyAction::of(A::ToggleMenu);
        case 5: return KeyAction::of(A::ToggleCutscene);
        case 6: return KeyAction::of(A::Retune);
        case 7: return KeyAction::of(A::ToggleControl);
        case 10: return KeyAction::of(A::Catalogue);
        default: return KeyAction::none();
        }
    case K::Control:
    case K::Tab:
    case K::Enter:
    case K::Escape:
    case K::Other: return KeyAction::none();
    }
    return KeyAction::none();
}

std::string keyForCode(int vk) {
    if (isLetterOrDigitCode(vk)) {
        const char c = static_cast<char>(vk >= 0x41 ? vk - 0x41 + 'a' : vk);
        return std::string(1, c);
    }
    if (vk >= 1 && vk <= 0xFF) {
        char text[8];
        std::snprintf(text, sizeof text, "#%02X", static_cast<unsigned>(vk));
        return text;
    }
    return "(none)";  // a code no key has: the setting cannot be pressed
}

namespace {

std::string codeName(int vk) { return noKeyHasCode(vk) ? "(none)" : keyName(vk); }

// The keys of a setting with a stand-in: the stand-in, and the letter or
// digit when the setting is one; "(none)" for a code no key has.
std::string withLetter(const std::string& standIn, int vk) {
    if (noKeyHasCode(vk)) return "(none)";
    return isLetterOrDigitCode(vk) ? standIn + " " + keyForCode(vk) : standIn;
}

// A stand-in on the help line: its key, or "(none)" for a dead code.
std::string standIn(const char* key, int vk, const char* what) {
    return std::string(noKeyHasCode(vk) ? "(none)" : key) + " " + what + "  ";
}

// Two stand-ins that share a word while both work ("[ ] prev/next").
std::string standInPair(const char* keys, const char* what, const char* keyA, int vkA, const char* whatA,
                        const char* keyB, int vkB, const char* whatB) {
    if (!noKeyHasCode(vkA) && !noKeyHasCode(vkB)) return std::string(keys) + " " + what + "  ";
    return standIn(keyA, vkA, whatA) + standIn(keyB, vkB, whatB);
}

}  // namespace

std::vector<KeyHelpRow> keyTable(const KeyConfig& c) {
    return {
        {"x", "start", keyName(kVkStart)},
        {withLetter("space", c.pause), "pause/resume", codeName(c.pause)},
        {withLetter("BkSp Del", c.stop), "stop", codeName(c.stop)},
        {withLetter("[", c.previous), "previous", codeName(c.previous)},
        {withLetter("]", c.next), "next", codeName(c.next)},
        {withLetter("Left", c.rewind), "back 2 s", codeName(c.rewind)},
        {withLetter("Right", c.forward), "forward 2 s", codeName(c.forward)},
        {withLetter("+ = Up", c.volumeUp), "volume up", codeName(c.volumeUp)},
        {withLetter("- Down", c.volumeDown), "volume down", codeName(c.volumeDown)},
        {keyForCode(c.display), "panel on/off", codeName(c.display)},
        {keyForCode(c.random), "random order", codeName(c.random)},
        {keyForCode(c.enableUrl), "stream/songs", codeName(c.enableUrl)},
        {"F10 *", "songs.txt", "RCONTROL+F10"},
        {"a-z 0-9", "that key", "its code"},
        {"#HH", "any code", "hex, e.g. #B3"},
        {"F2", "in/out car", "world"},
        {"F3", "next car", "world"},
        {"F4", "pause menu", "world"},
        {"F5", "cutscene", "world"},
        {"F6", "radio retune", "world"},
        {"F7", "control", "world"},
        {"F1 ?", "this help", "host"},
        {"F12 ^C", "quit", "host"},
    };
}

std::string keyHelpLine(const KeyConfig& c) {
    return "F1 keys  F12 quit  x start  " + standIn("space", c.pause, "pause") + standIn("BkSp", c.stop, "stop") +
           standInPair("[ ]", "prev/next", "[", c.previous, "prev", "]", c.next, "next") +
           standInPair("+/-", "vol", "+", c.volumeUp, "vol+", "-", c.volumeDown, "vol-") +
           standInPair("Left/Right", "seek", "Left", c.rewind, "back", "Right", c.forward, "fwd") +
           keyForCode(c.display) + " panel  " + keyForCode(c.random) + " random  " + keyForCode(c.enableUrl) +
           " url  F10 list  F2 car  F3 next car  F4 menu  F5 cutscene  F6 retune  F7 control";
}

}  // namespace kestro::host
