#include "platform/audio/mpv/WavCaptureFile.h"

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

namespace kestro::platform {

namespace {

constexpr unsigned kWavHeaderSize = 44;

struct CaptureFiles {
    std::mutex lock;
    std::set<std::string> started;  // captures this process created
};

CaptureFiles& captureFiles() {
    static CaptureFiles* r = new CaptureFiles;  // used by the exit handler
    return *r;
}

void putLe32(unsigned char* p, std::uint32_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}
void putLe16(unsigned char* p, std::uint16_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}

void makeWavHeader(unsigned char (&h)[kWavHeaderSize], std::uint64_t dataBytes) {
    const unsigned block = kCaptureChannels * kCaptureBytesPerSample;
    dataBytes -= dataBytes % block;
    const std::uint64_t maxData = 0xFFFFFFFFull - 36;
    if (dataBytes > maxData) dataBytes = maxData - maxData % block;
    std::memcpy(h, "RIFF", 4);
    putLe32(h + 4, static_cast<std::uint32_t>(36 + dataBytes));
    std::memcpy(h + 8, "WAVEfmt ", 8);
    putLe32(h + 16, 16);
    putLe16(h + 20, 1);  // PCM
    putLe16(h + 22, kCaptureChannels);
    putLe32(h + 24, kCaptureRate);
    putLe32(h + 28, kCaptureRate * block);
    putLe16(h + 32, static_cast<std::uint16_t>(block));
    putLe16(h + 34, kCaptureBytesPerSample * 8);
    std::memcpy(h + 36, "data", 4);
    putLe32(h + 40, static_cast<std::uint32_t>(dataBytes));
}

void patchAllCaptures() {
    CaptureFiles& r = captureFiles();
    std::lock_guard<std::mutex> guard(r.lock);
    for (const std::string& path : r.started) {
        struct stat st;
        if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        std::FILE* f = std::fopen(path.c_str(), "r+b");
        if (!f) continue;
        std::fseek(f, 0, SEEK_END);
        long size = std::ftell(f);
        unsigned char h[kWavHeaderSize];
        makeWavHeader(h, size > static_cast<long>(kWavHeaderSize) ? static_cast<std::uint64_t>(size) - kWavHeaderSize : 0);
        std::fseek(f, 0, SEEK_SET);
        std::fwrite(h, 1, sizeof h, f);
        std::fclose(f);
    }
}

}  // namespace

bool startWavCapture(const std::string& path) {
    CaptureFiles& r = captureFiles();
    std::lock_guard<std::mutex> guard(r.lock);
    if (r.started.count(path)) return true;
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return true;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    unsigned char h[kWavHeaderSize];
    makeWavHeader(h, 0);
    bool ok = std::fwrite(h, 1, sizeof h, f) == sizeof h;
    ok = std::fclose(f) == 0 && ok;
    if (!ok) return false;
    static bool exitHandler = (std::atexit(patchAllCaptures), true);
    (void)exitHandler;
    r.started.insert(path);
    return true;
}

void patchWavCapture(const std::string& path) {
    CaptureFiles& r = captureFiles();
    {
        std::lock_guard<std::mutex> guard(r.lock);
        if (!r.started.count(path)) return;
    }
    patchAllCaptures();
}

}  // namespace kestro::platform
