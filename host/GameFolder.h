// What the host looks at in the game folder before the plug-in loads, to
// explain to a person what the plug-in will silently do: its Kestro.ini
// read with the same file, section and rules as the plug-in
// (platform/settings/Ini.h) plus where each value stands and how it was
// written; whether there is a Songs folder; and the session line that the
// log gets when the host starts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/TerminalKeys.h"
#include "settings/Settings.h"

namespace kestro::host {

// One integer setting as the plug-in reads it.
struct IntegerSetting {
    std::int32_t value = 0;  // what the plug-in gets (the default when missing)
    std::string text;        // the value as written, quotes removed
    int line = 0;            // its line in the file, from 1; 0: not in the file
    bool plainNumber = true; // the text is a whole number and nothing more
    bool startsWithNumber = true;  // the text begins with a number (12abc)
};

// One text setting as the plug-in reads it.
struct TextSetting {
    std::string value;  // the default when missing
    int line = 0;
};

class GameSettings {
public:
    // Reads the file once, now (relative to the working directory).
    explicit GameSettings(const std::string& path = kSettingsFile);

    // Whether there is a file to read (a regular file, or a link to one).
    bool found() const { return found_; }
    const std::string& path() const { return path_; }

    IntegerSetting integer(const char* key, std::int32_t defaultValue) const;
    TextSetting text(const char* key, const char* defaultValue = "") const;

private:
    std::string path_;
    std::string content_;
    bool found_ = false;
};

// The key settings as read (the codes the plug-in holds), and one line for
// each key setting that cannot work as meant: a code no key has (0, or
// outside 1-255), a mouse button's code, a text that is more than a number
// (12abc reads as 12; P reads as 0), or a code that another action uses too
// (the fixed start key X and the catalogue keys right Ctrl and F10 count).
struct KeySettingsReport {
    KeyConfig keys;
    std::vector<std::string> problems;
};
KeySettingsReport checkKeySettings(const GameSettings& settings);

// Whether the folder has a "Songs" entry (found without regard to case, as
// the plug-in finds it).
bool hasSongsFolder(const std::string& gameDir);
// When the game folder has no Songs folder: what to say about it; empty
// otherwise. `musicHere` tells whether the folder itself holds music files
// (it was meant as Songs).
std::string songsFolderNotice(const std::string& gameDir, bool* musicHere = nullptr);

// "[session] 2025-03-01 14:05:09 +0100 kestro-host 1.0.0, game folder DIR":
// the line the log file gets when the host starts, so that runs can be
// told apart.
std::string sessionLine(const std::string& gameDir);
// Appends one line to a log file (a regular file only, never waiting on a
// FIFO); false when it cannot.
bool appendLogLine(const std::string& path, const std::string& line);

}  // namespace kestro::host
