// The file stream that MediaTags hands TagLib: read-only, a few windows of
// the file kept in memory (so that TagLib's many small reads and seeks cost
// no system call), and a read budget per file that bounds what any file can
// cost, whatever its size and content.
//
// The budget (numbers and reasons in docs/tags.md):
//   - bytes handed to TagLib in all: kReadBudget. A read that would pass it
//     gets nothing, as at the end of the file (so one 40 MB "tag" is
//     refused while the small reads after it still work);
//   - bytes handed to TagLib in small reads (below kWindowSize): kScanBudget.
//     TagLib's searches (an MPEG frame sync, an ID3v2 header) read the file
//     in 1 KiB steps and then look at every byte; this is what bounds them;
//   - read calls: kReadCalls. Every element of a file's structure that
//     TagLib keeps (an MP4 atom, a RIFF chunk, an ASF object) costs it at
//     least one read, so this bounds the number of such elements;
//   - our own scanners (the MPEG frame counter) read through span(), which
//     TagLib's budget does not see; they bound themselves.
// Once a limit has refused a read, limitReached() is true.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <taglib/tbytevector.h>
#include <taglib/tiostream.h>

#include "platform/tags/MediaTags.h"

namespace kestro::platform {

namespace mediatags {

// Read windows. A file of at most kWholeFileLimit bytes is read whole with
// one call; a larger one gets its first kHeadSize bytes at open and its last
// kTailSize bytes when the parser first looks there (ID3v1 and APE footers,
// the last MPEG frame, chunks after a RIFF data chunk, an MP4 'moov' at the
// end). Any other read loads a window of kWindowSize bytes from the position
// asked (a read larger than that, a big ID3v2 tag with pictures for
// instance, is read directly in one call). kSpanSize is the window of our
// own scanners; they read kSpanAhead bytes at a time unless they ask for
// more.
//
// Measured on the benchmark library (bench/scan_bench.sh): smaller windows
// cost less (the kernel's copy and the cache footprint) with no more calls;
// 16/8/4/32 KiB made 4.95 calls and 14 KiB read per file against 35 KiB with
// 32/16/16/64, and about 15 % less time.
constexpr long kWholeFileLimit = 16 * 1024;
constexpr long kHeadSize = 8 * 1024;
constexpr long kTailSize = 4 * 1024;
constexpr long kWindowSize = 32 * 1024;
constexpr long kSpanSize = 128 * 1024;
constexpr long kSpanAhead = 4 * 1024;

// A big-endian 32-bit number.
inline std::uint32_t be32(const unsigned char* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

// The read budget of one file (see the top of this file and docs/tags.md).
constexpr long kReadBudget = 8L * 1024 * 1024;
constexpr long kScanBudget = 256L * 1024;
constexpr long kReadCalls = 16 * 1024;

// TagLib's MP4 reader builds its atom tree by recursion, one level per
// nested atom, so a file of nested atoms (8 bytes each) can overflow the
// stack. Every level reads its header through the stream: once the stack
// has grown by more than this since the parse began, the stream reports
// the end of the file, which ends that branch of the tree like a truncated
// file. Real files nest about ten atoms deep and use a few KiB of stack.
constexpr std::uintptr_t kStackBudget = 256 * 1024;

}  // namespace mediatags

// Counters of every stream's system calls (MediaTags.h).
extern MediaIoCounters ioCounters;

class FastFileStream final : public TagLib::IOStream {
public:
    FastFileStream();
    ~FastFileStream() override;
    FastFileStream(const FastFileStream&) = delete;
    FastFileStream& operator=(const FastFileStream&) = delete;

    // Opens, checks that it is a regular file and reads the head (or the
    // whole file). False on any failure (the stream is then closed).
    bool openFile(const char* path);
    // The same over a descriptor the caller opened and keeps: the stream
    // reads it with pread and never closes it.
    bool openDescriptor(int fd, const char* name);
    // The same over a memory block: every read is a copy from it, through
    // the same windows and the same budget.
    bool openMemory(const void* data, std::size_t size, const char* name);
    void closeFile();

    // The first bytes of the file, for the choice of format.
    const unsigned char* head() const { return reinterpret_cast<const unsigned char*>(head_.buf); }
    long headLength() const { return head_.len; }

    // Reads `len` bytes at `pos` into `out` through readBlock (and its
    // budget); returns the count read.
    long readAt(long pos, long len, char* out);

    // Our own scanners' view of the file, outside TagLib's budget: a pointer
    // to the bytes from `pos` on and, in `got`, how many of the `want` asked
    // for are there (fewer at the end of the file; at most kSpanSize unless
    // a window already holds more). Null when none. When no window holds
    // them, `ahead` bytes from `pos` (at least `want`, at most kSpanSize)
    // are read: a scanner that walks on through the file asks for more.
    const unsigned char* span(long pos, long want, long& got, long ahead = mediatags::kSpanAhead);

    // Makes the bytes at `offset` read as `bytes` (at most 4).
    void maskBytes(long offset, const char* bytes, std::size_t count);
    // Reads from `end` on get nothing, as at the end of the file (the file's
    // length stays as it is).
    void limitReadEnd(long end) { readEnd_ = end < readEnd_ ? end : readEnd_; }

    // From the first read that a limit refuses on, every read gets nothing.
    void endAtFirstRefusal() { endOnRefusal_ = true; }

    // Marks the stack depth at which parsing begins (see kStackBudget).
    void markStackBase();

    bool limitReached() const { return limitReached_; }
    long bytesRead() const { return readUsed_; }
    long readCalls() const { return calls_; }

    TagLib::FileName name() const override { return name_.c_str(); }
    TagLib::ByteVector readBlock(unsigned long length) override;
    void writeBlock(const TagLib::ByteVector&) override {}
    void insert(const TagLib::ByteVector&, unsigned long, unsigned long) override {}
    void removeBlock(unsigned long, unsigned long) override {}
    bool readOnly() const override { return true; }
    bool isOpen() const override { return open_; }
    void seek(long offset, Position p) override;
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
        std::size_t count = 0;
        char bytes[4] = {};
    };

    TagLib::ByteVector readRaw(unsigned long length);
    void applyMask(TagLib::ByteVector& r, const Mask& m) const;
    void closeFd();
    bool start(long size);
    // Reads from `fd` (a regular file of a size start() takes), closing it
    // at the end when `owns`.
    bool startDescriptor(int fd, bool owns);
    long preadFull(char* out, long len, long pos);
    bool load(Window& w, long start, long len);
    const char* find(long pos, long len) const;

    std::string name_;
    int fd_ = -1;
    bool ownsFd_ = true;
    const char* mem_ = nullptr;
    long size_ = 0;
    long readEnd_ = 0;
    long pos_ = 0;
    bool open_ = false;
    Window head_, tail_, extra_, span_;
    const Window* lastSpan_ = nullptr;  // the window span() used last
    bool usesScratch_ = false;
    std::unique_ptr<char[]> own_;
    std::uintptr_t stackBase_ = 0;
    std::vector<Mask> masks_;
    long readUsed_ = 0;
    long scanUsed_ = 0;
    long calls_ = 0;
    bool limitReached_ = false;
    bool endOnRefusal_ = false;
};

}  // namespace kestro::platform
