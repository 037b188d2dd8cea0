#include "platform/MediaTags.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include <taglib/aifffile.h>
#include <taglib/asffile.h>
#include <taglib/asftag.h>
#include <taglib/audioproperties.h>
#include <taglib/id3v2frame.h>
#include <taglib/id3v2framefactory.h>
#include <taglib/id3v2tag.h>
#include <taglib/infotag.h>
#include <taglib/mp4file.h>
#include <taglib/mpegfile.h>
#include <taglib/tag.h>
#include <taglib/tiostream.h>
#include <taglib/wavfile.h>

namespace kestro::platform {

namespace {

MediaIoCounters ioCounters;

// Sizes of the stream's read windows. A file of at most kWholeFileLimit
// bytes is read whole with one call; a larger one gets its first kHeadSize
// bytes at open and its last kTailSize bytes when the parser first looks
// there (ID3v1 and APE footers, the last MPEG frame, chunks after a RIFF
// data chunk, an MP4 'moov' at the end). Any other read loads a window of
// kWindowSize bytes from the position asked (a read larger than that, a big
// ID3v2 tag with pictures for instance, is read directly in one call).
//
// Measured on the benchmark library (bench/scan_bench.sh): smaller windows
// cost less (the kernel's copy and the cache footprint) with no more calls;
// 16/8/4/32 KiB made 4.95 calls and 14 KiB read per file against 35 KiB with
// 32/16/16/64, and about 15 % less time.
constexpr long kWholeFileLimit = 16 * 1024;
constexpr long kHeadSize = 8 * 1024;
constexpr long kTailSize = 4 * 1024;
constexpr long kWindowSize = 32 * 1024;

// TagLib's MP4 reader builds its atom tree by recursion, one level per
// nested atom, so a file of nested atoms (8 bytes each) can overflow the
// stack. Every level reads its header through the stream: once the stack
// has grown by more than this since the parse began, the stream reports
// the end of the file, which ends that branch of the tree like a truncated
// file. Real files nest about ten atoms deep and use a few KiB of stack.
constexpr std::uintptr_t kStackBudget = 256 * 1024;

std::uintptr_t stackAddress() { return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)); }

// The windows' memory: one block per thread, reused from file to file (the
// streams of one thread never overlap in time; a second stream on the same
// thread while one is open gets its own memory).
struct ScratchBlock {
    std::unique_ptr<char[]> data;
    bool inUse = false;
};
thread_local ScratchBlock scratch;

}  // namespace

// A read-only TagLib stream over one file (or a memory block) that keeps a
// few windows of the file in memory, so that TagLib's many small reads and
// seeks cost no system call.
class FastFileStream final : public TagLib::IOStream {
public:
    FastFileStream() {
        const long headCap = std::max(kWholeFileLimit, kHeadSize);
        const std::size_t total = static_cast<std::size_t>(headCap + kTailSize + kWindowSize);
        char* block;
        if (!scratch.inUse) {
            if (!scratch.data) scratch.data.reset(new char[total]);
            scratch.inUse = true;
            usesScratch_ = true;
            block = scratch.data.get();
        } else {
            own_.reset(new char[total]);
            block = own_.get();
        }
        head_.buf = block;
        head_.cap = headCap;
        tail_.buf = block + headCap;
        tail_.cap = kTailSize;
        extra_.buf = block + headCap + kTailSize;
        extra_.cap = kWindowSize;
    }
    ~FastFileStream() override {
        closeFile();
        if (usesScratch_) scratch.inUse = false;
    }
    FastFileStream(const FastFileStream&) = delete;
    FastFileStream& operator=(const FastFileStream&) = delete;

    // Opens, checks that it is a regular file and reads the head (or the
    // whole file). False on any failure (the stream is then closed).
    bool openFile(const char* path) {
        name_ = path;
        int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        ++ioCounters.syscalls;
        if (fd < 0) return false;
        ++ioCounters.files;
        fd_ = fd;
        struct stat st;
        ++ioCounters.syscalls;
        if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0 ||
            st.st_size > LONG_MAX / 2) {
            closeFile();
            return false;
        }
        return start(static_cast<long>(st.st_size));
    }

    // The same over a memory block: every read is a copy from it, through
    // the same windows, so that both take the same paths.
    bool openMemory(const void* data, std::size_t size, const char* name) {
        name_ = name ? name : "";
        if (!data || size == 0 || size > static_cast<std::size_t>(LONG_MAX / 2)) return false;
        mem_ = static_cast<const char*>(data);
        return start(static_cast<long>(size));
    }

    void closeFile() {
        closeFd();
        mem_ = nullptr;
        open_ = false;
        masks_.clear();
    }

    // The first bytes of the file, for the choice of format.
    const unsigned char* head() const { return reinterpret_cast<const unsigned char*>(head_.buf); }
    long headLength() const { return head_.len; }

    // Reads `len` bytes at `pos` into `out` (outside TagLib; au header).
    long readAt(long pos, long len, char* out) {
        seek(pos, Beginning);
        TagLib::ByteVector v = readBlock(static_cast<unsigned long>(len));
        std::memcpy(out, v.data(), v.size());
        return static_cast<long>(v.size());
    }

    TagLib::FileName name() const override { return name_.c_str(); }

    // Marks the stack depth at which parsing begins (see kStackBudget).
    void markStackBase() { stackBase_ = stackAddress(); }

    // Makes the 4 bytes at `offset` read as `bytes` (see readId3ChunkThenHide).
    void maskBytes(long offset, const char (&bytes)[4]) {
        Mask m;
        m.offset = offset;
        std::memcpy(m.bytes, bytes, 4);
        masks_.push_back(m);
    }

    TagLib::ByteVector readBlock(unsigned long length) override {
        TagLib::ByteVector r = readRaw(length);
        for (const Mask& m : masks_) applyMask(r, m);
        return r;
    }

    void writeBlock(const TagLib::ByteVector&) override {}
    void insert(const TagLib::ByteVector&, unsigned long, unsigned long) override {}
    void removeBlock(unsigned long, unsigned long) override {}
    bool readOnly() const override { return true; }
    bool isOpen() const override { return open_; }

    void seek(long offset, Position p) override {
        long base = p == Beginning ? 0 : p == Current ? pos_ : size_;
        // Overflow-safe: ignore seeks that would go negative or wrap.
        if (offset < 0 && base + offset < 0) return;  // base >= 0: no overflow
        if (offset > 0 && base > LONG_MAX - offset) return;
        pos_ = base + offset;
    }
    void clear() override {}
    long tell() const override { return pos_; }
    long length() override { return open_ ? size_ : 0; }
    void truncate(long) override {}

private:
    struct Window {
        long start = 0;
        long len = 0;
        long cap = 0;
        char* buf = nullptr;
    };
    struct Mask {
        long offset = 0;
        char bytes[4] = {};
    };

    // `r` was read at pos_ - r.size().
    void applyMask(TagLib::ByteVector& r, const Mask& m) const {
        const long start = pos_ - static_cast<long>(r.size());
        for (long k = 0; k < 4; ++k) {
            const long at = m.offset + k - start;
            if (at >= 0 && at < static_cast<long>(r.size())) r[static_cast<unsigned int>(at)] = m.bytes[k];
        }
    }

    TagLib::ByteVector readRaw(unsigned long length) {
        if (!open_ || length == 0 || pos_ >= size_) return TagLib::ByteVector();
        if (stackBase_ != 0) {
            const std::uintptr_t here = stackAddress();
            if (here < stackBase_ && stackBase_ - here > kStackBudget) return TagLib::ByteVector();
        }
        // (A ByteVector holds at most UINT_MAX bytes; stay well below.)
        long len = static_cast<long>(std::min<unsigned long>(
            {length, static_cast<unsigned long>(size_ - pos_), static_cast<unsigned long>(INT_MAX)}));
        const char* p = find(pos_, len);
        if (!p && (fd_ >= 0 || mem_)) {
            if (pos_ >= size_ - kTailSize && tail_.len == 0) {
                long start = std::max(0L, size_ - kTailSize);
                load(tail_, start, size_ - start);
                p = find(pos_, len);
            }
            if (!p && len >= kWindowSize) {
                // One direct read into the result.
                TagLib::ByteVector r(static_cast<unsigned int>(len), '\0');
                long got = preadFull(r.data(), len, pos_);
                if (got <= 0) return TagLib::ByteVector();
                r.resize(static_cast<unsigned int>(got));
                pos_ += got;
                return r;
            }
            if (!p) {
                load(extra_, pos_, std::min(kWindowSize, size_ - pos_));
                // A short read (the file shrank) gives what there is.
                if (extra_.start == pos_ && extra_.len > 0) {
                    len = std::min(len, extra_.len);
                    p = extra_.buf;
                }
            }
        }
        if (!p) return TagLib::ByteVector();
        TagLib::ByteVector r(p, static_cast<unsigned int>(len));
        pos_ += len;
        return r;
    }

    void closeFd() {
        if (fd_ >= 0) {
            ::close(fd_);
            ++ioCounters.syscalls;
            fd_ = -1;
        }
    }

    // Reads the head (or all of a small file) after the size is known.
    bool start(long size) {
        size_ = size;
        const long first = size_ <= kWholeFileLimit ? size_ : kHeadSize;
        if (!load(head_, 0, first) || head_.len == 0) {
            closeFile();
            return false;
        }
        if (head_.len == size_) closeFd();  // all of it is in memory: no more calls
        open_ = true;
        return true;
    }

    long preadFull(char* out, long len, long pos) {
        if (mem_) {
            const long n = pos < size_ ? std::min(len, size_ - pos) : 0;
            if (n > 0) std::memcpy(out, mem_ + pos, static_cast<std::size_t>(n));
            return n;
        }
        if (fd_ < 0) return 0;
        long done = 0;
        while (done < len) {
            ssize_t n = ::pread(fd_, out + done, static_cast<std::size_t>(len - done), pos + done);
            ++ioCounters.syscalls;
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += n;
        }
        ioCounters.bytesRead += static_cast<std::uint64_t>(done);
        return done;
    }

    bool load(Window& w, long start, long len) {
        if (len > w.cap) len = w.cap;
        w.start = start;
        w.len = 0;
        long got = preadFull(w.buf, len, start);
        if (got < 0) return false;
        w.len = got;
        return true;
    }

    static const char* inWindow(const Window& w, long pos, long len) {
        if (w.len > 0 && pos >= w.start && pos + len <= w.start + w.len) {
            return w.buf + (pos - w.start);
        }
        return nullptr;
    }

    const char* find(long pos, long len) const {
        if (const char* p = inWindow(head_, pos, len)) return p;
        if (const char* p = inWindow(tail_, pos, len)) return p;
        return inWindow(extra_, pos, len);
    }

    std::string name_;
    int fd_ = -1;
    const char* mem_ = nullptr;
    long size_ = 0;
    long pos_ = 0;
    bool open_ = false;
    Window head_, tail_, extra_;
    bool usesScratch_ = false;
    std::unique_ptr<char[]> own_;
    std::uintptr_t stackBase_ = 0;
    std::vector<Mask> masks_;
};



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
            if (!field || !field->empty()) continue;
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

// ID3v2 chapter frames (CHAP, CTOC) embed frames, and TagLib parses those by
// recursion, one level per nesting with nothing that bounds it: a tag of
// chapters nested a hundred thousand deep (under 3 MB) overflows the stack.
// We have no use for chapters, so the factory we hand TagLib renames them
// before it parses them: they become unknown frames, their embedded frames
// are never looked at, and the frames after them read as before.
//
// (TagLib names the header type in a protected part of Frame; a class
// derived from Frame may name it.)
struct FrameHeaderName : TagLib::ID3v2::Frame {
    using Type = TagLib::ID3v2::Frame::Header;
};

class ChapterlessFrameFactory : public TagLib::ID3v2::FrameFactory {
public:
    static ChapterlessFrameFactory* instance() {
        static ChapterlessFrameFactory factory;
        return &factory;
    }

protected:
    bool updateFrame(FrameHeaderName::Type* header) const override {
        if (!TagLib::ID3v2::FrameFactory::updateFrame(header)) return false;
        const TagLib::ByteVector id = header->frameID();
        if (id == "CHAP") header->setFrameID("XCHP");
        if (id == "CTOC") header->setFrameID("XCTC");
        return true;
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
};

bool isId3ChunkName(const TagLib::ByteVector& name) { return name == "ID3 " || name == "id3 "; }

// TagLib's WAV and AIFF readers parse their ID3v2 chunk with the stock frame
// factory, which cannot be replaced in TagLib 1.13. So that no chapter frame
// reaches it, the ID3v2 chunk is read here, as TagLib would (the first
// "ID3 " or "id3 " chunk), with the chapterless factory, and every such
// chunk is then renamed in the stream ("ID3_", a name TagLib passes over)
// before TagLib's reader sees the file. The tag's fields go into the four
// texts first, as the reader's own ID3v2 tag did.
void readId3ChunkThenHide(FastFileStream& s, bool bigEndian, std::string& title, std::string& author,
                          std::string& album, std::string& year) {
    // TagLib's RIFF reader starts at the stream's position: start both
    // readers at the beginning.
    s.seek(0, TagLib::IOStream::Beginning);
    std::vector<long> hide;
    {
        RiffChunkList chunks(&s, bigEndian);
        if (!chunks.isValid()) return;
        bool read = false;
        for (unsigned i = 0; i < chunks.count(); ++i) {
            if (!isId3ChunkName(chunks.name(i))) continue;
            if (!read) {
                read = true;
                TagLib::ID3v2::Tag tag(&chunks, static_cast<long>(chunks.offset(i)),
                                       ChapterlessFrameFactory::instance());
                takeTag(&tag, title, author, album, year);
            }
            hide.push_back(static_cast<long>(chunks.offset(i)) - 8);
        }
    }
    for (long at : hide) s.maskBytes(at, {'I', 'D', '3', '_'});
    s.seek(0, TagLib::IOStream::Beginning);
}

std::uint32_t be32(const unsigned char* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
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
}

bool MediaTags::open(const char* path) {
    reset();
    if (!path || !*path) return false;
    FastFileStream stream;
    if (!stream.openFile(path)) return false;
    return parse(stream, path);
}

bool MediaTags::openMemory(const void* data, std::size_t size, const char* nameHint) {
    reset();
    if (!data) return false;
    FastFileStream stream;
    if (!stream.openMemory(data, size, nameHint)) return false;
    return parse(stream, nameHint ? nameHint : "");
}

bool MediaTags::parse(FastFileStream& s, const char* name) {
    s.markStackBase();
    format_ = detectFormat(s.head(), s.headLength(), name);
    const auto takeLength = [this](const TagLib::AudioProperties* p) {
        if (p && (p->sampleRate() > 0 || p->lengthInMilliseconds() > 0)) {
            hasDuration_ = true;
            duration_ = static_cast<std::uint64_t>(std::max(0, p->lengthInMilliseconds())) * 10000u;
        }
    };
    const auto style = TagLib::AudioProperties::Average;  // all styles cost the same here

    switch (format_) {
        case MediaFormat::Mpeg: {
            TagLib::MPEG::File f(&s, ChapterlessFrameFactory::instance(), true, style);
            if (!f.isValid()) break;
            takeTag(f.tag(), title_, author_, album_, year_);  // ID3v2, then APE, then ID3v1
            takeLength(f.audioProperties());
            break;
        }
        case MediaFormat::Asf: {
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
            // The ID3v2 chunk first (read here, see readId3ChunkThenHide),
            // then what it lacks from the RIFF INFO chunk. (TagLib's generic
            // tag() of a WAV file is the ID3v2 chunk only.)
            std::string t, a, l, y;
            readId3ChunkThenHide(s, false, t, a, l, y);
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
            readId3ChunkThenHide(s, true, t, a, l, y);
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
            const std::uint64_t offset = be32(h + 4);
            std::uint64_t size = be32(h + 8);
            const unsigned bits = auBitsPerSample(be32(h + 12));
            const std::uint64_t rate = be32(h + 16);
            const std::uint64_t channels = be32(h + 20);
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
        case MediaFormat::Unknown:
            break;
    }
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
