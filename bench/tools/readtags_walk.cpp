// A driver of Kestro's tag reader alone, for tuning it before (and beside)
// the full scan through the host: one walk of a folder tree that adds every
// file to the song table as the scan's add protocol does (path, currentSong,
// readTags, songCount + 1).
//
//   readtags_walk FOLDER [media]
//
// With "media", only platform::MediaTags is used (open and the five
// attributes), without the song table. Prints counts, the system calls of
// the readers' file streams per file, and a checksum.
#include <dirent.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "bench/tools/Walk.h"

#include "library/SongTable.h"
#include "library/TagReader.h"
#include "platform/tags/MediaTags.h"
#include "plugin/PlayerState.h"

namespace {

bool mediaOnly = false;
std::uint64_t files = 0, checksum = 0;

void add(const std::string& path) {
    ++files;
    if (mediaOnly) {
        kestro::platform::MediaTags m;
        m.open(path.c_str());
        std::uint64_t d = 0;
        std::string t;
        if (m.duration(d)) checksum += d / 10000;
        for (const char* name : {"Title", "Author", "WM/AlbumTitle", "WM/Year"})
            if (m.text(name, t)) checksum += t.size();
        return;
    }
    if (kestro::songCount >= kestro::MaxSongs) return;
    kestro::SongEntry& e = kestro::SongTable[kestro::songCount];
    std::snprintf(e.path, sizeof e.path, "%s", path.c_str());
    kestro::playerState.currentSong = &e;
    kestro::readTags();
    checksum += static_cast<std::uint64_t>(e.durationMs) + std::strlen(e.title) + std::strlen(e.artist) +
                std::strlen(e.album) + std::strlen(e.year);
    ++kestro::songCount;
}

void walk(const std::string& root) { walkFiles(root, add); }

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3 || (argc == 3 && std::strcmp(argv[2], "media") != 0)) {
        std::fprintf(stderr, "usage: %s FOLDER [media]\n", argv[0]);
        return 2;
    }
    mediaOnly = argc == 3;
    kestro::prepareSongTableMemory();  // as the scan does
    walk(argv[1]);
    const auto c = kestro::platform::mediaIoCounters();
    std::printf("files %llu opened %llu syscalls/file %.2f KiB-read/file %.1f checksum %llu\n",
                static_cast<unsigned long long>(files), static_cast<unsigned long long>(c.files),
                files ? static_cast<double>(c.syscalls) / static_cast<double>(files) : 0.0,
                files ? static_cast<double>(c.bytesRead) / 1024.0 / static_cast<double>(files) : 0.0,
                static_cast<unsigned long long>(checksum));
    return 0;
}
