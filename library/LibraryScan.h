// The library scan: fills the song table from the Songs folder of the game
// folder and from the folder that the ShortCutDir shortcut points to.
#pragma once

namespace kestro {

// Runs the whole scan (both phases, seven passes each). Clears
// rescanPending when it finishes; a listing error stops it early and leaves
// the scan pending for the next tick.
void scanLibrary();

// Walk `root` recursively, adding every file whose extension equals `ext`
// (case-sensitive). The shortcut-following walk resolves each match as a
// shortcut and adds the target instead when it is an existing file. Both
// return 0 when the walk ended normally (a root that cannot be listed
// included), else the error code of the listing failure that stopped it.
int walkFolder(const char* root, const char* ext, bool recurse);
int walkShortcutFolder(const char* root, const char* ext, bool recurse);

}  // namespace kestro
