#include "library/LibraryScan.h"

#include <unistd.h>

#include <cstring>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "library/ShortcutResolver.h"
#include "library/SongTable.h"
#include "library/TagReader.h"
#include "platform/files/Listing.h"
#include "platform/files/Paths.h"
#include "platform/files/ShellLink.h"
#include "platform/system/Text.h"
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

constexpr int kPassCount = 7;

constexpr ScanPass kSongsPasses[kPassCount] = {
    {"mp3", WalkKind::Plain}, {"wma", WalkKind::Plain}, {"wav", WalkKind::Plain},
    {"aif", WalkKind::Plain}, {"au", WalkKind::Plain},  {"lnk", WalkKind::FollowShortcuts},
    {"m4a", WalkKind::FollowShortcuts},
};

constexpr ScanPass kShortcutPasses[kPassCount] = {
    {"mp3", WalkKind::Plain}, {"wma", WalkKind::Plain}, {"wav", WalkKind::Plain},
    {"iff", WalkKind::Plain}, {"au", WalkKind::Plain},  {"lnk", WalkKind::FollowShortcuts},
    {"m4a", WalkKind::FollowShortcuts},
};

constexpr std::size_t kRootSize = 1024;
constexpr std::size_t kShortcutPathSize = 4096;

// The ShortCutDir text, held in an entry-shaped record so that currentSong
// may point at it while the scan resolves the folder shortcut.
SongEntry shortcutDirEntry;

// Files left out of the table because their path does not fit its field
// (a cut path could name another file). Said once per scan.
int pathsLeftOut = 0;

// The text after the last "." of a name, or the whole name without one.
std::string_view extensionOf(std::string_view name) {
    const std::size_t dot = name.rfind('.');
    return dot == std::string_view::npos ? name : name.substr(dot + 1);
}

// The root of a walk, twice: as the table stores it (for a shortcut's target
// that is the platform path it names, "Z:\music", joined with "\"), and as
// this file system reaches it (through the drive map, joined with "/").
struct WalkRoot {
    std::string stored;
    char storedSeparator = '/';
    std::string local;
};

WalkRoot localRoot(const std::string& path) { return {path, '/', path}; }

bool isDrivePath(const std::string& path) {
    return path.size() >= 2 && path[1] == ':' &&
           ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
}

// Appends `name` to a path, with `sep` unless the path already ends in it.
void join(std::string& path, char sep, const std::string& name) {
    if (path.empty() || path.back() != sep) path += sep;
    path += name;
}

// A phase's walk, listed once and kept for all its passes: a pre-order
// sequence of the folders entered and left and of the files that match one
// of the passes. Each pass runs over the same sequence in the same order, so
// the table's order (all matches of pass 1, then of pass 2, ...) is that of
// separate walks while each folder is read once. Files that match no pass,
// and folders that hold none, are never kept; each pass keeps at most
// MaxSongs files (no more can be added), so a phase's memory is bounded by
// what the table can hold, not by the size of the tree.
struct WalkNode {
    enum Kind : unsigned char { File, Enter, Leave, Error };
    Kind kind;
    signed char pass;  // File: the pass whose extension it has
    int error;         // Error: the listing error met here
    std::string name;
};

// The passes a walk serves: their extensions, in order.
struct PassSet {
    const char* ext[kPassCount];
    int count;
    int passOf(std::string_view name) const {
        const std::string_view e = extensionOf(name);
        for (int i = 0; i < count; ++i)
            if (e == ext[i]) return i;
        return -1;
    }
};

// Lists `root` and, when `recurse` is set, every folder below it, without
// recursion (a deep tree costs heap, not stack) and visiting each folder
// (device and inode) at most once, so that symbolic links forming cycles or
// many paths to one folder cost one visit. Returns false when the root
// cannot be listed. A listing error is kept where it happened and ends the
// listing there: every pass stops when it reaches it, as a walk would.
bool listTree(const WalkRoot& root, bool recurse, const PassSet& passes, std::vector<WalkNode>& nodes) {
    nodes.clear();
    struct Frame {
        std::vector<platform::ListedEntry> entries;
        std::size_t next = 0;
        std::size_t enterNode = 0;
        std::size_t pathLength = 0;
        int error = 0;
    };
    int kept[kPassCount] = {};
    auto filter = [&](std::string_view name, bool folder) {
        if (name.empty() || name[0] == '.') return false;  // hidden names are skipped
        // Below a root stored as a platform path ("Z:\\music") a name with
        // a backslash cannot be stored: the stored path would name another
        // file.
        if (root.storedSeparator == '\\' && name.find('\\') != std::string_view::npos) return false;
        if (folder) return recurse;
        const int pass = passes.passOf(name);
        return pass >= 0 && kept[pass] < MaxSongs;
    };

    std::unordered_set<platform::FolderIdentity, platform::FolderIdentityHash> visited;
    std::vector<Frame> stack;
    std::string path = root.local;
    {
        Frame top;
        platform::ListingResult r = platform::listFolder(path.c_str(), filter, top.entries);
        if (r.status == platform::ListingStatus::CannotOpen) return false;
        visited.insert(r.identity);
        top.error = r.status == platform::ListingStatus::Failed ? r.error : 0;
        top.pathLength = path.size();
        stack.push_back(std::move(top));
    }
    while (!stack.empty()) {
        Frame& f = stack.back();
        if (f.next < f.entries.size()) {
            platform::ListedEntry& e = f.entries[f.next++];
            if (!e.folder) {
                const int pass = passes.passOf(e.name);
                if (pass < 0 || kept[pass] >= MaxSongs) continue;
                ++kept[pass];
                nodes.push_back({WalkNode::File, static_cast<signed char>(pass), 0, std::move(e.name)});
                continue;
            }
            path.resize(f.pathLength);
            join(path, '/', e.name);
            Frame sub;
            platform::ListingResult r = platform::listFolder(path.c_str(), filter, sub.entries);
            // A folder that cannot be listed is passed over like a missing
            // one; a folder already visited in this phase is not walked again.
            if (r.status == platform::ListingStatus::CannotOpen || !visited.insert(r.identity).second) continue;
            sub.error = r.status == platform::ListingStatus::Failed ? r.error : 0;
            sub.pathLength = path.size();
            sub.enterNode = nodes.size();
            nodes.push_back({WalkNode::Enter, -1, 0, std::move(e.name)});
            stack.push_back(std::move(sub));
            continue;
        }
        if (f.error != 0) {
            nodes.push_back({WalkNode::Error, -1, f.error, {}});
            return true;  // nothing after an error is ever reached
        }
        const bool isRoot = stack.size() == 1;
        const std::size_t enterNode = f.enterNode;
        stack.pop_back();
        if (isRoot) break;
        if (nodes.size() == enterNode + 1)
            nodes.pop_back();  // a folder that holds nothing kept
        else
            nodes.push_back({WalkNode::Leave, -1, 0, {}});
    }
    return true;
}

// Empties an entry's texts and duration: a slot may hold an earlier scan's
// entry, and a tag missing from the new file must not keep the old value.
void clearEntry(SongEntry& entry) {
    entry.fullTitle[0] = '\0';
    entry.title[0] = '\0';
    entry.artist[0] = '\0';
    entry.album[0] = '\0';
    entry.year[0] = '\0';
    entry.durationMs = 0;
}

// The add protocol: path into entry songCount, currentSong at it, tags, count.
void addSong(const std::string& path) {
    SongEntry& entry = SongTable[songCount];
    clearEntry(entry);
    platform::copyBounded(entry.path, path);
    playerState.currentSong = &entry;
    readTags();
    ++songCount;
}

void addShortcutMatch(const std::string& path, const char* ext) {
    SongEntry& entry = SongTable[songCount];
    clearEntry(entry);
    platform::copyBounded(entry.path, path);
    playerState.currentSong = &entry;
    int status = resolveShortcut(path.c_str());
    if (shortcutTargetExists() && !shortcutTargetIsFolder()) {
        platform::copyBounded(entry.path, shortcutTarget);
        playerState.currentSong = &entry;
        readTags();
    } else if (status == platform::kShellLinkNotALink && std::strcmp(ext, "m4a") == 0) {
        // An m4a file found by this pass is an ordinary song: it gets its tags.
        readTags();
    }
    ++songCount;
}

void leaveOut(const std::string& path) {
    if (pathsLeftOut++ == 0)
        Log::Info("Path Too Long For The Song List, Left Out: %.200s...", path.c_str());
}

// One pass over a phase's kept listing: every file of pass `pass` is added,
// depth first, in listing order. Returns the listing error met, or 0.
int runPass(const std::vector<WalkNode>& nodes, const WalkRoot& root, int pass, WalkKind kind, const char* ext) {
    std::string path = root.stored;
    std::vector<std::size_t> lengths;
    for (const WalkNode& n : nodes) {
        switch (n.kind) {
            case WalkNode::Enter:
                lengths.push_back(path.size());
                join(path, root.storedSeparator, n.name);
                break;
            case WalkNode::Leave:
                path.resize(lengths.back());
                lengths.pop_back();
                break;
            case WalkNode::Error:
                return n.error;
            case WalkNode::File: {
                if (n.pass != pass || songCount >= MaxSongs) break;  // full table: dropped silently
                const std::size_t base = path.size();
                join(path, root.storedSeparator, n.name);
                if (path.size() >= static_cast<std::size_t>(kPathSize))
                    leaveOut(path);
                else if (kind == WalkKind::Plain)
                    addSong(path);
                else
                    addShortcutMatch(path, ext);
                path.resize(base);
                break;
            }
        }
    }
    return 0;
}

int runPasses(const WalkRoot& root, const ScanPass* passes, int count, bool recurse) {
    PassSet set{};
    set.count = count;
    for (int i = 0; i < count; ++i) set.ext[i] = passes[i].ext;
    std::vector<WalkNode> nodes;
    if (!listTree(root, recurse, set, nodes)) return 0;  // every pass ends at once
    for (int i = 0; i < count; ++i) {
        if (int rc = runPass(nodes, root, i, passes[i].kind, passes[i].ext); rc != 0) return rc;
    }
    return 0;
}

int walk(const char* root, const char* ext, bool recurse, WalkKind kind) {
    if (root == nullptr || ext == nullptr) return 0;
    const ScanPass pass{ext, kind};
    return runPasses(localRoot(root), &pass, 1, recurse);
}

// The folder of the working directory called "Songs", found without regard
// to case when no entry has that exact name.
std::string songsRoot(const std::string& cwd) {
    std::string name;
    if (!platform::findNameNoCase(cwd, "Songs", name)) name = "Songs";
    return cwd + "/" + name;
}

// The ShortCutDir shortcut below the Songs root: "\" and "/" both separate
// folders, and each name is found without regard to case when no entry has
// that exact name.
std::string shortcutPath(const std::string& songs, const char* shortcutDir) {
    std::string path = songs;
    std::string rest = shortcutDir;
    rest += ".lnk";
    std::size_t start = 0;
    while (start <= rest.size()) {
        std::size_t end = rest.find_first_of("\\/", start);
        if (end == std::string::npos) end = rest.size();
        const std::string component = rest.substr(start, end - start);
        start = end + 1;
        if (component.empty()) continue;
        std::string found;
        const bool exists = platform::findNameNoCase(path, component, found);
        path += '/';
        path += exists ? found : component;
    }
    return path;
}

}  // namespace

int walkFolder(const char* root, const char* ext, bool recurse) {
    return walk(root, ext, recurse, WalkKind::Plain);
}

int walkShortcutFolder(const char* root, const char* ext, bool recurse) {
    return walk(root, ext, recurse, WalkKind::FollowShortcuts);
}

void scanLibrary() {
    prepareSongTableMemory();
    songCount = 0;
    lastSongIndex = 0;
    pathsLeftOut = 0;
    struct SayLeftOut {
        ~SayLeftOut() {
            if (pathsLeftOut > 1) Log::Info("Paths Too Long For The Song List: %d Left Out", pathsLeftOut);
        }
    } sayLeftOut;

    char shortcutDir[kSettingTextSize];
    readShortcutDirSetting(shortcutDir);

    // The Songs root and the shortcut path are built in texts of 1024 and
    // 4096 bytes. A working directory that cannot be read, or a path that
    // would not fit, counts as a missing folder or shortcut: a cut path
    // could name some other folder.
    char cwd[4096];
    const bool haveCwd = getcwd(cwd, sizeof cwd) != nullptr;
    const std::string songs = haveCwd ? songsRoot(cwd) : std::string();
    if (!songs.empty() && songs.size() < kRootSize) {
        if (runPasses(localRoot(songs), kSongsPasses, kPassCount, true) != 0) return;
    }

    if (shortcutDir[0] == '\0') {
        Log::Info("No Shortcutdir in ini");
    } else {
        platform::copyBounded(shortcutDirEntry.path, shortcutDir);
        playerState.currentSong = &shortcutDirEntry;
        const std::string link = haveCwd ? shortcutPath(songs, shortcutDir) : std::string();
        if (!link.empty() && link.size() < kShortcutPathSize)
            resolveShortcut(link.c_str());
        else
            shortcutTarget[0] = '\0';
        if (!shortcutTargetExists()) {
            Log::Info("ShortCut Does Not Exist, check ini.");
        } else if (!shortcutTargetIsFolder()) {
            Log::Info("Shortcut Is Not A Directory %s", shortcutDir);
        } else {
            // Later resolutions overwrite shortcutTarget: walk a copy. The
            // table keeps the target as the path it names; the file system
            // is reached through the drive map.
            WalkRoot root;
            root.stored = shortcutTarget;
            root.storedSeparator = isDrivePath(root.stored) ? '\\' : '/';
            platform::mapPath(shortcutTarget, root.local);
            if (runPasses(root, kShortcutPasses, kPassCount, true) != 0) return;
        }
    }

    lastSongIndex = songCount - 1;
    playerState.rescanPending = 0;
}

}  // namespace kestro
