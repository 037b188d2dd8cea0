// The MCI song device on libmpv: an MciInterpreter that understands the
// command strings the plug-in sends and plays one file at a time.
//
//   open PATH alias NAME            PATH bare, or in double quotes when it
//                                   holds blanks; a Windows path from a
//                                   shortcut goes through the drive map
//   set NAME time format milliseconds|ms
//   set NAME seek exactly on|off
//   status NAME length|position|volume [wait]
//   play NAME [from MS]    pause NAME    resume NAME
//   setaudio NAME volume to LEVEL   (0 to 1000, 1000 = unity gain)
//   close NAME
//
// Verbs, keywords and the alias compare without regard to case. Replies are
// decimal text cut to the caller's buffer. Only "open" waits (for the file
// to load and its length to be known, at most kOpenTimeoutMs); every other
// command posts its libmpv work to the engine's back-end thread or answers
// from the values that thread published, and never takes a lock that a
// libmpv thread (or the back-end thread, for longer than a copy) holds.
#pragma once

#include <memory>
#include <utility>
#include <vector>

#include "platform/audio/Mci.h"
#include "platform/audio/mpv/MpvEngine.h"

namespace kestro::platform {

inline constexpr int kOpenTimeoutMs = 2000;

// The options the song core adds to the shared ones (name, value): it plays
// the one local file it is given, as audio. No reference in a file is
// followed (playlists, EDL, CUE, archives), only libavformat's demuxers of
// the accepted formats are probed and it opens no protocol but the local
// file (docs/audio.md says which option stops what). `extraFormats`: FLAC,
// Ogg Vorbis and Opus as well (SongFormats.h).
std::vector<std::pair<const char*, const char*>> mpvSongOptions(bool extraFormats = false);

// A new song device on `output` (one libmpv core, made now). When libmpv
// cannot be set up the device still exists: it answers every command with
// MCIERR_CANNOT_LOAD_DRIVER, and the reason was reported once through the
// diagnostics sink. `extraFormats` is the ExtraFormats setting of the game
// folder's Kestro.ini, as the host read it (SongFormats.h says what it adds).
std::shared_ptr<MciInterpreter> makeMpvMciDevice(const AudioOutput& output, bool extraFormats = false);

}  // namespace kestro::platform
