#include "library/Catalogue.h"

#include <cstdio>
#include <cstring>

#include "game/Natives.h"
#include "library/ExtensionGroups.h"
#include "library/ShortcutResolver.h"
#include "library/SongTable.h"

namespace kestro {

namespace {

void put(FILE* f, const char* text) {
    if (f) std::fputs(text, f);
}

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

void writeCatalogue() {
    FILE* f = std::fopen(kCatalogueFile, "wb");
    static char buffer[1 << 16];
    if (f) std::setvbuf(f, buffer, _IOFBF, sizeof buffer);

    put(f, "Title |Time |Artist |Album |Year |Filename\r\n");
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
        put(f, e.title);
        put(f, " |");
        put(f, time);
        put(f, " |");
        put(f, e.artist);
        put(f, " |");
        put(f, e.album);
        put(f, " |");
        put(f, e.year);
        put(f, " |");
        put(f, e.path);
        put(f, "\r\n");
    }
    char total[1000];
    FormatText1000(total, "%i", songCount - invalidShortcuts);
    put(f, "Total Songs: ");
    put(f, total);
    if (f) std::fclose(f);
}

}  // namespace kestro
