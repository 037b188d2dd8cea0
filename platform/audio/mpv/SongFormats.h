// Which files the song device takes, by the ExtraFormats setting the host
// gives it when it makes the device.
//
// Off (the default): the six formats of old, each checked by its content
// (sniffAudioFile, MediaTags.h) whatever the file's name; libavformat may
// use only their demuxers.
// On: besides those, FLAC, Ogg Vorbis and Opus, each only under its own
// extension (.flac, .ogg, .opus, any case) and only when the file starts as
// that format (MediaTagsXiph.h): an Opus or Speex stream named .ogg, a FLAC
// file named .mp3 or an Ogg FLAC file named .flac is refused before libmpv
// sees it. Vorbis and Opus share libavformat's "ogg" demuxer, so the check
// of the first packet is what tells them apart.
#pragma once

#include <string_view>

#include "platform/tags/MediaTags.h"

namespace kestro::platform {

// libavformat's options of the song core: the demuxers it may probe and the
// one protocol it may open.
const char* songLavfOptions(bool extraFormats);

// True when `name`'s extension is one the setting adds (flac, ogg, opus,
// without regard to case) and the setting is on.
bool extraExtensionAdmitted(bool extraFormats, std::string_view name);

// The rule over a name and the file's first bytes after `tagBytes` bytes of
// ID3v2 tags: true when the setting admits the file as one of the formats
// it adds. (The six formats of old are the content check's, not this.)
bool extraSongAdmitted(bool extraFormats, std::string_view name, const unsigned char* start, long n,
                       long tagBytes);

// The device's check of the file at `path` (inspectSongFile with the
// setting): one of the added formats when the setting admits it, else what
// sniffAudioFile says.
AudioFileKind sniffSongFile(bool extraFormats, const char* path);

}  // namespace kestro::platform
