#include "library/LibraryScan.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "library/ShortcutResolver.h"
#include "library/SongTable.h"
#include "library/TagReader.h"
#include "platform/Paths.h"
#include "plugin/PlayerState.h"
#include "scripthook/ScriptHook.h"
#include "settings/Settings.h"

namespace kestro {

namespace {

enum class WalkKind { Plain, FollowShortcuts };

struct ScanPass {
    const char* ext;
    WalkKind kind;
};

constexpr ScanPass kSongsPasses[] = {
    {"mp3", WalkKind::Plain}, {"wma", WalkKind::Plain}, {"wav", WalkKind::Plain},
    {"aif", WalkKind::Plain}, {"au", WalkKind::Plain},  {"lnk", WalkKind::FollowShortcuts},
    {"m4a", WalkKind::FollowShortcuts},
};

constexpr ScanPass kShortcutPasses[] = {
    {"mp3", WalkKind::Plain}, {"wma", WalkKind::Plain}, {"wav", WalkKind::Plain},
    {"iff", WalkKind::Plain}, {"au", WalkKind::Plain},  {"lnk", WalkKind::FollowShortcuts},
    {"m4a", WalkKind::FollowShortcuts},
};

constexpr std::size_t kRootSize = 1024;
constexpr std::size_t kShortcutPathSize = 4096;

// The ShortCutDir text, held in an entry-shaped record so that currentSong
// may point at it while the scan resolves the folder shortcut.
SongEntry shortcutDirEntry;

// Folders on the walk's current path, by device and inode: a folder that is
// its own ancestor (through a symbolic link) is never entered again.
struct FolderId {
    dev_t dev;
    ino_t ino;
};
std::vector<FolderId> folderPath;

ReadDirFunction readDirectory = &readdir;

void copyBounded(char* dest, std::size_t capacity, const char* src) {
    std::size_t n = std::strlen(src);
    if (n > capacity - 1) n = capacity - 1;
    std::memcpy(dest, src, n);
    dest[n] = '\0';
}

const char* extensionOf(const char* name) {
    const char* dot = std::strrchr(name, '.');
    return dot ? dot + 1 : name;
}

bool isShortcutName(const char* name) {
    std::size_t n = std::strlen(name);
    return n >= 4 && std::strcmp(name + n - 4, ".lnk") == 0;
}

bool onFolderPath(const struct stat& st) {
    for (const FolderId& id : folderPath)
        if (id.dev == st.st_dev && id.ino == st.st_ino) return true;
    return false;
}

// True when the file starts like a shell link (header size 0x4C and the
// shell-link class identifier).
bool startsLikeShellLink(const char* path) {
    static const unsigned char kHeader[20] = {0x4C, 0x00, 0x00, 0x00, 0x01, 0x14, 0x02,
                                              0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x00,
                                              0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
    FILE* f = std::fopen(path, "rb");
    if (!f) return false;
    unsigned char head[20];
    bool match = std::fread(head, 1, sizeof head, f) == sizeof head &&
                 std::memcmp(head, kHeader, sizeof head) == 0;
    std::fclose(f);
    return match;
}

// The add protocol: path into entry songCount, currentSong at it, tags, count.
void addSong(const char* path) {
    SongEntry& entry = SongTable[songCount];
    copyBounded(entry.path, sizeof entry.path, path);
    playerState.currentSong = &entry;
    readTags();
    ++songCount;
}

void addShortcutMatch(const char* path, const char* ext) {
    SongEntry& entry = SongTable[songCount];
    copyBounded(entry.path, sizeof entry.path, path);
    playerState.currentSong = &entry;
    resolveShortcut(path);
    if (shortcutTargetExists() && !shortcutTargetIsFolder()) {
        copyBounded(entry.path, sizeof entry.path, shortcutTarget);
        playerState.currentSong = &entry;
        readTags();
    } else if (std::strcmp(ext, "m4a") == 0 && !startsLikeShellLink(path)) {
        // An m4a file found by this pass is an ordinary song: it gets its tags.
        readTags();
    }
    ++songCount;
}

int walk(const std::string& root, const char* ext, bool recurse, WalkKind kind) {
    DIR* dir = opendir(root.c_str());
    if (dir == nullptr) return 0;
    struct stat rootStat;
    bool tracked = fstat(dirfd(dir), &rootStat) == 0;
    if (tracked) folderPath.push_back({rootStat.st_dev, rootStat.st_ino});

    int result = 0;
    for (;;) {
        errno = 0;
        struct dirent* de = readDirectory(dir);
        if (de == nullptr) {
            result = errno;
            break;
        }
        const char* name = de->d_name;
        if (name[0] == '.') continue;
        std::string path = root;
        path += '/';
        path += name;

        bool isFolder = de->d_type == DT_DIR;
        struct stat st;
        if (de->d_type == DT_LNK || de->d_type == DT_UNKNOWN || isFolder) {
            isFolder = stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
            // A symbolic link named "*.lnk" is a shortcut, like a shell-link
            // file: a file entry, even when it points at a folder.
            if (isFolder && de->d_type != DT_DIR && isShortcutName(name)) isFolder = false;
        }
        if (isFolder) {
            if (!recurse || onFolderPath(st)) continue;
            int sub = walk(path, ext, recurse, kind);
            if (sub != 0) {
                result = sub;
                break;
            }
            continue;
        }
        if (std::strcmp(extensionOf(name), ext) != 0) continue;
        if (songCount >= MaxSongs) continue;  // full table: dropped silently
        if (kind == WalkKind::Plain)
            addSong(path.c_str());
        else
            addShortcutMatch(path.c_str(), ext);
    }
    closedir(dir);
    if (tracked) folderPath.pop_back();
    return result;
}

int runPasses(const char* root, const ScanPass (&passes)[7]) {
    for (const ScanPass& pass : passes) {
        int rc = pass.kind == WalkKind::Plain ? walkFolder(root, pass.ext, true)
                                              : walkShortcutFolder(root, pass.ext, true);
        if (rc != 0) return rc;
    }
    return 0;
}

}  // namespace

void setScanReadDir(ReadDirFunction function) { readDirectory = function ? function : &readdir; }

int walkFolder(const char* root, const char* ext, bool recurse) {
    if (root == nullptr || ext == nullptr) return 0;
    return walk(root, ext, recurse, WalkKind::Plain);
}

int walkShortcutFolder(const char* root, const char* ext, bool recurse) {
    if (root == nullptr || ext == nullptr) return 0;
    return walk(root, ext, recurse, WalkKind::FollowShortcuts);
}

void scanLibrary() {
    songCount = 0;
    lastSongIndex = 0;
    folderPath.clear();

    char shortcutDir[kSettingTextSize];
    readShortcutDirSetting(shortcutDir);

    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr) cwd[0] = '\0';
    char songsRoot[kRootSize];
    std::snprintf(songsRoot, sizeof songsRoot, "%s/Songs", cwd);

    if (runPasses(songsRoot, kSongsPasses) != 0) return;

    if (shortcutDir[0] == '\0') {
        Log::Info("No Shortcutdir in ini");
    } else {
        copyBounded(shortcutDirEntry.path, sizeof shortcutDirEntry.path, shortcutDir);
        playerState.currentSong = &shortcutDirEntry;
        char shortcutPath[kShortcutPathSize];
        std::snprintf(shortcutPath, sizeof shortcutPath, "%s/Songs/%s.lnk", cwd, shortcutDir);
        resolveShortcut(shortcutPath);
        if (!shortcutTargetExists()) {
            Log::Info("ShortCut Does Not Exist, check ini.");
        } else if (!shortcutTargetIsFolder()) {
            Log::Info("Shortcut Is Not A Directory %s", shortcutDir);
        } else {
            // Later resolutions overwrite shortcutTarget: walk a copy, on
            // this file system.
            std::string root;
            platform::mapPath(shortcutTarget, root);
            if (runPasses(root.c_str(), kShortcutPasses) != 0) return;
        }
    }

    lastSongIndex = songCount - 1;
    playerState.rescanPending = 0;
}

}  // namespace kestro
