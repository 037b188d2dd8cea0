// Crafted hostile audio files, for the tag reader's tests and for
// bench/tools/hostile_bench.cpp: each is made to cost a tag reader time or
// memory out of proportion to what it holds. Written in pieces, so that
// making a 100 MB file takes no 100 MB of memory. Each function returns
// false when the file cannot be written.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace hostile {

namespace detail {

inline void le16(std::vector<char>& v, std::uint32_t x) {
    v.push_back(static_cast<char>(x & 0xFF));
    v.push_back(static_cast<char>((x >> 8) & 0xFF));
}
inline void le32(std::vector<char>& v, std::uint32_t x) {
    for (int i = 0; i < 4; ++i) v.push_back(static_cast<char>((x >> (8 * i)) & 0xFF));
}
inline void be32(std::vector<char>& v, std::uint32_t x) {
    for (int i = 3; i >= 0; --i) v.push_back(static_cast<char>((x >> (8 * i)) & 0xFF));
}
inline void tag(std::vector<char>& v, const char* four) { v.insert(v.end(), four, four + 4); }

// Writes `head`, then `unit` repeated until the file holds `size` bytes (the
// last unit cut), then `tail`.
inline bool writeRepeated(const std::string& path, const std::vector<char>& head, const std::vector<char>& unit,
                          long size, const std::vector<char>& tail = {}) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = ::write(fd, head.data(), head.size()) == static_cast<ssize_t>(head.size());
    long left = size - static_cast<long>(head.size()) - static_cast<long>(tail.size());
    std::vector<char> block;
    if (!unit.empty()) {
        while (block.size() < 64 * 1024) block.insert(block.end(), unit.begin(), unit.end());
    }
    while (ok && left > 0 && !block.empty()) {
        const long n = left < static_cast<long>(block.size()) ? left : static_cast<long>(block.size());
        ok = ::write(fd, block.data(), static_cast<std::size_t>(n)) == n;
        left -= n;
    }
    if (ok && !tail.empty()) ok = ::write(fd, tail.data(), tail.size()) == static_cast<ssize_t>(tail.size());
    return ::close(fd) == 0 && ok;
}

inline void syncsafe(std::vector<char>& v, std::uint32_t x) {
    for (int i = 3; i >= 0; --i) v.push_back(static_cast<char>((x >> (7 * i)) & 0x7F));
}

}  // namespace detail

// `size` zero bytes, written.
inline bool zeros(const std::string& path, long size) {
    return detail::writeRepeated(path, {}, std::vector<char>(4096, 0), size);
}

// A file of `size` bytes that holds no data (a hole: no disk space used).
inline bool sparse(const std::string& path, long size) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const bool ok = ::ftruncate(fd, size) == 0;
    return ::close(fd) == 0 && ok;
}

// `size` pseudo-random bytes.
inline bool random(const std::string& path, long size, std::uint32_t seed = 12345) {
    std::vector<char> unit(1 << 20);
    for (char& c : unit) {
        seed = seed * 1103515245u + 12345u;
        c = static_cast<char>(seed >> 24);
    }
    return detail::writeRepeated(path, {}, unit, size);
}

namespace detail {
// An MP3 whose ID3v2.3 tag of `size` bytes repeats one frame: `id` with a
// text of `textBytes` bytes (an encoding byte, then `fill`).
inline bool id3v2Flood(const std::string& path, long size, const char* id, std::uint32_t textBytes, char fill) {
    std::vector<char> head = {'I', 'D', '3', 3, 0, 0};
    syncsafe(head, static_cast<std::uint32_t>(size - 10));
    std::vector<char> frame;
    tag(frame, id);
    be32(frame, textBytes);
    frame.insert(frame.end(), {0, 0, 0});  // flags, Latin-1
    frame.insert(frame.end(), textBytes - 1, fill);
    return writeRepeated(path, head, frame, size);
}
}  // namespace detail

// An MP3 whose ID3v2.3 tag of `size` bytes is all 11-byte TXXX frames (a
// header and an encoding byte each).
inline bool txxxFlood(const std::string& path, long size) { return detail::id3v2Flood(path, size, "TXXX", 1, 0); }

// An MP3 whose ID3v2.3 tag of `size` bytes is all TIT2 frames of 60 KB of
// Latin-1 text (kept as 32-bit characters, such a frame takes 240 KB).
inline bool titleFlood(const std::string& path, long size) { return detail::id3v2Flood(path, size, "TIT2", 60000, 'x'); }

// An MP4 of an 'ftyp' atom and then 8-byte 'free' atoms.
inline bool mp4FreeAtoms(const std::string& path, long size) {
    std::vector<char> head;
    detail::be32(head, 16);
    detail::tag(head, "ftyp");
    detail::tag(head, "M4A ");
    detail::be32(head, 0);
    std::vector<char> atom;
    detail::be32(atom, 8);
    detail::tag(atom, "free");
    return detail::writeRepeated(path, head, atom, size);
}

// An MP4 whose one tag item (a title, or a cover when `cover`) holds
// 16-byte 'data' atoms up to `size` bytes.
inline bool mp4ItemFlood(const std::string& path, long size, bool cover) {
    std::vector<char> head;
    detail::be32(head, 16);
    detail::tag(head, "ftyp");
    detail::tag(head, "M4A ");
    detail::be32(head, 0);
    const long items = (size - 16 - 5 * 8 - 4) / 16;
    const std::uint32_t itemSize = static_cast<std::uint32_t>(8 + 16 * items);
    // moov > udta > meta (4 bytes of version and flags) > ilst > the item.
    const std::uint32_t sizes[] = {itemSize + 8 + 4 + 8 + 8 + 8, itemSize + 8 + 4 + 8 + 8, itemSize + 8 + 4 + 8,
                                   itemSize + 8};
    const char* names[] = {"moov", "udta", "meta", "ilst"};
    for (int i = 0; i < 4; ++i) {
        detail::be32(head, sizes[i]);
        detail::tag(head, names[i]);
        if (i == 2) detail::be32(head, 0);
    }
    detail::be32(head, itemSize);
    head.insert(head.end(), {cover ? 'c' : '\xA9', cover ? 'o' : 'n', cover ? 'v' : 'a', cover ? 'r' : 'm'});
    std::vector<char> data;
    detail::be32(data, 16);
    detail::tag(data, "data");
    detail::be32(data, cover ? 13 : 1);  // JPEG, or UTF-8 text
    detail::be32(data, 0);
    return detail::writeRepeated(path, head, data, static_cast<long>(head.size()) + 16 * items);
}

// A WAV (RIFF/WAVE) or AIFF (FORM/AIFF) file of empty 'JUNK' chunks.
inline bool riffEmptyChunks(const std::string& path, long size, bool aiff) {
    std::vector<char> head;
    detail::tag(head, aiff ? "FORM" : "RIFF");
    if (aiff) detail::be32(head, static_cast<std::uint32_t>(size - 8));
    else detail::le32(head, static_cast<std::uint32_t>(size - 8));
    detail::tag(head, aiff ? "AIFF" : "WAVE");
    std::vector<char> chunk;
    detail::tag(chunk, "JUNK");
    detail::be32(chunk, 0);
    return detail::writeRepeated(path, head, chunk, size);
}

// A 56-byte WMA: an ASF header object holding one extended content
// description object that claims 65535 attributes and has none.
inline bool asfAttributeClaim(const std::string& path) {
    const unsigned char header[16] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                      0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
    const unsigned char ecd[16] = {0x40, 0xA4, 0xD0, 0xD2, 0x07, 0xE3, 0xD2, 0x11,
                                   0x97, 0xF0, 0x00, 0xA0, 0xC9, 0x5E, 0xA8, 0x50};
    std::vector<char> f(header, header + 16);
    detail::le32(f, 56);
    detail::le32(f, 0);
    detail::le32(f, 1);  // one object
    detail::le16(f, 0x0201);
    f.insert(f.end(), ecd, ecd + 16);
    detail::le32(f, 26);
    detail::le32(f, 0);
    detail::le16(f, 65535);
    return detail::writeRepeated(path, f, {}, static_cast<long>(f.size()));
}

// A WAV whose RIFF INFO list of `size` bytes is all distinct 8-byte empty
// fields.
inline bool infoFlood(const std::string& path, long size) {
    std::vector<char> head;
    detail::tag(head, "RIFF");
    detail::le32(head, static_cast<std::uint32_t>(size - 8));
    detail::tag(head, "WAVE");
    detail::tag(head, "LIST");
    detail::le32(head, static_cast<std::uint32_t>(size - 20));
    detail::tag(head, "INFO");
    std::vector<char> fields;
    for (std::uint32_t i = 0; fields.size() < 8u * 64 * 1024; ++i) {
        // Names of four letters A-Z: 456976 of them before they repeat.
        const char name[4] = {static_cast<char>('A' + i % 26), static_cast<char>('A' + i / 26 % 26),
                              static_cast<char>('A' + i / 676 % 26), static_cast<char>('A' + i / 17576 % 26)};
        fields.insert(fields.end(), name, name + 4);
        detail::le32(fields, 0);
    }
    return detail::writeRepeated(path, head, fields, size);
}

// An MP3 of two silent MPEG-1 layer III frames and an APE tag of `size`
// bytes of empty 13-byte items, each with its own key.
inline bool apeFlood(const std::string& path, long size) {
    std::vector<char> frame(2 * 417, 0);
    for (std::size_t at : {std::size_t{0}, std::size_t{417}}) {
        frame[at] = static_cast<char>(0xFF);
        frame[at + 1] = static_cast<char>(0xFB);
        frame[at + 2] = static_cast<char>(0x90);  // 128 kbit/s, 44.1 kHz
    }
    std::vector<char> items;
    const long body = size - static_cast<long>(frame.size()) - 32;
    const long count = body / 13;
    for (long i = 0; i < count; ++i) {
        detail::le32(items, 0);  // value length
        detail::le32(items, 0);  // flags
        items.push_back(static_cast<char>('A' + i % 26));
        items.push_back(static_cast<char>('A' + i / 26 % 26));
        items.push_back(static_cast<char>('A' + i / 676 % 26));
        items.push_back(static_cast<char>('A' + i / 17576 % 26));
        items.push_back(0);
    }
    std::vector<char> footer;
    detail::tag(footer, "APET");
    detail::tag(footer, "AGEX");
    detail::le32(footer, 2000);
    detail::le32(footer, static_cast<std::uint32_t>(items.size() + 32));
    detail::le32(footer, static_cast<std::uint32_t>(count));
    detail::le32(footer, 0);
    footer.insert(footer.end(), 8, 0);
    frame.insert(frame.end(), items.begin(), items.end());
    return detail::writeRepeated(path, frame, {}, static_cast<long>(frame.size() + footer.size()), footer);
}

}  // namespace hostile
