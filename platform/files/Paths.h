// Mapping of Windows-style paths (as shortcuts store them) onto this file
// system, and the existence and folder checks the library uses.
//
// A path that starts with a drive letter and a colon ("C:\Music\a.mp3") is
// looked up in the drive map: Z: is "/" unless changed; other letters are
// set with setDriveMapping() or the environment variable KESTRO_DRIVES
// ("C=/mnt/c;D=/media/d"). Backslashes become "/". A path on an unmapped
// drive, a UNC path ("\\server\share") and the empty text map to nothing and
// so count as missing. Any other path is taken as a path of this system.
#pragma once

#include <string>

namespace kestro::platform {

// Maps `path` onto the file system; returns false (and leaves `out` empty)
// for paths that name nothing here.
bool mapPath(const char* path, std::string& out);

// Replaces the mapping of one drive letter ('A' to 'Z', either case); an
// empty root removes it. Returns false for a letter that is not one.
bool setDriveMapping(char letter, const std::string& root);
// Forgets every mapping and loads the defaults and KESTRO_DRIVES again.
void resetDriveMappings();

// True when the mapped path names an existing file-system object.
bool pathExists(const char* path);
// True when the mapped path names an existing folder (symbolic links are
// followed, as the platform's attribute query follows them).
bool pathIsFolder(const char* path);

}  // namespace kestro::platform
