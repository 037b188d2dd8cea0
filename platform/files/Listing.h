// The folder listing of the original platform, on POSIX.
//
// The original platform's usual volume lists a folder in name order without
// regard to case: names compared code unit by code unit after upper-casing.
// readdir gives whatever order the file system keeps (hash order on ext4,
// reversed on tmpfs), which would scramble every album that is played in
// order. So a listing here is read whole, then delivered in that order:
// names upper-cased (ASCII, Latin-1, Latin Extended-A, Greek and Cyrillic
// letters; other characters as they are) and compared as UTF-16 code units,
// ties broken by the raw bytes so the order is total. The same tree gives
// the same order on every file system.
//
// An entry is a folder when the object it names (symbolic links followed) is
// a folder, except that a symbolic link whose name ends in ".lnk" (any case)
// is a file: it is a shortcut, as a shell-link file is.
//
// A seam (installed as platform/system/Seam.h says): setDirectoryReader,
// the entry read under every listing (readdir by default), so that tests can
// make a listing fail part-way.
#pragma once

#include <dirent.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kestro::platform {

struct ListedEntry {
    std::string name;
    bool folder = false;
};

// Identity of a folder on this system (device and inode, symbolic links
// followed): the same folder reached by two paths has one identity.
struct FolderIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FolderIdentity&) const = default;
};

struct FolderIdentityHash {
    std::size_t operator()(const FolderIdentity& id) const {
        return std::hash<std::uint64_t>()(static_cast<std::uint64_t>(id.inode) * 0x9E3779B97F4A7C15ull ^
                                          static_cast<std::uint64_t>(id.device));
    }
};

enum class ListingStatus {
    Complete,    // every entry was read
    Failed,      // the listing ended with an error after the entries given
    CannotOpen,  // the folder does not exist, is no folder, or is refused
};

struct ListingResult {
    ListingStatus status = ListingStatus::CannotOpen;
    int error = 0;  // errno of a Failed listing
    FolderIdentity identity;
};

// Which entries to keep: called with each name (never "." or "..") and
// whether it is a folder. Entries not kept are never stored, so a folder of
// a million files that match nothing costs no memory.
using ListingFilter = std::function<bool(std::string_view name, bool folder)>;

// Lists the folder at `path` (a path of this system) into `entries`, in the
// platform's order. With a null filter every entry is kept. A failed listing
// keeps the entries read before the error, in order, and reports the error
// after them.
ListingResult listFolder(const char* path, const ListingFilter& filter, std::vector<ListedEntry>& entries);

// The platform's order of two names: negative, 0 or positive.
int compareNamesPlatformOrder(std::string_view a, std::string_view b);

// True when the names are equal without regard to case (the comparison
// above without the tie-break).
bool namesEqualNoCase(std::string_view a, std::string_view b);

// Finds the entry of `folder` named `name`: the exact name when it exists,
// else the first entry (in the platform's order) whose name equals it
// without regard to case. Returns false when there is none.
bool findNameNoCase(const std::string& folder, std::string_view name, std::string& found);

// The entry read of a listing. Its contract:
//   - Threads: next() runs on the thread that lists (the plug-in's script
//     thread, in the scan), one call at a time.
//   - Blocking: as a read of the folder does (the scan waits for the disk by
//     design; it runs only when asked for).
//   - Results: as readdir: the next entry; null with errno 0 at the end;
//     null with errno set when the read failed.
//   - Ownership: the entry belongs to `dir`, valid until the next call; the
//     listing opens and closes `dir`. The seam owns the reader.
class DirectoryReader {
public:
    virtual ~DirectoryReader() = default;
    virtual struct dirent* next(DIR* dir) = 0;
};

// Null: readdir.
void setDirectoryReader(std::shared_ptr<DirectoryReader> reader);

}  // namespace kestro::platform
