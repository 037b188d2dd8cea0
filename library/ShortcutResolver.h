// Shortcut resolution: turns the path of a shortcut file into the path of
// its target, in the one shared result text `shortcutTarget`.
#pragma once

#include "library/SongTable.h"

namespace kestro {

// As long as the song table's path field: a target is stored in an entry
// as it stands. (The original platform's 259-character limit would drop the
// deeper paths of this platform.)
inline constexpr int kShortcutTargetSize = kPathSize;

// The target of the most recent resolution, UTF-8, at most 2047 bytes and a
// NUL; empty after a failed one, and after a target too long for it (which
// therefore counts as missing: a cut path could name another file). Callers
// read it right after resolving; the next resolution overwrites it.
extern char shortcutTarget[kShortcutTargetSize];

// Resolves the shortcut at `path` (a path of this system, e.g.
// "/games/x/Songs/Music.lnk", or a platform path such as "Z:\\x\\a.lnk",
// which is reached through the drive map): a Windows shortcut file, or a
// symbolic link named "*.lnk". Empties `shortcutTarget` first. Returns 0 on success (the
// target may still be empty when the link names no file-system object) and
// a negative status on failure, with `shortcutTarget` empty.
int resolveShortcut(const char* path);

// True when `shortcutTarget`, mapped through the drive map, names an
// existing file-system object; false for the empty text.
bool shortcutTargetExists();

// True when `shortcutTarget` names an existing folder (symbolic links
// followed).
bool shortcutTargetIsFolder();

}  // namespace kestro
