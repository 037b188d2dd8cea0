#include "library/Catalogue.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "game/Natives.h"
#include "library/ExtensionGroups.h"
#include "library/ShortcutResolver.h"
#include "library/SongTable.h"
#include "platform/system/Text.h"
#include "scripthook/ScriptHook.h"

namespace kestro {

namespace {

// The catalogue goes to a new file of its own first; "songs.txt" is replaced
// by it only once every byte is written and on disk. So a failure at any
// point (a full disk, a read-only folder, a folder in the way) leaves the
// old catalogue as it was, and a link named "songs.txt" is replaced rather
// than written through.
class CatalogueFile {
public:
    ~CatalogueFile() { abandon(); }

    // Creates the temporary file beside songs.txt under a name no other file
    // has (O_EXCL; a name already taken is skipped), written through stdio.
    bool create() {
        static unsigned counter = 0;
        int fd = -1;
        for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
            std::snprintf(tempName_, sizeof tempName_, ".%s.%ld-%u.tmp", kCatalogueFile,
                          static_cast<long>(::getpid()), counter++);
            fd = ::open(tempName_, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
            if (fd < 0 && errno != EEXIST) break;
        }
        if (fd >= 0 && (file_ = ::fdopen(fd, "wb")) == nullptr) ::close(fd);
        if (file_ == nullptr) {
            if (fd >= 0) ::unlink(tempName_);
            tempName_[0] = '\0';
            return fail("cannot create a file in the game folder");
        }
        std::setvbuf(file_, buffer_, _IOFBF, sizeof buffer_);
        return true;
    }

    // Buffered; a failing write is seen by ferror at the end.
    void put(const char* text) {
        if (text != nullptr) std::fputs(text, file_);
    }

    // Writes what is left, syncs, closes and renames into place.
    bool commit() {
        if (std::fflush(file_) != 0 || std::ferror(file_) != 0) return fail("cannot write songs.txt");
        if (::fsync(::fileno(file_)) != 0) return fail("cannot write songs.txt");
        std::FILE* f = file_;
        file_ = nullptr;
        if (std::fclose(f) != 0) return fail("cannot write songs.txt");
        if (::rename(tempName_, kCatalogueFile) != 0) return fail("cannot replace songs.txt");
        tempName_[0] = '\0';
        return true;
    }

    const char* reason() const { return reason_; }

private:
    bool fail(const char* what) {
        if (reason_[0] == '\0') std::snprintf(reason_, sizeof reason_, "%s: %s", what, std::strerror(errno));
        return false;
    }

    // Closes and removes the temporary file, if there is one.
    void abandon() {
        if (file_ != nullptr) std::fclose(file_);
        file_ = nullptr;
        if (tempName_[0] != '\0') ::unlink(tempName_);
        tempName_[0] = '\0';
    }

    // One catalogue at a time runs (on the script thread): the buffer may be
    // static rather than on that thread's stack.
    static inline char buffer_[1 << 16];
    std::FILE* file_ = nullptr;
    char tempName_[96] = "";
    char reason_[256] = "";
};

}  // namespace

void formatCatalogueTime(char* dest, std::int32_t durationMs) {
    // A duration below one second (never set) would give a negative field
    // ("00:00:-1"); it shows as 00:00:00 instead.
    std::int64_t t = static_cast<std::int64_t>(durationMs) - 1000;
    if (t < 0) t = 0;
    std::int32_t s = static_cast<std::int32_t>(t / 1000);
    std::int32_t m = s / 60;
    std::int32_t h = m / 60;
    FormatText70(dest, "%02d:%02d:%02d", h % 24, m % 60, s % 60);
}

bool writeCatalogue() {
    CatalogueFile f;
    if (f.create()) {
        f.put("Title |Time |Artist |Album |Year |Filename\r\n");
        std::int32_t invalidShortcuts = 0;
        for (int i = 0; i < MaxSongs; ++i) {
            const SongEntry& e = SongTable[i];
            if (e.path[0] == '\0') continue;
            if (isCatalogueShortcut(e.path)) {
                resolveShortcut(e.path);
                if (!shortcutTargetExists() || shortcutTargetIsFolder()) ++invalidShortcuts;
                continue;
            }
            char time[70];
            formatCatalogueTime(time, e.durationMs);
            f.put(e.title);
            f.put(" |");
            f.put(time);
            f.put(" |");
            f.put(e.artist);
            f.put(" |");
            f.put(e.album);
            f.put(" |");
            f.put(e.year);
            f.put(" |");
            f.put(e.path);
            f.put("\r\n");
        }
        char total[1000];
        FormatText1000(total, "%i", songCount - invalidShortcuts);
        f.put("Total Songs: ");
        f.put(total);
        if (f.commit()) return true;
    }
    Log::Info("Song List Not Written: %s", f.reason());
    return false;
}

}  // namespace kestro
