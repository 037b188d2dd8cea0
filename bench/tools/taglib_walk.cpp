// The reference of the scan benchmark: one walk of a folder tree that reads
// the tags and the length of every file with stock TagLib (FileRef, its own
// file stream), as a TagLib-only music library would.
//
//   taglib_walk FOLDER
//
// Prints the number of files, how many TagLib could read, and a checksum of
// what it read (so that nothing is optimised away).
#include <dirent.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "bench/tools/Walk.h"

#include <taglib/fileref.h>
#include <taglib/tag.h>

namespace {

std::uint64_t files = 0, readable = 0, checksum = 0;

void readOne(const std::string& path) {
    ++files;
    TagLib::FileRef f(path.c_str(), true, TagLib::AudioProperties::Average);
    if (f.isNull()) return;
    ++readable;
    if (TagLib::Tag* t = f.tag()) {
        checksum += t->title().to8Bit(true).size() + t->artist().to8Bit(true).size() +
                    t->album().to8Bit(true).size() + t->year();
    }
    if (TagLib::AudioProperties* p = f.audioProperties()) {
        checksum += static_cast<std::uint64_t>(p->lengthInMilliseconds());
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    walkFiles(argv[1], readOne);
    std::printf("files %llu readable %llu checksum %llu\n", static_cast<unsigned long long>(files),
                static_cast<unsigned long long>(readable), static_cast<unsigned long long>(checksum));
    return 0;
}
