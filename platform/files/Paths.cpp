// The drive map: Windows-style paths from shortcuts onto this file system.
#include "platform/files/Paths.h"

#include <sys/stat.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace kestro::platform {
namespace {

struct DriveMap {
    std::array<std::string, 26> roots;  // index 0 is A:, empty = unmapped
    bool loaded = false;
};

DriveMap& driveMap() {
    static DriveMap map;
    return map;
}

int letterIndex(char letter) {
    if (letter >= 'A' && letter <= 'Z') return letter - 'A';
    if (letter >= 'a' && letter <= 'z') return letter - 'a';
    return -1;
}

// Reads KESTRO_DRIVES: entries "L=/path" (or "L:=/path") separated by ';'.
// An entry with an empty path removes that letter; malformed entries are
// passed over.
void loadEnvironment(DriveMap& map) {
    const char* env = std::getenv("KESTRO_DRIVES");
    if (env == nullptr) return;
    std::string all(env);
    std::size_t start = 0;
    while (start <= all.size()) {
        std::size_t end = all.find(';', start);
        if (end == std::string::npos) end = all.size();
        std::string entry = all.substr(start, end - start);
        start = end + 1;
        if (entry.empty()) continue;
        int index = letterIndex(entry[0]);
        std::size_t eq = 1;
        if (eq < entry.size() && entry[eq] == ':') ++eq;
        if (index < 0 || eq >= entry.size() || entry[eq] != '=') continue;
        map.roots[index] = entry.substr(eq + 1);
    }
}

DriveMap& loadedMap() {
    DriveMap& map = driveMap();
    if (!map.loaded) {
        map.roots.fill(std::string());
        map.roots['Z' - 'A'] = "/";
        loadEnvironment(map);
        map.loaded = true;
    }
    return map;
}

bool statMapped(const char* path, struct stat& st) {
    std::string mapped;
    if (!mapPath(path, mapped)) return false;
    return ::stat(mapped.c_str(), &st) == 0;
}

}  // namespace

bool mapPath(const char* path, std::string& out) {
    out.clear();
    if (path == nullptr || path[0] == '\0') return false;
    // UNC and device paths ("\\server\share", "\\?\C:\x") name nothing here.
    if (path[0] == '\\' && path[1] == '\\') return false;

    int index = letterIndex(path[0]);
    if (index < 0 || path[1] != ':') {
        out = path;
        return true;
    }
    const std::string& root = loadedMap().roots[index];
    if (root.empty()) return false;

    // "C:\Music\a.mp3", "C:/Music", "C:" and the drive-relative "C:Music"
    // all name something below the drive's root.
    std::string rest(path + 2);
    for (char& c : rest) {
        if (c == '\\') c = '/';
    }
    // "." and ".." are folded the way Windows folds them, by name: ".." at
    // the drive's root stays at the root, so a target never leaves the
    // folder its drive is mapped to.
    std::vector<std::string> parts;
    std::size_t pos = 0;
    while (pos <= rest.size()) {
        std::size_t slash = rest.find('/', pos);
        if (slash == std::string::npos) slash = rest.size();
        std::string part = rest.substr(pos, slash - pos);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(std::move(part));
        }
        pos = slash + 1;
    }
    rest.clear();
    for (const std::string& part : parts) {
        if (!rest.empty()) rest += '/';
        rest += part;
    }

    std::string base = root;
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    if (rest.empty()) {
        out = base;
    } else {
        if (base == "/") base.clear();
        out = base + "/" + rest;
    }
    return true;
}

bool setDriveMapping(char letter, const std::string& root) {
    int index = letterIndex(letter);
    if (index < 0) return false;
    loadedMap().roots[index] = root;
    return true;
}

void resetDriveMappings() {
    driveMap().loaded = false;
    loadedMap();
}

bool pathExists(const char* path) {
    struct stat st;
    return statMapped(path, st);
}

bool pathIsFolder(const char* path) {
    struct stat st;
    return statMapped(path, st) && S_ISDIR(st.st_mode);
}

}  // namespace kestro::platform
