// The media-format reader that stands in for the Windows Media Format
// runtime's sync reader and header information (WMCreateSyncReader,
// IWMHeaderInfo::GetAttributeByName): it opens one audio file and gives five
// attributes by name, in the runtime's units:
//
//   "Duration"       unsigned 64-bit count of 100 ns units (8 bytes)
//   "Title", "Author", "WM/AlbumTitle", "WM/Year"
//                    texts in UTF-8 (narrow text on this platform),
//                    zero-terminated; the length counts the terminator
//
// Behind it is TagLib, fed through a file stream of our own that reads each
// file with a handful of system calls (open, fstat, one read of a bounded
// head, one read of the tail when the parser looks there, close) instead of
// TagLib's stock file stream (about 27 calls per file). The au format, which
// TagLib cannot read, is decoded here from its 24-byte header (duration only),
// and the length of an MP3 file from its frames (MediaTagsMpeg.h).
//
// Whatever its size and content, one file costs a bounded time and memory
// (tens of milliseconds and a few MB at worst): the stream has a read
// budget, what a tag may claim is capped before TagLib allocates for it, and
// no exception leaves open() (see MediaTagsStream.h and docs/tags.md).
//
// The format is chosen by the file's first bytes ("ID3" or an MPEG frame
// sync: MPEG; the ASF header GUID: ASF; "RIFF"…"WAVE": WAV; "FORM"…"AIFF" or
// "AIFC": AIFF; "ftyp" at offset 4: MP4; ".snd": au); a file whose first bytes
// match none of these is tried by its extension (case-insensitive; the text
// after the last "." of the name, or the whole name: mp3 → MPEG when a frame
// or an ID3v2 tag is found in its first 64 KiB; wma, asf → ASF; wav → WAV; aif, aiff,
// aifc, iff → AIFF; m4a, mp4 → MP4; au, snd → au); any other is unreadable.
// See docs/tags.md for the mapping of the names onto each format's tags.
//
// An attribute is "missing" when the file cannot be opened, is of no readable
// format, or has no such tag; an empty tag text counts as missing. "Duration"
// is missing when the file's audio properties cannot be read (an MPEG file in
// which no frame is found near its start, for instance).
//
// One reader per file, as the runtime's reader: construct, open, ask, drop.
// Not thread-safe (the plug-in uses it on the script thread only).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <sys/types.h>

namespace kestro::platform {

class FastFileStream;  // the file stream handed to TagLib (MediaTags.cpp)
struct SongFileFacts;

// Flac, OggVorbis and OggOpus only for a reader told to take them
// (setXiphFormats; MediaTagsXiph.h says when a file is one of them).
enum class MediaFormat { Unknown, Mpeg, Asf, Wav, Aiff, Mp4, Au, Flac, OggVorbis, OggOpus };

// The results of getAttributeByName, in the runtime's terms.
enum class AttributeStatus {
    Ok,              // value written (or, with no buffer, its length given)
    NotFound,        // no such attribute in this file, or no file open
    BufferTooSmall,  // `length` now holds the length needed
};

class MediaTags {
public:
    MediaTags();
    ~MediaTags();
    MediaTags(const MediaTags&) = delete;
    MediaTags& operator=(const MediaTags&) = delete;

    // Opens the file at `path` (UTF-8), reads what it holds and closes the
    // file again before returning. True when anything was read (the duration
    // or a tag text); false when the file cannot be opened, is not a regular
    // file, is of no readable format, or holds nothing readable (a text file
    // named .mp3). On false every attribute is missing. A reader can be opened again; each open forgets the
    // previous file.
    bool open(const char* path);

    // The same for a file held in memory (fuzzing, tests); `nameHint` gives
    // the extension used when the first bytes decide nothing.
    bool openMemory(const void* data, std::size_t size, const char* nameHint);

    MediaFormat format() const { return format_; }

    // Whether later opens take FLAC, Ogg Vorbis and Opus files (off: they
    // are read as before, by their first bytes, which none of the formats
    // above has).
    void setXiphFormats(bool on) { xiphFormats_ = on; }

    // True when the last open met one of the limits that bound what a file
    // may cost (the read budget, a cap on what a tag may claim; see
    // docs/tags.md) or failed on an exception: what it read may be
    // incomplete.
    bool limited() const { return limited_; }

    // The runtime's query: `value` may be null to learn the length in bytes.
    // On Ok with a buffer, `length` bytes were written. "Duration" needs 8
    // bytes (a native-endian std::uint64_t); texts need their UTF-8 bytes and
    // the terminator. Unknown names are NotFound.
    AttributeStatus getAttributeByName(const char* name, void* value,
                                       std::size_t& length) const;

    // Conveniences over getAttributeByName.
    bool duration(std::uint64_t& hundredNs) const;
    bool text(const char* name, std::string& out) const;

private:
    friend SongFileFacts inspectSongFile(int fd, const char* name, bool extraFormats);
    void reset();
    bool parse(FastFileStream& stream, const char* name);

    MediaFormat format_ = MediaFormat::Unknown;
    bool hasDuration_ = false;
    std::uint64_t duration_ = 0;  // 100 ns units
    std::string title_, author_, album_, year_;
    bool limited_ = false;
    bool xiphFormats_ = false;
};

// Counters of the system calls that the readers' file streams made (open,
// fstat, pread, close), over the life of the process. For benchmarks and
// tests; not thread-safe.
struct MediaIoCounters {
    std::uint64_t files = 0;     // files opened
    std::uint64_t syscalls = 0;  // open + fstat + pread + close
    std::uint64_t bytesRead = 0;
};
MediaIoCounters mediaIoCounters();
void resetMediaIoCounters();

// What a file's first bytes say it is as a song: the check the song device
// makes before its player is asked. The ID3v2 tags at the start are stepped
// over (by their sizes, however large: `audioStart` is where what follows
// them begins, 0 without tags); then the container is told by its signature
// (the ASF header GUID; "RIFF", "RIFX", "RF64" or "BW64" with "WAVE"; "FORM"
// with "AIFF" or "AIFC"; ".snd"; an MP4 "ftyp" box) or, for MPEG audio, by a
// frame whose successor is a frame of the same stream, within kMpegSearch
// bytes. Unknown for anything else (zeros, text, an image, a playlist) and
// for a file that cannot be read. Whatever the file's size, it searches at
// most kMpegSearch bytes after the tags (a few reads; a few hundred KiB and
// milliseconds for a file crafted against the search), through the tag
// reader's stream and its counters.
struct AudioFileKind {
    MediaFormat format = MediaFormat::Unknown;
    long audioStart = 0;
};
AudioFileKind sniffAudioFile(const char* path);

// Metadata items larger than this (a cover picture of 100 MB) are never
// handed to the player: libavformat reads such an item whole, and libmpv
// copies its pictures again.
inline constexpr long kLargestItemRead = 1L << 20;

// How the song device serves a file to its player: the bytes of up to two
// pieces of the file, one after the other, with a few 4-byte names renamed
// so that the player passes over the items they name (an m4a's 'covr' item
// read as 'free', a WAV's 'id3 ' chunk as 'JUNK'). Offsets are the file's.
struct SongFileView {
    static constexpr int kMaxPieces = 2;
    static constexpr int kMaxMasks = 16;
    struct Piece {
        off_t from = 0;
        off_t to = 0;  // exclusive
    };
    struct Mask {
        off_t offset = 0;
        char bytes[4] = {};
    };
    Piece pieces[kMaxPieces];
    int pieceCount = 0;
    Mask masks[kMaxMasks];
    int maskCount = 0;
    bool tooManyItems = false;  // more large items than masks: not served

    off_t size() const;
    // Copies up to `n` served bytes from `pos` on into `out`, read from
    // `fd` with pread; returns the count (0 at the end, -1 on an error).
    long read(int fd, off_t pos, char* out, long n) const;
};

// What the song device learns of a file before its player is asked, in one
// pass through this reader's stream over `fd` (the caller's descriptor of a
// regular file, left open): the content check of sniffAudioFile, the length
// the file's header states, and the view to serve (large tags before an
// MP3's audio and large APE tags after it, an au file's large annotation,
// large chunks of a WAV or AIFF file other than its sound data, large items
// of an m4a's metadata).
//
// The length, in ms: an MP3's Xing/Info or VBRI header, else its first
// frame's bitrate over its audio bytes (libmpv's own estimate); an m4a's
// movie header (when it has an audio track); the tag reader's "Duration"
// for WMA, WAV, AIFF and au. -1 when the header states none (or 0).
//
// With `extraFormats` (the ExtraFormats setting), a file named .flac, .ogg
// or .opus whose content is that format (MediaTagsXiph.h's check, FLAC's
// metadata bound included) is that format, served whole, with the length
// its stream information or its last Ogg page states.
struct SongFileFacts {
    AudioFileKind kind;
    long long lengthMs = -1;
    SongFileView view;
};
SongFileFacts inspectSongFile(int fd, const char* name, bool extraFormats = false);

}  // namespace kestro::platform
