#include "platform/tags/MediaTags.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include <taglib/apefooter.h>
#include <taglib/apetag.h>
#include <taglib/aifffile.h>
#include <taglib/asffile.h>
#include <taglib/asftag.h>
#include <taglib/audioproperties.h>
#include <taglib/id3v2frame.h>
#include <taglib/id3v2framefactory.h>
#include <taglib/id3v2tag.h>
#include <taglib/infotag.h>
#include <taglib/mp4atom.h>
#include <taglib/mp4file.h>
#include <taglib/mpegfile.h>
#include <taglib/tag.h>
#include <taglib/tiostream.h>
#include <taglib/wavfile.h>
#include <taglib/xiphcomment.h>

#include "platform/tags/MediaTagsAsf.h"
#include "platform/tags/MediaTagsId3.h"
#include "platform/tags/MediaTagsMpeg.h"
#include "platform/tags/MediaTagsSong.h"
#include "platform/tags/MediaTagsStream.h"
#include "platform/tags/MediaTagsXiph.h"

namespace kestro::platform {

namespace {

// The extension by the scan's rule: the text after the last "." of the file
// name, or the whole name when it has none; lower-cased.
std::string extensionOf(const char* path) {
    const char* base = std::strrchr(path, '/');
    base = base ? base + 1 : path;
    const char* dot = std::strrchr(base, '.');
    std::string ext = dot ? dot + 1 : base;
    for (char& c : ext) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return ext;
}

const unsigned char kAsfHeaderGuid[16] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                          0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};

MediaFormat detectFormat(const unsigned char* h, long n, const char* name) {
    if (n >= 3 && std::memcmp(h, "ID3", 3) == 0) return MediaFormat::Mpeg;
    if (n >= 16 && std::memcmp(h, kAsfHeaderGuid, 16) == 0) return MediaFormat::Asf;
    if (n >= 12 && std::memcmp(h, "RIFF", 4) == 0 && std::memcmp(h + 8, "WAVE", 4) == 0)
        return MediaFormat::Wav;
    if (n >= 12 && std::memcmp(h, "FORM", 4) == 0 &&
        (std::memcmp(h + 8, "AIFF", 4) == 0 || std::memcmp(h + 8, "AIFC", 4) == 0))
        return MediaFormat::Aiff;
    if (n >= 8 && std::memcmp(h + 4, "ftyp", 4) == 0) return MediaFormat::Mp4;
    if (n >= 4 && std::memcmp(h, ".snd", 4) == 0) return MediaFormat::Au;
    if (n >= 2 && h[0] == 0xFF && (h[1] & 0xE0) == 0xE0) return MediaFormat::Mpeg;

    const std::string ext = extensionOf(name);
    if (ext == "mp3") return MediaFormat::Mpeg;
    if (ext == "wma" || ext == "asf") return MediaFormat::Asf;
    if (ext == "wav") return MediaFormat::Wav;
    if (ext == "aif" || ext == "aiff" || ext == "aifc" || ext == "iff") return MediaFormat::Aiff;
    if (ext == "m4a" || ext == "mp4") return MediaFormat::Mp4;
    if (ext == "au" || ext == "snd") return MediaFormat::Au;
    return MediaFormat::Unknown;
}

void setIfEmpty(std::string& field, const TagLib::String& value) {
    if (field.empty() && !value.isEmpty()) field = value.to8Bit(true);
}

// Takes the fields of `tag` that are still missing (tags are taken in order
// of priority).
void takeTag(const TagLib::Tag* tag, std::string& title, std::string& author,
             std::string& album, std::string& year) {
    if (!tag) return;
    setIfEmpty(title, tag->title());
    setIfEmpty(author, tag->artist());
    setIfEmpty(album, tag->album());
    if (year.empty() && tag->year() != 0) year = std::to_string(tag->year());
}

// An AIFF file that also gives its NAME and AUTH chunks (what ffmpeg and
// other AIFF writers store when no ID3 chunk is wanted).
class AiffFile : public TagLib::RIFF::AIFF::File {
public:
    using TagLib::RIFF::AIFF::File::File;

    void textChunks(std::string& title, std::string& author) {
        for (unsigned i = 0; i < chunkCount(); ++i) {
            const TagLib::ByteVector id = chunkName(i);
            std::string* field = id == "NAME" ? &title : id == "AUTH" ? &author : nullptr;
            // (A text chunk longer than any title is left unread: TagLib
            // would hold it as 32-bit characters, four times its size.)
            if (!field || !field->empty() || chunkDataSize(i) > 64 * 1024) continue;
            TagLib::ByteVector data = chunkData(i);
            int end = data.find('\0');
            if (end >= 0) data.resize(static_cast<unsigned int>(end));
            // The chunks' text is unspecified 8-bit text: UTF-8 when it is
            // valid UTF-8, else Latin-1.
            TagLib::String s(data, TagLib::String::UTF8);
            if (s.to8Bit(true) != std::string(data.data(), data.size())) {
                s = TagLib::String(data, TagLib::String::Latin1);
            }
            s = s.stripWhiteSpace();
            if (!s.isEmpty()) *field = s.to8Bit(true);
        }
    }
};

// Set when a cap of this file cut what TagLib was shown (for limited()).
thread_local bool capHit = false;
// ID3v2 frames met in the file being read, and which of the four we read
// have been parsed (bit 0: TIT2, 1: TPE1, 2: TALB, 3: TDRC).
thread_local int id3Frames = 0;
thread_local unsigned id3Parsed = 0;

// (TagLib names the frame header type in a protected part of Frame; a class
// derived from Frame may name it.)
struct FrameHeaderName : TagLib::ID3v2::Frame {
    using Type = TagLib::ID3v2::Frame::Header;
};

// The frame factory handed to TagLib for every ID3v2 tag. TagLib asks it
// about each frame header before it makes the frame, and makes the frame by
// the name the factory leaves in the header; a name TagLib does not know
// gives an "unknown" frame, which keeps its bytes (shared with the tag's,
// not copied) and parses nothing. So:
//   - only the frames we read (title, artist, album, recording time, also
//     under their ID3v2.2/2.3 names, which TagLib renames first) are parsed,
//     only the first of each (the one TagLib's tag gives), and only up to
//     kMaxTextFrame bytes: TagLib keeps text as 32-bit characters, four
//     times the tag's bytes. Every other frame stays
//     unparsed: chapters (CHAP, CTOC), which TagLib parses by unbounded
//     recursion, pictures, lyrics, TXXX and the rest;
//   - a compressed frame is never inflated (TagLib would inflate it whole,
//     and a frame of a few MB can inflate to gigabytes);
//   - after kMaxId3Frames frames, the next one is made to claim the rest of
//     the tag, which ends TagLib's frame loop: a tag of 10-byte frames
//     otherwise costs about 55 times its size in memory.
class LimitingFrameFactory : public TagLib::ID3v2::FrameFactory {
public:
    static constexpr int kMaxId3Frames = 2048;
    static constexpr unsigned kMaxTextFrame = mediatags::kMaxId3TextFrame;

    static LimitingFrameFactory* instance() {
        static LimitingFrameFactory factory;
        return &factory;
    }

protected:
    bool updateFrame(FrameHeaderName::Type* header) const override {
        if (++id3Frames > kMaxId3Frames) {
            capHit = true;
            leaveUnparsed(header);
            header->setFrameSize(0x7FFFFFFFu);  // past the end of any tag (at most 256 MB)
            return true;
        }
        if (header->compression()) {
            leaveUnparsed(header);
            return true;
        }
        if (!TagLib::ID3v2::FrameFactory::updateFrame(header)) return false;  // an unknown frame
        const TagLib::ByteVector id = header->frameID();
        const unsigned bit = id == "TIT2" ? 1u : id == "TPE1" ? 2u : id == "TALB" ? 4u : id == "TDRC" ? 8u : 0u;
        if (bit == 0 || (id3Parsed & bit) || header->frameSize() > kMaxTextFrame) {
            leaveUnparsed(header);
        } else {
            id3Parsed |= bit;
        }
        return true;
    }

private:
    // A name TagLib does not know, and no flags (so no compression) for the
    // versions that have them; the size stays.
    static void leaveUnparsed(FrameHeaderName::Type* header) {
        const unsigned size = header->frameSize();
        if (header->version() >= 3) {
            TagLib::ByteVector bytes("XSKP", 4);
            bytes.append(TagLib::ByteVector(6, '\0'));
            header->setData(bytes, header->version());
            header->setFrameSize(size);
        } else {
            header->setFrameID("XSKP");
        }
    }
};

// The chunks of a RIFF (WAV) or FORM (AIFF) file as TagLib's own RIFF
// reader lists them, with nothing else read.
class RiffChunkList : public TagLib::RIFF::File {
public:
    RiffChunkList(TagLib::IOStream* stream, bool bigEndian)
        : TagLib::RIFF::File(stream, bigEndian ? BigEndian : LittleEndian) {}
    TagLib::Tag* tag() const override { return nullptr; }
    TagLib::AudioProperties* audioProperties() const override { return nullptr; }
    bool save() override { return false; }

    unsigned count() const { return chunkCount(); }
    TagLib::ByteVector name(unsigned i) const { return chunkName(i); }
    unsigned offset(unsigned i) const { return chunkOffset(i); }  // of the data
    unsigned size(unsigned i) const { return chunkDataSize(i); }
};

bool isId3ChunkName(const TagLib::ByteVector& name) { return name == "ID3 " || name == "id3 "; }

// TagLib's WAV and AIFF readers parse their ID3v2 chunk with the stock frame
// factory, which cannot be replaced in TagLib 1.13. So that no chapter frame
// nor any of the frames the factory above keeps TagLib from reaches it, the
// ID3v2 chunk is read here, as TagLib would (the first "ID3 " or "id3 "
// chunk), with that factory, and every such chunk is then renamed in the
// stream ("ID3_", a name TagLib passes over) before TagLib's reader sees the
// file. The tag's fields go into the four texts first, as the reader's own
// ID3v2 tag did. A WAV LIST chunk larger than kMaxInfoChunk is renamed the
// same way ("LIS_"): TagLib would keep each 8-byte field of an INFO list as
// a map entry of about 200 bytes; real INFO lists take a few hundred bytes.
constexpr unsigned kMaxInfoChunk = 64 * 1024;
constexpr unsigned kMaxPlainChunks = 256;

void prepareRiff(FastFileStream& s, bool bigEndian, std::string& title, std::string& author,
                 std::string& album, std::string& year) {
    // TagLib's RIFF reader starts at the stream's position: start both
    // readers at the beginning.
    s.seek(0, TagLib::IOStream::Beginning);
    std::vector<long> hideId3, hideList;
    {
        RiffChunkList chunks(&s, bigEndian);
        if (!chunks.isValid()) return;
        bool read = false;
        for (unsigned i = 0; i < chunks.count(); ++i) {
            const TagLib::ByteVector name = chunks.name(i);
            if (!bigEndian && name == "LIST" && chunks.size(i) > kMaxInfoChunk) {
                hideList.push_back(static_cast<long>(chunks.offset(i)) - 8);
            }
            if (!isId3ChunkName(name)) continue;
            if (!read) {
                read = true;
                // (Our reader leaves the read budget to TagLib's readers of the
                // rest of the file: with few chunks they stay far from it.)
                mediatags::Id3Texts plain;
                if (chunks.count() <= kMaxPlainChunks &&
                    mediatags::readPlainId3v2Tag(s, static_cast<long>(chunks.offset(i)), plain)) {
                    title = std::move(plain.title);
                    author = std::move(plain.author);
                    album = std::move(plain.album);
                    year = std::move(plain.year);
                } else {
                    TagLib::ID3v2::Tag tag(&chunks, static_cast<long>(chunks.offset(i)),
                                           LimitingFrameFactory::instance());
                    takeTag(&tag, title, author, album, year);
                }
            }
            hideId3.push_back(static_cast<long>(chunks.offset(i)) - 8);
        }
    }
    for (long at : hideId3) s.maskBytes(at, "ID3_", 4);
    for (long at : hideList) s.maskBytes(at, "LIS_", 4);
    if (!hideList.empty()) capHit = true;
    s.seek(0, TagLib::IOStream::Beginning);
}

// TagLib makes an item of each entry of an APE tag, as many as its footer
// claims and the tag holds (11 bytes each at least): the footer's count is
// cut to kMaxApeItems in the stream. Real tags have a few dozen.
constexpr std::uint32_t kMaxApeItems = 256;

void limitApeItems(FastFileStream& s) {
    const long size = s.length();
    // The footer is the last 32 bytes, or the 32 before an ID3v1 tag. (The
    // last 4 KiB are read at once: TagLib reads its ID3v1 and APE footers
    // from there too.)
    const long from = std::max(0L, size - mediatags::kTailSize);
    long got = 0;
    const unsigned char* tail = s.span(from, size - from, got);
    if (!tail || got != size - from) return;
    for (long at : {size - 32, size - 160}) {
        if (at < from) continue;
        const unsigned char* p = tail + (at - from);
        if (std::memcmp(p, "APETAGEX", 8) != 0) continue;
        const std::uint32_t count = std::uint32_t{p[16]} | (std::uint32_t{p[17]} << 8) |
                                    (std::uint32_t{p[18]} << 16) | (std::uint32_t{p[19]} << 24);
        if (count > kMaxApeItems) {
            const char bytes[4] = {static_cast<char>(kMaxApeItems & 0xFF), static_cast<char>(kMaxApeItems >> 8), 0, 0};
            s.maskBytes(at + 16, bytes, 4);
            capHit = true;
        }
        return;
    }
}

// A TagLib file over our stream that reads nothing by itself, for TagLib's
// own readers of a file's structure (the MP4 atom tree).
class StructureFile : public TagLib::File {
public:
    explicit StructureFile(TagLib::IOStream* stream) : TagLib::File(stream) {}
    TagLib::Tag* tag() const override { return nullptr; }
    TagLib::AudioProperties* audioProperties() const override { return nullptr; }
    bool save() override { return false; }
};

// TagLib's MP4 reader makes a value of every 'data' atom inside an item of
// the 'ilst' list (16 bytes each at least): an item of 7 MB of them cost
// 170 ms and 126 MB. So the list is found here as TagLib finds it (its own
// atom reader, over the same stream) and, in each item, the data atom after
// the first kMaxMp4Data is renamed in the stream ("dat_"), which ends
// TagLib's loop there. An item other than a cover ('covr') larger than
// kMaxMp4Text keeps no value at all (its text would take four times its
// size). Real items hold one data atom, rarely a few (several covers).
constexpr int kMaxMp4Data = 64;
constexpr long kMaxMp4Text = 64 * 1024;

bool limitMp4Items(FastFileStream& s) {
    s.seek(0, TagLib::IOStream::Beginning);
    bool cut = false;
    {
        StructureFile file(&s);
        TagLib::MP4::Atoms atoms(&file);
        TagLib::MP4::Atom* ilst = atoms.find("moov", "udta", "meta", "ilst");
        for (const TagLib::MP4::Atom* item : ilst ? ilst->children : TagLib::MP4::AtomList()) {
            // TagLib reads an item's body from 8 bytes after its start.
            const long body = item->offset + 8;
            const long size = std::min(item->length - 8, s.length() - body);
            const bool freeForm = item->name == "----";  // its first two atoms are 'mean' and 'name'
            const bool tooLong = item->name != "covr" && size > kMaxMp4Text;
            long pos = 0;
            for (int i = 0; pos + 8 <= size; ++i) {
                long got = 0;
                const unsigned char* p = s.span(body + pos, 8, got);
                if (!p || got < 8) break;
                const long length = static_cast<long>(mediatags::be32(p));
                if (length < 12) break;
                if ((i == kMaxMp4Data || tooLong) && (!freeForm || i >= 2)) {
                    s.maskBytes(body + pos + 4, "dat_", 4);
                    cut = true;
                    break;
                }
                pos += length;
            }
        }
    }
    s.seek(0, TagLib::IOStream::Beginning);
    return cut;
}

// Bits per sample of the au encodings with a fixed sample size.
unsigned auBitsPerSample(std::uint32_t encoding) {
    switch (encoding) {
        case 1: return 8;    // 8-bit mu-law
        case 2: return 8;    // 8-bit linear PCM
        case 3: return 16;   // 16-bit linear PCM
        case 4: return 24;   // 24-bit linear PCM
        case 5: return 32;   // 32-bit linear PCM
        case 6: return 32;   // 32-bit float
        case 7: return 64;   // 64-bit float
        case 23: return 4;   // G.721 ADPCM
        case 25: return 3;   // G.723 3-bit ADPCM
        case 26: return 5;   // G.723 5-bit ADPCM
        case 27: return 8;   // 8-bit A-law
        default: return 0;
    }
}

}  // namespace

namespace mediatags {

AudioFileKind sniffAudioStream(FastFileStream& s) {
    AudioFileKind kind;
    const long start = skipId3v2Tags(s, 0);
    long got = 0;
    const unsigned char* h = s.span(start, 16, got);
    if (!h || got < 4) return kind;
    MediaFormat format = detectFormat(h, got, "");
    if (format == MediaFormat::Unknown && got >= 12 && std::memcmp(h + 8, "WAVE", 4) == 0 &&
        (std::memcmp(h, "RIFX", 4) == 0 || std::memcmp(h, "RF64", 4) == 0 || std::memcmp(h, "BW64", 4) == 0))
        format = MediaFormat::Wav;
    // A sync word alone is two bytes in 2048 of any data: MPEG audio
    // needs two frames in a row (after junk or a damaged tag, too).
    if (format == MediaFormat::Mpeg || format == MediaFormat::Unknown)
        format = findMpegStart(s, start, false) >= 0 ? MediaFormat::Mpeg : MediaFormat::Unknown;
    kind.format = format;
    kind.audioStart = format == MediaFormat::Unknown ? 0 : start;
    return kind;
}

}  // namespace mediatags

AudioFileKind sniffAudioFile(const char* path) {
    if (!path || !*path) return {};
    try {
        FastFileStream s;
        if (!s.openFile(path)) return {};
        return mediatags::sniffAudioStream(s);
    } catch (...) {
        return {};
    }
}

MediaIoCounters mediaIoCounters() { return ioCounters; }
void resetMediaIoCounters() { ioCounters = MediaIoCounters{}; }

MediaTags::MediaTags() = default;
MediaTags::~MediaTags() = default;

void MediaTags::reset() {
    format_ = MediaFormat::Unknown;
    hasDuration_ = false;
    duration_ = 0;
    title_.clear();
    author_.clear();
    album_.clear();
    year_.clear();
    limited_ = false;
}

// Both opens turn any exception of the reading (TagLib's, an allocation's:
// std::bad_alloc) into a file of which nothing could be read.
bool MediaTags::open(const char* path) {
    reset();
    if (!path || !*path) return false;
    try {
        FastFileStream stream;
        if (!stream.openFile(path)) return false;
        return parse(stream, path);
    } catch (...) {
        reset();
        limited_ = true;
        return false;
    }
}

bool MediaTags::openMemory(const void* data, std::size_t size, const char* nameHint) {
    reset();
    if (!data) return false;
    try {
        FastFileStream stream;
        if (!stream.openMemory(data, size, nameHint)) return false;
        return parse(stream, nameHint ? nameHint : "");
    } catch (...) {
        reset();
        limited_ = true;
        return false;
    }
}

bool MediaTags::parse(FastFileStream& s, const char* name) {
    s.markStackBase();
    capHit = false;
    id3Frames = 0;
    id3Parsed = 0;
    long xiphStart = 0;
    if (xiphFormats_) format_ = mediatags::xiphSongFormat(s, name, xiphStart);
    if (format_ == MediaFormat::Unknown) format_ = detectFormat(s.head(), s.headLength(), name);
    const auto takeLength = [this](const TagLib::AudioProperties* p) {
        if (p && (p->sampleRate() > 0 || p->lengthInMilliseconds() > 0)) {
            hasDuration_ = true;
            duration_ = static_cast<std::uint64_t>(std::max(0, p->lengthInMilliseconds())) * 10000u;
        }
    };
    const auto style = TagLib::AudioProperties::Average;  // all styles cost the same here

    switch (format_) {
        case MediaFormat::Mpeg: {
            limitApeItems(s);
            // Where TagLib's search for an ID3v2 tag ends: at once when the
            // file starts with a tag or a frame; else it would go through
            // the whole file, so it is done here first, within
            // kMpegSearch, and a file with neither in that reach is no MPEG
            // file.
            long start = 0;
            if (!(s.headLength() >= 3 && std::memcmp(s.head(), "ID3", 3) == 0) && !mediatags::mpegFrameAt(s, 0)) {
                start = mediatags::findMpegStart(s, 0, true);
                if (start < 0) break;
            }
            // The tags: plain ones (nearly all) without TagLib, the same
            // texts at a fraction of the cost (MediaTagsId3.h); any other
            // by TagLib. The audio properties are read here, not by TagLib
            // (whose search for the first and the last frame goes through
            // the whole file as well, and whose length of a file without a
            // Xing/Info or VBRI header assumes every frame has the first
            // one's bitrate, which a VBR file belies: a 180 s file was taken
            // for 116 s).
            long end = s.length();
            mediatags::MpegTagTexts plain;
            if (start == 0 && mediatags::readPlainMpegTags(s, plain)) {
                title_ = std::move(plain.title);
                author_ = std::move(plain.author);
                album_ = std::move(plain.album);
                year_ = std::move(plain.year);
                if (plain.hasId3v1) end -= 128;
            } else {
                TagLib::MPEG::File f(&s, LimitingFrameFactory::instance(), false);
                if (!f.isValid()) break;
                takeTag(f.tag(), title_, author_, album_, year_);  // ID3v2, then APE, then ID3v1
                if (f.hasID3v1Tag()) end -= 128;
                if (f.hasAPETag()) end -= static_cast<long>(f.APETag()->footer()->completeTagSize());
            }
            const long first = mediatags::findMpegStart(s, mediatags::skipId3v2Tags(s, start), false);
            if (first >= 0 && first < end && mediatags::mpegDuration(s, first, end, duration_)) hasDuration_ = true;
            break;
        }
        case MediaFormat::Asf: {
            if (mediatags::limitAsfHeader(s)) capHit = true;
            TagLib::ASF::File f(&s, true, style);
            if (!f.isValid()) break;
            if (const TagLib::ASF::Tag* t = f.tag()) {
                setIfEmpty(title_, t->title());
                setIfEmpty(author_, t->artist());
                setIfEmpty(album_, t->album());  // WM/AlbumTitle
                const auto& map = t->attributeListMap();
                auto it = map.find("WM/Year");
                if (it != map.end() && !it->second.isEmpty()) {
                    setIfEmpty(year_, it->second.front().toString().stripWhiteSpace());
                }
            }
            takeLength(f.audioProperties());
            break;
        }
        case MediaFormat::Wav: {
            // The ID3v2 chunk first (read here, see prepareRiff),
            // then what it lacks from the RIFF INFO chunk. (TagLib's generic
            // tag() of a WAV file is the ID3v2 chunk only.)
            std::string t, a, l, y;
            prepareRiff(s, false, t, a, l, y);
            TagLib::RIFF::WAV::File f(&s, true, style);
            if (!f.isValid()) break;
            title_ = t;
            author_ = a;
            album_ = l;
            year_ = y;
            if (f.hasInfoTag()) takeTag(f.InfoTag(), title_, author_, album_, year_);
            takeLength(f.audioProperties());
            break;
        }
        case MediaFormat::Aiff: {
            std::string t, a, l, y;
            prepareRiff(s, true, t, a, l, y);
            AiffFile f(&s, true, style);
            if (!f.isValid()) break;
            title_ = t;
            author_ = a;
            album_ = l;
            year_ = y;
            f.textChunks(title_, author_);
            takeLength(f.audioProperties());
            break;
        }
        case MediaFormat::Mp4: {
            if (limitMp4Items(s)) capHit = true;
            TagLib::MP4::File f(&s, true, style);
            if (!f.isValid()) break;
            takeTag(f.tag(), title_, author_, album_, year_);
            takeLength(f.audioProperties());
            break;
        }
        case MediaFormat::Au: {
            // 24-byte header, big-endian: magic ".snd", data offset, data
            // size (0xFFFFFFFF: unknown, to the end of the file), encoding,
            // sample rate, channels.
            unsigned char h[24];
            if (s.readAt(0, 24, reinterpret_cast<char*>(h)) != 24) break;
            if (std::memcmp(h, ".snd", 4) != 0) break;
            const std::uint64_t offset = mediatags::be32(h + 4);
            std::uint64_t size = mediatags::be32(h + 8);
            const unsigned bits = auBitsPerSample(mediatags::be32(h + 12));
            const std::uint64_t rate = mediatags::be32(h + 16);
            const std::uint64_t channels = mediatags::be32(h + 20);
            const std::uint64_t fileSize = static_cast<std::uint64_t>(s.length());
            if (offset < 24 || bits == 0 || rate == 0 || channels == 0) break;
            const std::uint64_t available = fileSize > offset ? fileSize - offset : 0;
            if (size == 0xFFFFFFFFu || size > available) size = available;
            // size < 2^32, so size * 8 * 10^7 < 2^62: no overflow. bits x
            // rate < 2^38, but times the channels it may pass 2^64; the
            // quotient is 0 as soon as the divisor passes 2^62.
            const std::uint64_t bitsTimesRate = std::uint64_t{bits} * rate;
            hasDuration_ = true;
            if (channels > (std::uint64_t{1} << 62) / bitsTimesRate) {
                duration_ = 0;
            } else {
                duration_ = size * 8u * 10000000u / (bitsTimesRate * channels);
            }
            break;
        }
        case MediaFormat::Flac:
        case MediaFormat::OggVorbis:
        case MediaFormat::OggOpus: {
            mediatags::XiphRead x;
            mediatags::readXiph(s, format_, xiphStart, x);
            takeTag(x.comment.get(), title_, author_, album_, year_);
            hasDuration_ = x.hasDuration;
            duration_ = x.duration;
            if (x.limited) capHit = true;
            break;
        }
        case MediaFormat::Unknown:
            break;
    }
    limited_ = capHit || s.limitReached();
    s.closeFile();
    return hasDuration_ || !title_.empty() || !author_.empty() || !album_.empty() || !year_.empty();
}

AttributeStatus MediaTags::getAttributeByName(const char* name, void* value,
                                              std::size_t& length) const {
    if (!name) return AttributeStatus::NotFound;
    if (std::strcmp(name, "Duration") == 0) {
        if (!hasDuration_) return AttributeStatus::NotFound;
        if (!value) {
            length = sizeof duration_;
            return AttributeStatus::Ok;
        }
        if (length < sizeof duration_) {
            length = sizeof duration_;
            return AttributeStatus::BufferTooSmall;
        }
        std::memcpy(value, &duration_, sizeof duration_);
        length = sizeof duration_;
        return AttributeStatus::Ok;
    }
    const std::string* text = std::strcmp(name, "Title") == 0           ? &title_
                              : std::strcmp(name, "Author") == 0        ? &author_
                              : std::strcmp(name, "WM/AlbumTitle") == 0 ? &album_
                              : std::strcmp(name, "WM/Year") == 0       ? &year_
                                                                        : nullptr;
    if (!text || text->empty()) return AttributeStatus::NotFound;
    const std::size_t need = text->size() + 1;
    if (!value) {
        length = need;
        return AttributeStatus::Ok;
    }
    if (length < need) {
        length = need;
        return AttributeStatus::BufferTooSmall;
    }
    std::memcpy(value, text->c_str(), need);
    length = need;
    return AttributeStatus::Ok;
}

bool MediaTags::duration(std::uint64_t& hundredNs) const {
    std::size_t len = sizeof hundredNs;
    return getAttributeByName("Duration", &hundredNs, len) == AttributeStatus::Ok;
}

bool MediaTags::text(const char* name, std::string& out) const {
    std::size_t len = 0;
    if (std::strcmp(name, "Duration") == 0) return false;
    if (getAttributeByName(name, nullptr, len) != AttributeStatus::Ok) return false;
    out.assign(len, '\0');
    if (getAttributeByName(name, out.data(), len) != AttributeStatus::Ok) return false;
    out.resize(len - 1);
    return true;
}

}  // namespace kestro::platform
