// Shell-link (.lnk) reader. Every read is checked against the bounds of the
// region it belongs to; offsets and sizes from the file are never trusted.
#include "platform/files/ShellLink.h"

#include "platform/system/Text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace kestro::platform {
namespace {

// ---------------------------------------------------------------- bytes ---

// A bounded view of part of the file.
struct Region {
    const unsigned char* p = nullptr;
    std::size_t n = 0;

    bool has(std::size_t off, std::size_t len) const { return off <= n && len <= n - off; }
    bool u8(std::size_t off, std::uint8_t& v) const {
        if (!has(off, 1)) return false;
        v = p[off];
        return true;
    }
    bool u16(std::size_t off, std::uint16_t& v) const {
        if (!has(off, 2)) return false;
        v = static_cast<std::uint16_t>(p[off] | (p[off + 1] << 8));
        return true;
    }
    bool u32(std::size_t off, std::uint32_t& v) const {
        if (!has(off, 4)) return false;
        v = static_cast<std::uint32_t>(p[off]) | (static_cast<std::uint32_t>(p[off + 1]) << 8) |
            (static_cast<std::uint32_t>(p[off + 2]) << 16) |
            (static_cast<std::uint32_t>(p[off + 3]) << 24);
        return true;
    }
    Region sub(std::size_t off, std::size_t len) const {
        Region r;
        if (has(off, len)) {
            r.p = p + off;
            r.n = len;
        }
        return r;
    }
};

const unsigned char kShellLinkClsid[16] = {0x01, 0x14, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                           0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
// {20D04FE0-3AEA-1069-A2D8-08002B30309D}, My Computer / This PC.
const unsigned char kMyComputerClsid[16] = {0xE0, 0x4F, 0xD0, 0x20, 0xEA, 0x3A, 0x69, 0x10,
                                            0xA2, 0xD8, 0x08, 0x00, 0x2B, 0x30, 0x30, 0x9D};
// {208D2C60-3AEA-1069-A2D7-08002B30309D}, My Network Places.
const unsigned char kNetworkClsid[16] = {0x60, 0x2C, 0x8D, 0x20, 0xEA, 0x3A, 0x69, 0x10,
                                         0xA2, 0xD7, 0x08, 0x00, 0x2B, 0x30, 0x30, 0x9D};

constexpr std::size_t kHeaderSize = 0x4C;
constexpr std::uint32_t kEnvBlockSignature = 0xA0000001;
constexpr std::uint32_t kEnvBlockSize = 0x314;
constexpr std::uint32_t kFileEntryExtension = 0xBEEF0004;

// ------------------------------------------------------------ code pages ---

// Windows code pages 0x80..0xFF. Bytes that a code page leaves undefined map
// to the C1 control of the same value, as Windows' own conversion does.
const std::uint16_t kCp1252[128] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178, 0x00A0,
    0x00A1, 0x00A2, 0x00A3, 0x00A4, 0x00A5, 0x00A6, 0x00A7, 0x00A8, 0x00A9, 0x00AA, 0x00AB,
    0x00AC, 0x00AD, 0x00AE, 0x00AF, 0x00B0, 0x00B1, 0x00B2, 0x00B3, 0x00B4, 0x00B5, 0x00B6,
    0x00B7, 0x00B8, 0x00B9, 0x00BA, 0x00BB, 0x00BC, 0x00BD, 0x00BE, 0x00BF, 0x00C0, 0x00C1,
    0x00C2, 0x00C3, 0x00C4, 0x00C5, 0x00C6, 0x00C7, 0x00C8, 0x00C9, 0x00CA, 0x00CB, 0x00CC,
    0x00CD, 0x00CE, 0x00CF, 0x00D0, 0x00D1, 0x00D2, 0x00D3, 0x00D4, 0x00D5, 0x00D6, 0x00D7,
    0x00D8, 0x00D9, 0x00DA, 0x00DB, 0x00DC, 0x00DD, 0x00DE, 0x00DF, 0x00E0, 0x00E1, 0x00E2,
    0x00E3, 0x00E4, 0x00E5, 0x00E6, 0x00E7, 0x00E8, 0x00E9, 0x00EA, 0x00EB, 0x00EC, 0x00ED,
    0x00EE, 0x00EF, 0x00F0, 0x00F1, 0x00F2, 0x00F3, 0x00F4, 0x00F5, 0x00F6, 0x00F7, 0x00F8,
    0x00F9, 0x00FA, 0x00FB, 0x00FC, 0x00FD, 0x00FE, 0x00FF};

const std::uint16_t kCp1251[128] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409,
    0x2039, 0x040A, 0x040C, 0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0,
    0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB,
    0x00AC, 0x00AD, 0x00AE, 0x0407, 0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6,
    0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,
    // 0xC0..0xFF: А..я
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417, 0x0418, 0x0419, 0x041A,
    0x041B, 0x041C, 0x041D, 0x041E, 0x041F, 0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425,
    0x0426, 0x0427, 0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F, 0x0430,
    0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437, 0x0438, 0x0439, 0x043A, 0x043B,
    0x043C, 0x043D, 0x043E, 0x043F, 0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446,
    0x0447, 0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F};

const std::uint16_t kCp1250[128] = {
    0x20AC, 0x0081, 0x201A, 0x0083, 0x201E, 0x2026, 0x2020, 0x2021, 0x0088, 0x2030, 0x0160,
    0x2039, 0x015A, 0x0164, 0x017D, 0x0179, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x0098, 0x2122, 0x0161, 0x203A, 0x015B, 0x0165, 0x017E, 0x017A, 0x00A0,
    0x02C7, 0x02D8, 0x0141, 0x00A4, 0x0104, 0x00A6, 0x00A7, 0x00A8, 0x00A9, 0x015E, 0x00AB,
    0x00AC, 0x00AD, 0x00AE, 0x017B, 0x00B0, 0x00B1, 0x02DB, 0x0142, 0x00B4, 0x00B5, 0x00B6,
    0x00B7, 0x00B8, 0x0105, 0x015F, 0x00BB, 0x013D, 0x02DD, 0x013E, 0x017C, 0x0154, 0x00C1,
    0x00C2, 0x0102, 0x00C4, 0x0139, 0x0106, 0x00C7, 0x010C, 0x00C9, 0x0118, 0x00CB, 0x011A,
    0x00CD, 0x00CE, 0x010E, 0x0110, 0x0143, 0x0147, 0x00D3, 0x00D4, 0x0150, 0x00D6, 0x00D7,
    0x0158, 0x016E, 0x00DA, 0x0170, 0x00DC, 0x00DD, 0x0162, 0x00DF, 0x0155, 0x00E1, 0x00E2,
    0x0103, 0x00E4, 0x013A, 0x0107, 0x00E7, 0x010D, 0x00E9, 0x0119, 0x00EB, 0x011B, 0x00ED,
    0x00EE, 0x010F, 0x0111, 0x0144, 0x0148, 0x00F3, 0x00F4, 0x0151, 0x00F6, 0x00F7, 0x0159,
    0x016F, 0x00FA, 0x0171, 0x00FC, 0x00FD, 0x0163, 0x02D9};

int initialCodePage() {
    const char* env = std::getenv("KESTRO_ANSI_CODEPAGE");
    if (env != nullptr) {
        int cp = std::atoi(env);
        if (cp == 1250 || cp == 1251 || cp == 1252 || cp == 28591) return cp;
    }
    return 1252;
}

int& codePageSetting() {
    static int codePage = initialCodePage();
    return codePage;
}

// ------------------------------------------------------------- strings ---

// An ANSI string starting at `off` and ending at a NUL inside the region.
bool ansiString(const Region& r, std::size_t off, std::string& out) {
    if (off >= r.n) return false;
    const void* end = std::memchr(r.p + off, 0, r.n - off);
    if (end == nullptr) return false;
    std::size_t len = static_cast<std::size_t>(static_cast<const unsigned char*>(end) - (r.p + off));
    out = decodeAnsi(r.p + off, len);
    return true;
}

// A UTF-16 string starting at `off` and ending at a NUL unit inside the region.
bool utf16String(const Region& r, std::size_t off, std::string& out) {
    if (off >= r.n) return false;
    std::size_t units = 0;
    for (;;) {
        std::uint16_t unit;
        if (!r.u16(off + 2 * units, unit)) return false;
        if (unit == 0) break;
        ++units;
    }
    out = decodeUtf16le(r.p + off, units);
    return true;
}

// A fixed-size field holding a string that ends at the first NUL or at the
// end of the field.
std::string ansiField(const Region& r) {
    const void* end = std::memchr(r.p, 0, r.n);
    std::size_t len = end ? static_cast<std::size_t>(static_cast<const unsigned char*>(end) - r.p) : r.n;
    return decodeAnsi(r.p, len);
}

std::string utf16Field(const Region& r) {
    std::size_t units = 0;
    std::uint16_t unit;
    while (r.u16(2 * units, unit) && unit != 0) ++units;
    return decodeUtf16le(r.p, units);
}

// Joins two path parts with one backslash between them.
std::string joinPath(const std::string& base, const std::string& rest) {
    if (rest.empty()) return base;
    if (base.empty()) return rest;
    if (base.back() == '\\' || rest.front() == '\\') return base + rest;
    return base + "\\" + rest;
}

// ------------------------------------------------------------ ID list ---

// The long name of a file-entry item, from its 0xBEEF0004 extension block,
// or false when it has none that can be read.
bool extensionLongName(const Region& item, std::size_t blockOff, std::string& name) {
    std::uint16_t blockSize, version;
    std::uint32_t signature;
    if (!item.u16(blockOff, blockSize) || !item.u16(blockOff + 2, version) ||
        !item.u32(blockOff + 4, signature) || signature != kFileEntryExtension) {
        return false;
    }
    Region block = item.sub(blockOff, blockSize);
    if (block.p == nullptr || version < 3) return false;
    std::size_t nameOff = 18 + 2;
    if (version >= 7) nameOff += 18;
    if (version >= 8) nameOff += 4;
    if (version >= 9) nameOff += 4;
    std::string longName;
    if (!utf16String(block, nameOff, longName) || longName.empty()) return false;
    name = longName;
    return true;
}

// The name of a file-entry item (types 0x30..0x3F): its long name when the
// item has one, else its primary (8.3) name.
bool fileEntryName(const Region& item, std::uint8_t type, std::string& name) {
    constexpr std::size_t kNameOff = 14;
    std::size_t after;  // first byte after the primary name and its NUL
    if (type & 0x04) {
        if (!utf16String(item, kNameOff, name)) return false;
        std::size_t units = 0;
        std::uint16_t unit;
        while (item.u16(kNameOff + 2 * units, unit) && unit != 0) ++units;
        after = kNameOff + 2 * units + 2;
    } else {
        if (!ansiString(item, kNameOff, name)) return false;
        after = kNameOff + std::strlen(reinterpret_cast<const char*>(item.p + kNameOff)) + 1;
        after += after & 1;
    }
    if (extensionLongName(item, after, name)) return true;
    // Some writers pad differently; the item's last two bytes hold the
    // offset of its first extension block.
    std::uint16_t firstBlock;
    if (item.n >= 2 && item.u16(item.n - 2, firstBlock) && firstBlock >= kNameOff) {
        extensionLongName(item, firstBlock, name);
    }
    return !name.empty();
}

// Rebuilds the file-system path named by an ID list: My Computer, a drive
// and file-entry items, or My Network Places, network items and
// file-entry items. Anything else (the Desktop namespace, known folders,
// apps, delegate items) gives the empty text.
std::string idListPath(const Region& list) {
    enum class Root { None, Computer, Network } root = Root::None;
    std::string path;
    bool haveBase = false;
    std::size_t pos = 0;
    for (int index = 0;; ++index) {
        std::uint16_t itemSize;
        if (!list.u16(pos, itemSize) || itemSize == 0) break;
        Region item = list.sub(pos, itemSize);
        std::uint8_t type;
        if (itemSize < 3 || item.p == nullptr || !item.u8(2, type)) return std::string();
        pos += itemSize;

        if (index == 0) {
            if (type != 0x1F || !item.has(4, 16)) return std::string();
            if (std::memcmp(item.p + 4, kMyComputerClsid, 16) == 0) {
                root = Root::Computer;
            } else if (std::memcmp(item.p + 4, kNetworkClsid, 16) == 0) {
                root = Root::Network;
            } else {
                return std::string();
            }
            continue;
        }

        if (!haveBase) {
            if (root == Root::Computer) {
                // A drive item with its name ("C:\") at offset 3.
                if ((type & 0x70) != 0x20 || !(type & 0x01)) return std::string();
                if (!ansiString(item, 3, path) || path.empty()) return std::string();
                haveBase = true;
                continue;
            }
            // Network items: domain, server, share; each holds the full
            // location, so the last one before the first file entry counts.
            if ((type & 0x70) == 0x40) {
                if (!ansiString(item, 5, path)) return std::string();
                continue;
            }
            if (path.size() < 3 || path[0] != '\\' || path[1] != '\\') return std::string();
            haveBase = true;
        }
        if ((type & 0x70) != 0x30) return std::string();
        std::string name;
        if (!fileEntryName(item, type, name)) return std::string();
        path = joinPath(path, name);
    }
    if (root == Root::Network && !haveBase && path.size() >= 3 && path[0] == '\\' && path[1] == '\\') {
        haveBase = true;
    }
    return haveBase ? path : std::string();
}

// ----------------------------------------------------------- LinkInfo ---

void readNetworkLink(const Region& info, std::size_t off, const std::string& suffix,
                     ShellLinkFields& out) {
    std::uint32_t size, flags, netOff, devOff;
    if (!info.u32(off, size) || size < 0x14 || !info.has(off, size)) return;
    Region link = info.sub(off, size);
    if (!link.u32(4, flags) || !link.u32(8, netOff) || !link.u32(12, devOff)) return;
    std::uint32_t netUOff = 0, devUOff = 0;
    if (netOff > 0x14) {
        if (!link.u32(20, netUOff)) netUOff = 0;
        if (!link.u32(24, devUOff)) devUOff = 0;
    }
    std::string net;
    bool haveNet = (netUOff >= 0x14 && utf16String(link, netUOff, net)) ||
                   (netOff >= 0x14 && ansiString(link, netOff, net));
    if (haveNet && !net.empty()) out.networkPath = joinPath(net, suffix);
    if (flags & 0x1) {  // ValidDevice
        std::string dev;
        bool haveDev = (devUOff >= 0x14 && utf16String(link, devUOff, dev)) ||
                       (devOff >= 0x14 && ansiString(link, devOff, dev));
        if (haveDev && !dev.empty()) out.devicePath = joinPath(dev, suffix);
    }
}

void readLinkInfo(const Region& info, ShellLinkFields& out) {
    std::uint32_t headerSize, flags, localOff, networkOff, suffixOff;
    if (!info.u32(4, headerSize) || !info.u32(8, flags) || !info.u32(16, localOff) ||
        !info.u32(20, networkOff) || !info.u32(24, suffixOff)) {
        return;
    }
    if (headerSize < 0x1C || headerSize > info.n) return;
    std::uint32_t localUOff = 0, suffixUOff = 0;
    if (headerSize >= 0x24) {
        info.u32(28, localUOff);
        info.u32(32, suffixUOff);
    }
    auto valid = [&](std::uint32_t off) { return off >= headerSize && off < info.n; };

    std::string suffix;
    if (!(valid(suffixUOff) && utf16String(info, suffixUOff, suffix)) &&
        !(valid(suffixOff) && ansiString(info, suffixOff, suffix))) {
        suffix.clear();
    }
    if (flags & 0x1) {  // VolumeIDAndLocalBasePath
        std::string base;
        if ((valid(localUOff) && utf16String(info, localUOff, base)) ||
            (valid(localOff) && ansiString(info, localOff, base))) {
            if (!base.empty()) out.localPath = joinPath(base, suffix);
        }
    }
    if ((flags & 0x2) && valid(networkOff)) {  // CommonNetworkRelativeLinkAndPathSuffix
        readNetworkLink(info, networkOff, suffix, out);
    }
}

}  // namespace

// ------------------------------------------------------------ text API ---

std::string decodeAnsi(const unsigned char* bytes, std::size_t length) {
    if (bytes == nullptr || length == 0) return std::string();
    if (isValidUtf8(bytes, length)) return std::string(reinterpret_cast<const char*>(bytes), length);
    const std::uint16_t* table = kCp1252;
    switch (shellLinkAnsiCodePage()) {
        case 1250: table = kCp1250; break;
        case 1251: table = kCp1251; break;
        case 28591: table = nullptr; break;
        default: break;
    }
    std::string out;
    out.reserve(length * 2);
    for (std::size_t i = 0; i < length; ++i) {
        unsigned char c = bytes[i];
        appendUtf8(out, c < 0x80 || table == nullptr ? c : table[c - 0x80]);
    }
    return out;
}

std::string decodeUtf16le(const unsigned char* bytes, std::size_t units) {
    std::string out;
    if (bytes == nullptr) return out;
    out.reserve(units * 3);
    for (std::size_t i = 0; i < units; ++i) {
        std::uint32_t u = bytes[2 * i] | (bytes[2 * i + 1] << 8);
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
            std::uint32_t low = bytes[2 * i + 2] | (bytes[2 * i + 3] << 8);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                appendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
                ++i;
                continue;
            }
        }
        if (u >= 0xD800 && u <= 0xDFFF) u = 0xFFFD;
        appendUtf8(out, u);
    }
    return out;
}

bool setShellLinkAnsiCodePage(int codePage) {
    if (codePage != 1250 && codePage != 1251 && codePage != 1252 && codePage != 28591) return false;
    codePageSetting() = codePage;
    return true;
}

int shellLinkAnsiCodePage() { return codePageSetting(); }

// -------------------------------------------------------------- reader ---

bool parseShellLink(const unsigned char* data, std::size_t size, ShellLinkFields& out) {
    out = ShellLinkFields();
    Region file{data, data ? size : 0};
    std::uint32_t headerSize, flags;
    if (!file.u32(0, headerSize) || headerSize != kHeaderSize || !file.has(0, kHeaderSize) ||
        std::memcmp(file.p + 4, kShellLinkClsid, 16) != 0 || !file.u32(20, flags)) {
        return false;
    }
    out.isLink = true;
    out.flags = flags;
    std::size_t pos = kHeaderSize;

    if (flags & kLinkHasIdList) {
        std::uint16_t listSize;
        if (!file.u16(pos, listSize) || !file.has(pos + 2, listSize)) return true;
        out.idListPath = idListPath(file.sub(pos + 2, listSize));
        pos += 2 + listSize;
    }

    if (flags & kLinkHasLinkInfo) {
        std::uint32_t infoSize;
        if (!file.u32(pos, infoSize) || infoSize < 0x1C || !file.has(pos, infoSize)) return true;
        if (!(flags & kLinkForceNoLinkInfo)) readLinkInfo(file.sub(pos, infoSize), out);
        pos += infoSize;
    }

    const std::uint32_t stringFlags[] = {kLinkHasName, kLinkHasRelativePath, kLinkHasWorkingDir,
                                         kLinkHasArguments, kLinkHasIconLocation};
    const std::size_t unitSize = (flags & kLinkIsUnicode) ? 2 : 1;
    for (std::uint32_t flag : stringFlags) {
        if (!(flags & flag)) continue;
        std::uint16_t count;
        if (!file.u16(pos, count) || !file.has(pos + 2, count * unitSize)) return true;
        if (flag == kLinkHasRelativePath) {
            out.relativePath = unitSize == 2 ? decodeUtf16le(file.p + pos + 2, count)
                                             : decodeAnsi(file.p + pos + 2, count);
        }
        pos += 2 + count * unitSize;
    }

    bool envSeen = false;
    for (;;) {
        std::uint32_t blockSize, signature;
        if (!file.u32(pos, blockSize)) return true;  // no terminal block
        if (blockSize < 4) break;                    // terminal block
        if (blockSize < 8 || !file.has(pos, blockSize) || !file.u32(pos + 4, signature)) return true;
        if (signature == kEnvBlockSignature && blockSize >= kEnvBlockSize && !envSeen &&
            (flags & kLinkHasExpString)) {
            envSeen = true;
            std::string target = utf16Field(file.sub(pos + 8 + 260, 520));
            if (target.empty()) target = ansiField(file.sub(pos + 8, 260));
            out.envTarget = target;
        }
        pos += blockSize;
    }
    out.complete = true;
    return true;
}

std::string shellLinkTarget(const ShellLinkFields& f) {
    if (!f.isLink) return std::string();
    const std::string* choice = &f.idListPath;
    if (!f.envTarget.empty()) {
        choice = &f.envTarget;
    } else if (!f.localPath.empty()) {
        choice = &f.localPath;
    } else if (!f.devicePath.empty()) {
        choice = &f.devicePath;
    } else if (!f.networkPath.empty()) {
        choice = &f.networkPath;
    }
    return *choice;
}

std::string shellLinkRawPath(const unsigned char* data, std::size_t size) {
    ShellLinkFields fields;
    if (!parseShellLink(data, size, fields)) return std::string();
    return shellLinkTarget(fields);
}

namespace {

int readSymlinkTarget(const char* path, std::size_t hint, std::string& target) {
    std::vector<char> buf(hint > 0 && hint < (1u << 16) ? hint + 1 : 4096);
    for (;;) {
        ssize_t got = ::readlink(path, buf.data(), buf.size());
        if (got < 0) return kShellLinkUnreadable;
        if (static_cast<std::size_t>(got) < buf.size()) {
            target.assign(buf.data(), static_cast<std::size_t>(got));
            break;
        }
        if (buf.size() >= (1u << 20)) return kShellLinkUnreadable;
        buf.resize(buf.size() * 2);
    }
    if (target.empty()) return kShellLinkUnreadable;
    if (target[0] != '/') {
        std::string folder(path);
        std::size_t slash = folder.rfind('/');
        if (slash == std::string::npos) {
            folder.clear();
        } else {
            folder.erase(slash == 0 ? 1 : slash);
        }
        if (folder.empty() || folder[0] != '/') {
            char cwd[4096];
            if (::getcwd(cwd, sizeof cwd) == nullptr) return kShellLinkUnreadable;
            folder = folder.empty() ? std::string(cwd) : std::string(cwd) + "/" + folder;
        }
        if (folder.back() != '/') folder += '/';
        target = folder + target;
    }
    return kShellLinkOk;
}

}  // namespace

int readShellLinkFile(const char* path, std::string& target) {
    target.clear();
    if (path == nullptr || path[0] == '\0') return kShellLinkUnreadable;
    struct stat st;
    // Only a name like a shortcut's can be a symbolic-link shortcut (the
    // scan's m4a pass asks about every m4a file: no lstat for those).
    if (isShortcutFileName(path)) {
        if (::lstat(path, &st) != 0) return kShellLinkUnreadable;
        if (S_ISLNK(st.st_mode)) {
            int status = readSymlinkTarget(path, static_cast<std::size_t>(st.st_size), target);
            if (status != kShellLinkOk) target.clear();
            return status;
        }
    }

    // O_NONBLOCK: a FIFO or device named like a shortcut must not hang us.
    int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return kShellLinkUnreadable;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return kShellLinkUnreadable;
    }
    // Reads into `out` until `count` bytes are there or the file ends.
    auto readUpTo = [fd](unsigned char* out, std::size_t count) {
        std::size_t have = 0;
        while (have < count) {
            ssize_t got = ::read(fd, out + have, count - have);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            have += static_cast<std::size_t>(got);
        }
        return have;
    };
    // The header first, into a small buffer: an audio file given as a
    // shortcut (every m4a file of the scan's shortcut pass) costs one small
    // read and no buffer of its size.
    unsigned char header[kHeaderSize];
    std::size_t have = readUpTo(header, kHeaderSize);
    ShellLinkFields probe;
    if (have < kHeaderSize || !parseShellLink(header, have, probe)) {
        ::close(fd);
        return kShellLinkNotALink;
    }
    std::size_t want = st.st_size > 0 ? static_cast<std::size_t>(st.st_size) : 0;
    if (want > kShellLinkMaxFileSize) want = kShellLinkMaxFileSize;
    std::vector<unsigned char> data(want < kHeaderSize ? kHeaderSize : want);
    std::memcpy(data.data(), header, kHeaderSize);
    have += readUpTo(data.data() + kHeaderSize, data.size() - kHeaderSize);
    ::close(fd);
    ShellLinkFields fields;
    if (!parseShellLink(data.data(), have, fields)) return kShellLinkNotALink;
    target = shellLinkTarget(fields);
    return kShellLinkOk;
}

}  // namespace kestro::platform
