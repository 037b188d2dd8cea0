#include "host/GameFolder.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string_view>

#include "host/Scenario.h"
#include "platform/files/Listing.h"
#include "platform/settings/Ini.h"
#include "scripthook/HookHost.h"
#include "settings/Settings.h"

#ifndef KESTRO_VERSION
#define KESTRO_VERSION "unknown"
#endif

namespace kestro::host {

namespace {

bool isDigit(char c, bool hex) {
    return (c >= '0' && c <= '9') || (hex && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')));
}

// How a value text reads as a number: whether it starts with one (after an
// optional sign) and whether it is nothing else, blanks around it aside.
void classifyNumber(std::string_view text, IntegerSetting& s) {
    const std::size_t first = text.find_first_not_of(" \t");
    text = first == std::string_view::npos ? std::string_view() : text.substr(first);
    text = text.substr(0, text.find_last_not_of(" \t") + 1);
    std::size_t i = !text.empty() && (text[0] == '+' || text[0] == '-') ? 1 : 0;
    bool hex = false;
    if (i + 2 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X') &&
        isDigit(text[i + 2], true)) {
        hex = true;
        i += 2;
    }
    s.startsWithNumber = i < text.size() && isDigit(text[i], hex);
    while (i < text.size() && isDigit(text[i], hex)) ++i;
    s.plainNumber = s.startsWithNumber && i == text.size();
}

struct KeySettingInfo {
    const char* name;
    std::int32_t KeyConfig::*field;
};

// In the order the plug-in reads them.
constexpr KeySettingInfo kKeySettings[] = {
    {"PauseKey", &KeyConfig::pause},       {"DisplayKey", &KeyConfig::display},
    {"PreviousKey", &KeyConfig::previous}, {"NextKey", &KeyConfig::next},
    {"FforwardKey", &KeyConfig::forward},  {"FrewindKey", &KeyConfig::rewind},
    {"StopKey", &KeyConfig::stop},         {"RandomKey", &KeyConfig::random},
    {"VolumeUpKey", &KeyConfig::volumeUp}, {"VolumeDownKey", &KeyConfig::volumeDown},
    {"EnableUrl", &KeyConfig::enableUrl},
};

struct FixedKey {
    const char* what;
    int vk;
};
constexpr FixedKey kFixedKeys[] = {
    {"the start key", kVkStart}, {"the catalogue's modifier", kVkRightControl}, {"the catalogue key", kVkF10}};

// The codes of the mouse buttons: a setting of 1 (a guess for "on") is the
// left button, not a key.
const char* mouseButton(std::int32_t vk) {
    switch (vk) {
    case 1: return "the left mouse button";
    case 2: return "the right mouse button";
    case 4: return "the middle mouse button";
    case 5:
    case 6: return "a side mouse button";
    default: return nullptr;
    }
}

std::string codeText(std::int32_t vk) {
    char text[48];
    std::snprintf(text, sizeof text, "code 0x%02X (%s)", static_cast<unsigned>(vk), keyName(vk).c_str());
    return text;
}

// What to write instead: the code of a single letter or digit written as
// such, else the default.
std::string hint(const IntegerSetting& s, std::int32_t defaultValue) {
    const std::string& t = s.text;
    char text[64];
    if (t.size() == 1 && ((t[0] >= 'a' && t[0] <= 'z') || (t[0] >= 'A' && t[0] <= 'Z')))
        std::snprintf(text, sizeof text, "; write %d for %c", t[0] & ~0x20, t[0] & ~0x20);
    else
        std::snprintf(text, sizeof text, "; default %d (%s)", defaultValue, keyName(defaultValue).c_str());
    return text;
}

// A value text as shown in a message: at most 32 bytes, cut at a
// character's start.
std::string shortText(const std::string& text) {
    constexpr std::size_t kMax = 32;
    if (text.size() <= kMax) return text;
    std::size_t n = kMax;
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    return text.substr(0, n) + "...";
}

}  // namespace

GameSettings::GameSettings(const std::string& path) : path_(path) {
    found_ = platform::iniReadFile(path.c_str(), content_);
}

IntegerSetting GameSettings::integer(const char* key, std::int32_t defaultValue) const {
    IntegerSetting s;
    s.value = defaultValue;
    if (!found_) return s;
    const auto text = platform::iniLookup(content_, kSettingsSection, key, &s.line);
    if (!text) {
        s.line = 0;
        return s;
    }
    s.text = *text;
    s.value = platform::iniParseInt(*text).value_or(defaultValue);
    classifyNumber(s.text, s);
    // A value of blanks only reads as the default, as a missing key does.
    if (!platform::iniParseInt(*text)) s.plainNumber = s.startsWithNumber = true;
    return s;
}

TextSetting GameSettings::text(const char* key, const char* defaultValue) const {
    TextSetting s;
    s.value = defaultValue;
    if (!found_) return s;
    if (auto text = platform::iniLookup(content_, kSettingsSection, key, &s.line))
        s.value = std::move(*text);
    else
        s.line = 0;
    return s;
}

KeySettingsReport checkKeySettings(const GameSettings& settings) {
    KeySettingsReport report;
    std::vector<std::pair<int, std::string>> found;  // by line, defaults last
    const KeyConfig defaults;
    IntegerSetting read[std::size(kKeySettings)];
    for (std::size_t i = 0; i < std::size(kKeySettings); ++i) {
        read[i] = settings.integer(kKeySettings[i].name, defaults.*kKeySettings[i].field);
        report.keys.*kKeySettings[i].field = read[i].value;
    }
    for (std::size_t i = 0; i < std::size(kKeySettings); ++i) {
        const IntegerSetting& s = read[i];
        const std::int32_t defaultValue = defaults.*kKeySettings[i].field;
        std::vector<std::string> issues;
        const bool usable = !noKeyHasCode(s.value);
        if (!s.startsWithNumber)
            issues.push_back("not a number: reads as " + std::to_string(s.value) + (usable ? "" : ", no key"));
        else if (!s.plainNumber)
            issues.push_back("reads as " + std::to_string(s.value) + " (the rest is ignored)");
        if (!usable) {
            if (s.startsWithNumber) issues.push_back("code " + std::to_string(s.value) + " is no key (keys are 1-255)");
            issues.back() += hint(s, defaultValue);
        } else if (const char* mouse = mouseButton(s.value)) {
            issues.push_back("code " + std::to_string(s.value) + " is " + mouse + ", not a key" + hint(s, defaultValue));
        }
        if (usable) {
            std::string shared;
            for (const FixedKey& f : kFixedKeys)
                if (f.vk == s.value) shared += std::string(shared.empty() ? "" : ", ") + f.what;
            for (std::size_t j = 0; j < std::size(kKeySettings); ++j)
                if (j != i && read[j].value == s.value)
                    shared += std::string(shared.empty() ? "" : ", ") + kKeySettings[j].name + "'s";
            if (!shared.empty()) issues.push_back(codeText(s.value) + " is " + shared + " too");
        }
        if (issues.empty()) continue;
        std::string line = kKeySettings[i].name;
        if (s.line > 0)
            line += "=" + shortText(s.text) + " (line " + std::to_string(s.line) + ")";
        else
            line += " (default " + std::to_string(s.value) + ")";
        for (std::size_t k = 0; k < issues.size(); ++k) line += (k == 0 ? ": " : "; ") + issues[k];
        found.emplace_back(s.line > 0 ? s.line : INT_MAX, std::move(line));
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& f : found) report.problems.push_back(std::move(f.second));
    return report;
}

namespace {

// Extensions of music files in any case, the ones the plug-in plays and a
// few it does not: a folder holding them is somebody's music.
bool looksLikeMusic(const std::filesystem::path& file) {
    std::string ext = file.extension().string();
    for (char& c : ext) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    for (const char* e : {".mp3", ".wma", ".wav", ".aif", ".aiff", ".au", ".m4a", ".flac", ".ogg", ".opus"})
        if (ext == e) return true;
    return false;
}

// Whether the folder or its direct subfolders hold a music file; at most
// 2000 entries are looked at, so a huge folder costs nothing noticeable.
bool holdsMusic(const std::filesystem::path& dir) {
    namespace fs = std::filesystem;
    std::error_code ec;
    int budget = 2000;
    fs::recursive_directory_iterator it(dir, fs::directory_options::skip_permission_denied, ec);
    for (; !ec && it != fs::recursive_directory_iterator() && budget-- > 0; it.increment(ec)) {
        if (it.depth() >= 1) it.disable_recursion_pending();
        if (looksLikeMusic(it->path()) && it->is_regular_file(ec)) return true;
    }
    return false;
}

}  // namespace

bool hasSongsFolder(const std::string& gameDir) {
    std::string found;
    return platform::findNameNoCase(gameDir, "Songs", found);
}

std::string songsFolderNotice(const std::string& gameDir, bool* musicHere) {
    if (musicHere) *musicHere = false;
    if (hasSongsFolder(gameDir)) return {};
    const bool music = holdsMusic(gameDir);
    if (musicHere) *musicHere = music;
    if (music)
        return "No Songs folder in " + gameDir +
               ", but music: is it your music folder? The game folder holds it as Songs (a link works: "
               "mkdir GAME && ln -s '" + gameDir + "' GAME/Songs, then --game-dir GAME)";
    return "No Songs folder in " + gameDir + ": there is nothing to play (put music into " + gameDir + "/Songs)";
}

std::string sessionLine(const std::string& gameDir) {
    char when[64] = "";
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (::localtime_r(&now, &local) != nullptr) std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S %z", &local);
    return std::string("[session] ") + when + " kestro-host " KESTRO_VERSION ", game folder " + gameDir;
}

bool appendLogLine(const std::string& path, const std::string& line) {
    const int fd = scripthook::openLogFile(path.c_str(), nullptr);
    if (fd < 0) return false;
    const std::string text = line + "\n";
    // One write: a line never interleaves with another writer's.
    const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    return ok;
}

}  // namespace kestro::host
