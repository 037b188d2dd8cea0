#include "platform/audio/mpv/SongFormats.h"

#include <fcntl.h>
#include <unistd.h>

#include "platform/tags/MediaTagsXiph.h"

namespace kestro::platform {

const char* songLavfOptions(bool extraFormats) {
    return extraFormats ? "format_whitelist=[mp3,asf,wav,aiff,au,mov,flac,ogg],protocol_whitelist=file"
                        : "format_whitelist=[mp3,asf,wav,aiff,au,mov],protocol_whitelist=file";
}

bool extraExtensionAdmitted(bool extraFormats, std::string_view name) {
    return extraFormats && mediatags::xiphFormatNamed(name) != MediaFormat::Unknown;
}

bool extraSongAdmitted(bool extraFormats, std::string_view name, const unsigned char* start, long n,
                       long tagBytes) {
    return extraExtensionAdmitted(extraFormats, name) &&
           mediatags::xiphSongFormat(name, start, n, tagBytes) != MediaFormat::Unknown;
}

AudioFileKind sniffSongFile(bool extraFormats, const char* path) {
    const int fd = path ? ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY) : -1;
    if (fd < 0) return {};
    const AudioFileKind kind = inspectSongFile(fd, path, extraFormats).kind;
    ::close(fd);
    return kind;
}

}  // namespace kestro::platform
