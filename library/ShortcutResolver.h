// Shortcut resolution: turns the path of a shortcut file into the path of
// its target, in the one shared result text `shortcutTarget`.
#pragma once

namespace kestro {

inline constexpr int kShortcutTargetSize = 260;

// The target of the most recent resolution, UTF-8, at most 259 bytes and a
// NUL; empty after a failed one. Callers read it right after resolving; the
// next resolution overwrites it.
extern char shortcutTarget[kShortcutTargetSize];

// Resolves the shortcut at `path` (a path of this system, e.g.
// "/games/x/Songs/Music.lnk"): a Windows shortcut file, or a symbolic link
// named "*.lnk". Empties `shortcutTarget` first. Returns 0 on success (the
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
