// The extension rules that decide what an entry of the song table is, side
// by side. They are deliberately different lists, each exact and
// case-sensitive, because each caller has its own history of what it
// accepts:
//
//   - the scan's passes compare the whole extension with one lower-case text
//     ("mp3", "lnk", ...; library/LibraryScan.cpp);
//   - the catalogue takes an entry as a shortcut when its path ends in one of
//     four spellings of "lnk";
//   - song start looks at the last four characters for a shortcut, then at
//     the last three for its timing group; its "three-character shortcut"
//     group and the shortcut part of its unable-to-play list differ in one
//     spelling ("lNK" against "lNk").
//
// With ExtraFormats on, song start also takes a path whose extension (as the
// scan's passes take it, of the last path component) is exactly "flac",
// "ogg" or "opus" as MP3 is taken.
//
// Keep them apart: merging them would change which files play, how they are
// timed and what the catalogue counts.
#pragma once

#include <cstring>
#include <initializer_list>
#include <string_view>

namespace kestro {

// True when the last `tail.size()` characters of `path` equal one of
// `texts` exactly.
inline bool pathEndsWithOneOf(std::string_view path, std::initializer_list<std::string_view> texts) {
    for (std::string_view t : texts)
        if (path.size() >= t.size() && path.substr(path.size() - t.size()) == t) return true;
    return false;
}

// Catalogue: shortcut entries (last three characters).
inline bool isCatalogueShortcut(std::string_view path) {
    return pathEndsWithOneOf(path, {"LNK", "lnk", "Lnk", "LNk"});
}

// Song start: shortcut entries (last four characters).
inline bool isStartShortcut(std::string_view path) {
    return pathEndsWithOneOf(path, {".LNK", ".lnk", ".Lnk", ".LNk"});
}

// Song start: the groups of the last three characters.
inline bool inMp3Group(std::string_view tail3) { return pathEndsWithOneOf(tail3, {"MP3", "Mp3", "mp3", "mP3"}); }
inline bool inWmaGroup(std::string_view tail3) {
    return pathEndsWithOneOf(tail3, {"WMA", "WMa", "Wma", "wma", "wMa", "wmA"});
}
inline bool inM4aGroup(std::string_view tail3) { return pathEndsWithOneOf(tail3, {"M4A", "M4a", "m4a", "m4A"}); }
inline bool inShortcut3Group(std::string_view tail3) {
    return pathEndsWithOneOf(tail3, {"LNK", "lnk", "Lnk", "LNk", "lnK", "lNK"});
}
// Song start: a length of 0 for one of these is logged "Unable to Play: %s".
inline bool inUnableToPlayList(std::string_view tail3) {
    return pathEndsWithOneOf(tail3, {"AIF", "IFf", "Iff", "iff", "iFf", "ifF", "MP3", "Mp3", "mp3", "mP3",
                                     "WAV", "WAv", "Wav", "wav", "wAv", "waV", "WMA", "WMa", "Wma", "wma",
                                     "wMa", "wmA", "LNK", "LNk", "Lnk", "lnk", "lNk", "lnK"});
}

// Song start with ExtraFormats on: FLAC, Ogg Vorbis and Opus, by the whole
// extension of the last path component ("/" or "\" separates), exact and
// lower-case like the scan's passes.
inline bool inExtraFormatGroup(std::string_view path) {
    const std::size_t slash = path.find_last_of("/\\");
    if (slash != std::string_view::npos) path = path.substr(slash + 1);
    const std::size_t dot = path.rfind('.');
    const std::string_view ext = dot == std::string_view::npos ? path : path.substr(dot + 1);
    return ext == "flac" || ext == "ogg" || ext == "opus";
}

}  // namespace kestro
