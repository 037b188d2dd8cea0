// The readers' part of the song device's check of a file (MediaTags.h:
// sniffAudioFile, inspectSongFile), over a stream that is already open.
#pragma once

#include "platform/tags/MediaTags.h"

namespace kestro::platform {

class FastFileStream;

namespace mediatags {

// What sniffAudioFile says of the file `s` reads.
AudioFileKind sniffAudioStream(FastFileStream& s);

}  // namespace mediatags
}  // namespace kestro::platform
