// libFuzzer target for the media-format reader: any byte sequence, under any
// of the accepted extensions, must read without a fault (through the same
// read windows as a file), and every text it yields must be valid UTF-8.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/tags/MediaTags.h"

namespace {

bool validUtf8(const std::string& s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > s.size()) return false;
        for (std::size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += n;
    }
    return true;
}

}  // namespace

// AddressSanitizer records the call stack of every allocation, for its
// reports of a use after free. TagLib, built without frame pointers and
// without instrumentation, allocates for every small read, and the records
// of its (garbled) stacks filled a gigabyte and took 70 % of the time: 450
// inputs a second instead of 2000. The stacks of a bad access itself are
// kept; to see where a freed block came from, run the crashing input again
// with ASAN_OPTIONS=malloc_context_size=30.
extern "C" const char* __asan_default_options() { return "malloc_context_size=0"; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const char* const kNames[] = {"a.mp3", "a.wma", "a.wav", "a.aif", "a.iff", "a.au",
                                         "a.m4a", "mp3",   "a.flac", "a.ogg", "a.opus"};
    if (size == 0) return 0;
    const char* name = kNames[data[0] % 11];
    kestro::platform::MediaTags m;
    m.setXiphFormats(true);  // FLAC, Ogg Vorbis and Opus too (other names read as without it)
    m.openMemory(data + 1, size - 1, name);
    std::uint64_t d = 0;
    m.duration(d);
    std::string t;
    for (const char* attr : {"Title", "Author", "WM/AlbumTitle", "WM/Year"}) {
        if (m.text(attr, t) && (t.empty() || !validUtf8(t))) std::abort();
    }
    return 0;
}
