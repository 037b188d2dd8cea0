#include "platform/files/Listing.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <numeric>

#include "platform/system/Seam.h"
#include "platform/system/Text.h"

namespace kestro::platform {

namespace {

class ReadDir : public DirectoryReader {
public:
    struct dirent* next(DIR* dir) override { return readdir(dir); }
};

Seam<DirectoryReader>& directoryReader() {
    static Seam<DirectoryReader> seam{SeamDefault<ReadDir>{}};
    return seam;
}

// Upper case of one code point, as the platform's volumes compare names.
char32_t upperCase(char32_t c) {
    if (c < 0x80) return (c >= 'a' && c <= 'z') ? c - 0x20 : c;
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return c - 0x20;  // Latin-1
    if (c == 0xFF) return 0x178;
    if (c >= 0x100 && c <= 0x17F) {  // Latin Extended-A: case pairs
        const bool oddUpper = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
        if (c == 0x130 || c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) return c;
        if (oddUpper) return (c % 2 == 0) ? c - 1 : c;
        return (c % 2 == 1) ? c - 1 : c;
    }
    if (c >= 0x3B1 && c <= 0x3C9) return c == 0x3C2 ? 0x3A3 : c - 0x20;  // Greek
    if (c == 0x3AC) return 0x386;
    if (c >= 0x3AD && c <= 0x3AF) return c - 0x25;
    if (c == 0x3CC) return 0x38C;
    if (c == 0x3CD || c == 0x3CE) return c - 0x3F;
    if (c >= 0x430 && c <= 0x44F) return c - 0x20;  // Cyrillic
    if (c >= 0x450 && c <= 0x45F) return c - 0x50;
    if ((c >= 0x460 && c <= 0x481) || (c >= 0x48A && c <= 0x4BF)) return (c % 2 == 1) ? c - 1 : c;
    return c;
}

// Decodes one UTF-8 character at text[i]; a byte that does not start a
// valid sequence stands for itself.
char32_t decode(std::string_view text, std::size_t& i) {
    const unsigned char b0 = static_cast<unsigned char>(text[i]);
    auto cont = [&](std::size_t k) {
        return i + k < text.size() && (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
    };
    auto at = [&](std::size_t k) { return static_cast<char32_t>(static_cast<unsigned char>(text[i + k]) & 0x3F); };
    if (b0 >= 0xC2 && b0 <= 0xDF && cont(1)) {
        char32_t c = (static_cast<char32_t>(b0 & 0x1F) << 6) | at(1);
        i += 2;
        return c;
    }
    if (b0 >= 0xE0 && b0 <= 0xEF && cont(1) && cont(2)) {
        char32_t c = (static_cast<char32_t>(b0 & 0x0F) << 12) | (at(1) << 6) | at(2);
        if (c >= 0x800 && (c < 0xD800 || c > 0xDFFF)) {
            i += 3;
            return c;
        }
    }
    if (b0 >= 0xF0 && b0 <= 0xF4 && cont(1) && cont(2) && cont(3)) {
        char32_t c = (static_cast<char32_t>(b0 & 0x07) << 18) | (at(1) << 12) | (at(2) << 6) | at(3);
        if (c >= 0x10000 && c <= 0x10FFFF) {
            i += 4;
            return c;
        }
    }
    i += 1;
    return b0;
}

// The name as the platform compares it: upper-cased UTF-16 code units.
std::u16string sortKey(std::string_view name) {
    std::u16string key;
    key.reserve(name.size());
    for (std::size_t i = 0; i < name.size();) {
        char32_t c = upperCase(decode(name, i));
        if (c >= 0x10000) {
            c -= 0x10000;
            key.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
            key.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
        } else {
            key.push_back(static_cast<char16_t>(c));
        }
    }
    return key;
}

bool isFolderEntry(const char* folderPath, std::string& scratch, const struct dirent* de) {
    if (de->d_type == DT_DIR) return true;
    if (de->d_type != DT_LNK && de->d_type != DT_UNKNOWN) return false;
    scratch.assign(folderPath);
    scratch += '/';
    scratch += de->d_name;
    struct stat st;
    bool link = de->d_type == DT_LNK;
    if (!link) {
        if (::lstat(scratch.c_str(), &st) != 0) return false;
        if (S_ISDIR(st.st_mode)) return true;
        link = S_ISLNK(st.st_mode);
        if (!link) return false;
    }
    // A symbolic link named like a shortcut is a shortcut file.
    if (isShortcutFileName(de->d_name)) return false;
    return ::stat(scratch.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

int compareNamesPlatformOrder(std::string_view a, std::string_view b) {
    const std::u16string ka = sortKey(a), kb = sortKey(b);
    if (int c = ka.compare(kb); c != 0) return c;
    return a.compare(b);
}

bool namesEqualNoCase(std::string_view a, std::string_view b) { return sortKey(a) == sortKey(b); }

ListingResult listFolder(const char* path, const ListingFilter& filter, std::vector<ListedEntry>& entries) {
    entries.clear();
    ListingResult result;
    if (path == nullptr || path[0] == '\0') return result;
    // O_NONBLOCK | O_DIRECTORY: a FIFO put where a folder was expected fails
    // at once instead of waiting for a writer.
    int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return result;
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        ::close(fd);
        return result;
    }
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
        ::close(fd);
        return result;
    }
    result.identity = {st.st_dev, st.st_ino};
    result.status = ListingStatus::Complete;

    DirectoryReader& reader = directoryReader().get();
    std::string scratch;
    bool anyRead = false;
    for (;;) {
        errno = 0;
        struct dirent* de = reader.next(dir);
        if (de == nullptr) {
            const int error = errno;
            if (error == 0) break;
            // A refusal met on the first read (some /proc folders open but
            // refuse to be read, and a folder removed meanwhile reads as
            // gone) is the refused listing of the original platform, where
            // the listing's open fails: the folder is passed over.
            if (!anyRead && (error == EACCES || error == EPERM || error == ENOENT)) {
                ::closedir(dir);
                entries.clear();
                return ListingResult{};
            }
            result.status = ListingStatus::Failed;
            result.error = error;
            break;
        }
        const char* name = de->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
        anyRead = true;
        // The folder test costs a stat; files are told apart by d_type alone.
        const bool folder = isFolderEntry(path, scratch, de);
        if (filter && !filter(name, folder)) continue;
        entries.push_back({name, folder});
    }
    ::closedir(dir);

    // The platform's order: by upper-cased key, then by bytes.
    std::vector<std::u16string> keys;
    keys.reserve(entries.size());
    for (const ListedEntry& e : entries) keys.push_back(sortKey(e.name));
    std::vector<std::size_t> order(entries.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) {
        if (int c = keys[x].compare(keys[y]); c != 0) return c < 0;
        return entries[x].name < entries[y].name;
    });
    std::vector<ListedEntry> sorted;
    sorted.reserve(entries.size());
    for (std::size_t i : order) sorted.push_back(std::move(entries[i]));
    entries = std::move(sorted);
    return result;
}

bool findNameNoCase(const std::string& folder, std::string_view name, std::string& found) {
    found.clear();
    if (name.empty()) return false;
    std::string exact = folder + "/" + std::string(name);
    struct stat st;
    if (::lstat(exact.c_str(), &st) == 0) {
        found.assign(name);
        return true;
    }
    const std::u16string want = sortKey(name);
    std::vector<ListedEntry> entries;
    listFolder(folder.c_str(),
               [&](std::string_view n, bool) { return sortKey(n) == want; }, entries);
    if (entries.empty()) return false;
    found = entries.front().name;
    return true;
}

void setDirectoryReader(std::shared_ptr<DirectoryReader> reader) { directoryReader().install(std::move(reader)); }

}  // namespace kestro::platform
