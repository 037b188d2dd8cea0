#include "library/LibraryScan.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "library/ShortcutResolver.h"
#include "library/SongTable.h"
#include "library/TagReader.h"
#include "platform/Paths.h"
#include "platform/ShellLink.h"
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
    int status = resolveShortcut(path);
    if (shortcutTargetExists() && !shortcutTargetIsFolder()) {
        copyBounded(entry.path, sizeof entry.path, shortcutTarget);
        playerState.currentSong = &entry;
        readTags();
    } else if (status == platform::kShellLinkNotALink && std::strcmp(ext, "m4a") == 0) {
        // An m4a file found by this pass is an ordinary song: it gets its tags.
        readTags();
    }
    ++songCount;
}

// One folder's listing as the platform delivered it, kept for all seven
// passes of a phase: each pass walks the same entries in the same order, so
// the table's order (all matches of pass 1, then of pass 2, ...) is the
// order of seven separate walks, without listing every folder seven times.
struct Listing {
    struct Entry {
        std::string name;
        std::unique_ptr<Listing> folder;  // set for a folder to walk into
    };
    std::vector<Entry> entries;
    int error = 0;  // the listing ended with this error after `entries`
};

// Lists `root` and, when `recurse` is set, every folder below it. Null when
// `root` cannot be listed. A listing error ends the listing there; an error
// below a folder ends its parents' listings too, as a walk would stop.
std::unique_ptr<Listing> listFolder(const std::string& root, bool recurse) {
    DIR* dir = opendir(root.c_str());
    if (dir == nullptr) return nullptr;
    auto listing = std::make_unique<Listing>();
    struct stat rootStat;
    bool tracked = fstat(dirfd(dir), &rootStat) == 0;
    if (tracked) folderPath.push_back({rootStat.st_dev, rootStat.st_ino});

    std::string path = root;
    path += '/';
    const std::size_t base = path.size();
    for (;;) {
        errno = 0;
        struct dirent* de = readDirectory(dir);
        if (de == nullptr) {
            listing->error = errno;
            break;
        }
        const char* name = de->d_name;
        if (name[0] == '.') continue;
        path.resize(base);
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
            // Folders are never added; one already on the current path (a
            // cycle) or one that cannot be listed is passed over.
            if (!recurse || onFolderPath(st)) continue;
            std::unique_ptr<Listing> sub = listFolder(path, recurse);
            if (!sub) continue;
            int subError = sub->error;
            listing->entries.push_back({name, std::move(sub)});
            if (subError != 0) break;
            continue;
        }
        listing->entries.push_back({name, nullptr});
    }
    closedir(dir);
    if (tracked) folderPath.pop_back();
    return listing;
}

// One pass over a listing: every file whose extension equals `ext` is added,
// depth first, in listing order. Returns the listing error met, or 0.
int walkListing(const Listing& listing, std::string& folder, const char* ext, WalkKind kind) {
    const std::size_t base = folder.size();
    for (const Listing::Entry& e : listing.entries) {
        folder.resize(base);
        folder += '/';
        folder += e.name;
        if (e.folder) {
            int rc = walkListing(*e.folder, folder, ext, kind);
            if (rc != 0) {
                folder.resize(base);
                return rc;
            }
            continue;
        }
        if (std::strcmp(extensionOf(e.name.c_str()), ext) != 0) continue;
        if (songCount >= MaxSongs) continue;  // full table: dropped silently
        if (kind == WalkKind::Plain)
            addSong(folder.c_str());
        else
            addShortcutMatch(folder.c_str(), ext);
    }
    folder.resize(base);
    return listing.error;
}

int walk(const char* root, const char* ext, bool recurse, WalkKind kind) {
    if (root == nullptr || ext == nullptr) return 0;
    folderPath.clear();
    std::unique_ptr<Listing> listing = listFolder(root, recurse);
    if (!listing) return 0;
    std::string folder = root;
    return walkListing(*listing, folder, ext, kind);
}

int runPasses(const char* root, const ScanPass (&passes)[7]) {
    folderPath.clear();
    std::unique_ptr<Listing> listing = listFolder(root, true);
    if (!listing) return 0;  // a root that cannot be listed: every pass ends at once
    std::string folder = root;
    for (const ScanPass& pass : passes) {
        int rc = walkListing(*listing, folder, pass.ext, pass.kind);
        if (rc != 0) return rc;
    }
    return 0;
}

}  // namespace

void setScanReadDir(ReadDirFunction function) { readDirectory = function ? function : &readdir; }

int walkFolder(const char* root, const char* ext, bool recurse) {
    return walk(root, ext, recurse, WalkKind::Plain);
}

int walkShortcutFolder(const char* root, const char* ext, bool recurse) {
    return walk(root, ext, recurse, WalkKind::FollowShortcuts);
}

void scanLibrary() {
    songCount = 0;
    lastSongIndex = 0;

    char shortcutDir[kSettingTextSize];
    readShortcutDirSetting(shortcutDir);

    // The Songs root and the shortcut path are built in texts of 1024 and
    // 4096 bytes. A working directory that cannot be read, or a path that
    // would not fit, counts as a missing folder or shortcut: a cut path
    // could name some other folder.
    char cwd[4096];
    const bool haveCwd = getcwd(cwd, sizeof cwd) != nullptr;
    const std::string songsRoot = haveCwd ? std::string(cwd) + "/Songs" : std::string();
    if (!songsRoot.empty() && songsRoot.size() < kRootSize) {
        if (runPasses(songsRoot.c_str(), kSongsPasses) != 0) return;
    }

    if (shortcutDir[0] == '\0') {
        Log::Info("No Shortcutdir in ini");
    } else {
        copyBounded(shortcutDirEntry.path, sizeof shortcutDirEntry.path, shortcutDir);
        playerState.currentSong = &shortcutDirEntry;
        const std::string shortcutPath =
            haveCwd ? std::string(cwd) + "/Songs/" + shortcutDir + ".lnk" : std::string();
        if (!shortcutPath.empty() && shortcutPath.size() < kShortcutPathSize)
            resolveShortcut(shortcutPath.c_str());
        else
            shortcutTarget[0] = '\0';
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
