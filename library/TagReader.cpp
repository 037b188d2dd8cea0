#include "library/TagReader.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "library/SongTable.h"
#include "platform/tags/MediaTags.h"
#include "platform/files/Paths.h"
#include "platform/system/Text.h"
#include "plugin/PlayerState.h"
#include "settings/Settings.h"

namespace kestro {

namespace {

// The year field holds at most five bytes and the terminator.
constexpr std::size_t kYearBytes = kYearSize - 1;

constexpr std::uint64_t kHundredNsPerSecond = 10000000u;

// Steps 2 to 7 for the file at `path`, into `entry` (none: nothing is
// written into the table).
void readInto(const char* path, SongEntry* entry) {
    // 2.-3. Create the reader and open the file; the result is not examined
    // (a file that cannot be opened has every attribute missing).
    std::string mapped;
    platform::mapPath(path, mapped);
    platform::MediaTags reader;
    reader.setXiphFormats(extraFormatsOn());
    reader.open(mapped.c_str());

    // 4. "Duration" into an 8-byte buffer; the result is not examined: when
    // it cannot be read the buffer keeps 0, so durationMs becomes 1000.
    std::uint64_t duration = 0;
    std::size_t durationLength = sizeof duration;
    reader.getAttributeByName("Duration", &duration, durationLength);
    const auto seconds = static_cast<std::uint32_t>(duration / kHundredNsPerSecond);
    if (entry) {
        // 32-bit signed arithmetic as the platform does it (wrapping),
        // computed unsigned to keep it defined.
        entry->durationMs = static_cast<std::int32_t>((seconds + 1u) * 1000u);
    }

    // 5. Empty the now-playing texts, in this order.
    playerState.nowTitle[0] = '\0';
    playerState.nowArtist[0] = '\0';
    playerState.nowAlbum[0] = '\0';
    playerState.nowYear[0] = '\0';

    // 6. The four texts.
    static const char* const kNames[] = {"Title", "Author", "WM/AlbumTitle", "WM/Year"};
    for (int i = 0; i < 4; ++i) {
        std::size_t length = 0;
        if (reader.getAttributeByName(kNames[i], nullptr, length) != platform::AttributeStatus::Ok ||
            length == 0) {
            continue;
        }
        std::unique_ptr<char[]> text(new (std::nothrow) char[length]);
        if (!text) continue;
        if (reader.getAttributeByName(kNames[i], text.get(), length) != platform::AttributeStatus::Ok ||
            length == 0) {
            continue;
        }
        text[length - 1] = '\0';  // the text ends at its first NUL in any case
        if (!entry) continue;
        switch (i) {
            case 0:
                platform::copyUtf8Cut(entry->fullTitle, sizeof entry->fullTitle, text.get(), sizeof entry->fullTitle);
                platform::copyUtf8Cut(entry->title, sizeof entry->title, text.get(), ShortTagChars);
                break;
            case 1: platform::copyUtf8Cut(entry->artist, sizeof entry->artist, text.get(), ShortTagChars); break;
            case 2: platform::copyUtf8Cut(entry->album, sizeof entry->album, text.get(), ShortTagChars); break;
            case 3: platform::copyUtf8Cut(entry->year, sizeof entry->year, text.get(), kYearBytes); break;
        }
    }
    // 7. The reader is released when it goes out of scope.
}

}  // namespace

void readTags() {
    // 1. The path, in a text of the field's own size, so that no path the
    // table holds is cut. A Windows-style path (a shortcut's target) is
    // read through the drive map.
    char path[kPathSize];
    path[0] = '\0';
    if (const SongEntry* song = playerState.currentSong) {
        std::size_t n = strnlen(song->path, kPathSize - 1);
        std::memcpy(path, song->path, n);
        path[n] = '\0';
    }

    SongEntry* entry = songCount >= 0 && songCount < MaxSongs ? &SongTable[songCount] : nullptr;

    // No exception leaves the tag reader: the reader already turns its own
    // into "nothing read", and anything else (an allocation here) gives the
    // same result as a file that cannot be read: no texts written, the
    // length of an unreadable duration, the now-playing texts emptied.
    try {
        readInto(path, entry);
        return;
    } catch (...) {
    }
    if (entry) entry->durationMs = 1000;  // (0 whole seconds + 1) x 1000
    playerState.nowTitle[0] = '\0';
    playerState.nowArtist[0] = '\0';
    playerState.nowAlbum[0] = '\0';
    playerState.nowYear[0] = '\0';
}

}  // namespace kestro
