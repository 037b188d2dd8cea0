#include "platform/tags/MediaTagsStream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace kestro::platform {

using namespace mediatags;

MediaIoCounters ioCounters;

namespace {

std::uintptr_t stackAddress() { return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)); }

// The windows' memory: one block per thread, reused from file to file (the
// streams of one thread never overlap in time; a second stream on the same
// thread while one is open gets its own memory).
struct ScratchBlock {
    std::unique_ptr<char[]> data;
    bool inUse = false;
};
thread_local ScratchBlock scratch;

constexpr long kHeadCap = kWholeFileLimit > kHeadSize ? kWholeFileLimit : kHeadSize;
constexpr std::size_t kBlockSize = static_cast<std::size_t>(kHeadCap + kTailSize + kWindowSize + kSpanSize);

}  // namespace

FastFileStream::FastFileStream() {
    char* block;
    if (!scratch.inUse) {
        if (!scratch.data) scratch.data.reset(new char[kBlockSize]);
        scratch.inUse = true;
        usesScratch_ = true;
        block = scratch.data.get();
    } else {
        own_.reset(new char[kBlockSize]);
        block = own_.get();
    }
    head_.buf = block;
    head_.cap = kHeadCap;
    tail_.buf = block + kHeadCap;
    tail_.cap = kTailSize;
    extra_.buf = tail_.buf + kTailSize;
    extra_.cap = kWindowSize;
    span_.buf = extra_.buf + kWindowSize;
    span_.cap = kSpanSize;
}

FastFileStream::~FastFileStream() {
    closeFile();
    if (usesScratch_) scratch.inUse = false;
}

bool FastFileStream::openFile(const char* path) {
    name_ = path;
    int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    ++ioCounters.syscalls;
    if (fd < 0) return false;
    ++ioCounters.files;
    return startDescriptor(fd, true);
}

bool FastFileStream::openDescriptor(int fd, const char* name) {
    name_ = name ? name : "";
    return fd >= 0 && startDescriptor(fd, false);
}

bool FastFileStream::startDescriptor(int fd, bool owns) {
    fd_ = fd;
    ownsFd_ = owns;
    struct stat st;
    ++ioCounters.syscalls;
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0 || st.st_size > LONG_MAX / 2) {
        closeFile();
        return false;
    }
    return start(static_cast<long>(st.st_size));
}

bool FastFileStream::openMemory(const void* data, std::size_t size, const char* name) {
    name_ = name ? name : "";
    if (!data || size == 0 || size > static_cast<std::size_t>(LONG_MAX / 2)) return false;
    mem_ = static_cast<const char*>(data);
    return start(static_cast<long>(size));
}

void FastFileStream::closeFile() {
    closeFd();
    mem_ = nullptr;
    open_ = false;
    masks_.clear();
}

long FastFileStream::readAt(long pos, long len, char* out) {
    seek(pos, Beginning);
    TagLib::ByteVector v = readBlock(static_cast<unsigned long>(len));
    std::memcpy(out, v.data(), v.size());
    return static_cast<long>(v.size());
}

void FastFileStream::markStackBase() { stackBase_ = stackAddress(); }

void FastFileStream::maskBytes(long offset, const char* bytes, std::size_t count) {
    Mask m;
    m.offset = offset;
    m.count = std::min<std::size_t>(count, sizeof m.bytes);
    std::memcpy(m.bytes, bytes, m.count);
    masks_.push_back(m);
}

void FastFileStream::seek(long offset, Position p) {
    long base = p == Beginning ? 0 : p == Current ? pos_ : size_;
    // Overflow-safe: ignore seeks that would go negative or wrap.
    if (offset < 0 && base + offset < 0) return;  // base >= 0: no overflow
    if (offset > 0 && base > LONG_MAX - offset) return;
    pos_ = base + offset;
}

TagLib::ByteVector FastFileStream::readBlock(unsigned long length) {
    if (!open_ || length == 0 || pos_ >= readEnd_) return TagLib::ByteVector();
    // The budget. What a read would hand over is known before it is made
    // (the file's bytes from pos_ on, at most `length`).
    const unsigned long there = std::min<unsigned long>(length, static_cast<unsigned long>(readEnd_ - pos_));
    const bool small = there < static_cast<unsigned long>(kWindowSize);
    if (calls_ >= kReadCalls || there > static_cast<unsigned long>(kReadBudget - readUsed_) ||
        (small && there > static_cast<unsigned long>(kScanBudget - scanUsed_))) {
        limitReached_ = true;
        if (endOnRefusal_) readEnd_ = 0;
        return TagLib::ByteVector();
    }
    ++calls_;
    TagLib::ByteVector r = readRaw(there);
    readUsed_ += static_cast<long>(r.size());
    if (small) scanUsed_ += static_cast<long>(r.size());
    for (const Mask& m : masks_) applyMask(r, m);
    return r;
}

const unsigned char* FastFileStream::span(long pos, long want, long& got, long ahead) {
    got = 0;
    if (!open_ || pos < 0 || pos >= readEnd_ || want <= 0) return nullptr;
    want = std::min(want, readEnd_ - pos);
    if (mem_) {
        got = want;
        return reinterpret_cast<const unsigned char*>(mem_ + pos);
    }
    // The window that served the last call first: the scanners walk on
    // through one window (the frame count asks for every frame's header).
    if (lastSpan_ && lastSpan_->len > 0 && pos >= lastSpan_->start && pos + want <= lastSpan_->start + lastSpan_->len) {
        got = want;
        return reinterpret_cast<const unsigned char*>(lastSpan_->buf + (pos - lastSpan_->start));
    }
    for (const Window* w : {&head_, &tail_, &extra_, &span_}) {
        if (w->len > 0 && pos >= w->start && pos < w->start + w->len) {
            got = std::min(want, w->start + w->len - pos);
            if (got == want || w->start + w->len == readEnd_) {
                lastSpan_ = w;
                return reinterpret_cast<const unsigned char*>(w->buf + (pos - w->start));
            }
        }
    }
    got = 0;
    const long length = std::min({kSpanSize, readEnd_ - pos, std::max(want, ahead)});
    if (fd_ < 0 || !load(span_, pos, length) || span_.len == 0) return nullptr;
    got = std::min(want, span_.len);
    lastSpan_ = &span_;
    return reinterpret_cast<const unsigned char*>(span_.buf);
}

// `r` was read at pos_ - r.size().
void FastFileStream::applyMask(TagLib::ByteVector& r, const Mask& m) const {
    const long start = pos_ - static_cast<long>(r.size());
    for (long k = 0; k < static_cast<long>(m.count); ++k) {
        const long at = m.offset + k - start;
        if (at >= 0 && at < static_cast<long>(r.size())) r[static_cast<unsigned int>(at)] = m.bytes[k];
    }
}

TagLib::ByteVector FastFileStream::readRaw(unsigned long length) {
    if (stackBase_ != 0) {
        const std::uintptr_t here = stackAddress();
        if (here < stackBase_ && stackBase_ - here > kStackBudget) return TagLib::ByteVector();
    }
    // (A ByteVector holds at most UINT_MAX bytes; stay well below.)
    long len = static_cast<long>(std::min<unsigned long>(
        {length, static_cast<unsigned long>(readEnd_ - pos_), static_cast<unsigned long>(INT_MAX)}));
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

void FastFileStream::closeFd() {
    if (fd_ >= 0 && ownsFd_) {
        ::close(fd_);
        ++ioCounters.syscalls;
    }
    fd_ = -1;
    ownsFd_ = true;
}

// Reads the head (or all of a small file) after the size is known.
bool FastFileStream::start(long size) {
    size_ = size;
    readEnd_ = size;
    const long first = size_ <= kWholeFileLimit ? size_ : kHeadSize;
    if (!load(head_, 0, first) || head_.len == 0) {
        closeFile();
        return false;
    }
    if (head_.len == size_) closeFd();  // all of it is in memory: no more calls
    open_ = true;
    return true;
}

long FastFileStream::preadFull(char* out, long len, long pos) {
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

bool FastFileStream::load(Window& w, long start, long len) {
    if (len > w.cap) len = w.cap;
    w.start = start;
    w.len = 0;
    long got = preadFull(w.buf, len, start);
    if (got < 0) return false;
    w.len = got;
    return true;
}

const char* FastFileStream::find(long pos, long len) const {
    for (const Window* w : {&head_, &tail_, &extra_, &span_}) {
        if (w->len > 0 && pos >= w->start && pos + len <= w->start + w->len) return w->buf + (pos - w->start);
    }
    return nullptr;
}

}  // namespace kestro::platform
