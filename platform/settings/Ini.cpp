#include "platform/settings/Ini.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "platform/system/Text.h"

namespace kestro::platform {

namespace {

std::string_view trim(std::string_view s) {
    const char* blanks = " \t\r\n\f\v";
    std::size_t b = s.find_first_not_of(blanks);
    if (b == std::string_view::npos) return {};
    std::size_t e = s.find_last_not_of(blanks);
    return s.substr(b, e - b + 1);
}

bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

// Reads the settings file into `out`: at most kIniMaxBytes of it, and only
// when it is a regular file. The open does not wait (a FIFO without a writer
// would block a plain open forever), and the type is taken from the open
// descriptor, so the file tested is the file read. When the file goes on
// past the cap, the line the cap cuts is dropped, so that no value is read
// cut short ("Volume=640" must not read as 64).
}  // namespace

bool iniReadFile(const char* path, std::string& out) {
    out.clear();
    if (path == nullptr) return false;
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return false;
    struct stat st;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (ok) {
        // Up to one byte more than the cap: that byte tells whether the
        // file goes on.
        if (st.st_size > 0) out.reserve(std::min<std::size_t>(static_cast<std::size_t>(st.st_size), kIniMaxBytes) + 1);
        char chunk[16384];
        while (out.size() <= kIniMaxBytes) {
            const ssize_t n = ::read(fd, chunk, std::min(sizeof chunk, kIniMaxBytes + 1 - out.size()));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                ok = false;
                out.clear();
                break;
            }
            if (n == 0) break;
            out.append(chunk, static_cast<std::size_t>(n));
        }
        if (out.size() > kIniMaxBytes) {
            out.resize(kIniMaxBytes);
            const std::size_t lastLineEnd = out.rfind('\n');
            out.resize(lastLineEnd == std::string::npos ? 0 : lastLineEnd + 1);
        }
    }
    ::close(fd);
    return ok;
}

namespace {

// The batch: while one is open, the first read of a file is kept and the
// later reads of the same path use it.
struct BatchState {
    int depth = 0;
    bool loaded = false;
    std::string path;
    bool readable = false;
    std::string content;
};

thread_local BatchState batch;

// The file's text for one lookup: from the open batch when it holds this
// path, else read now.
bool settingsText(const char* path, std::string& scratch, const std::string*& text) {
    if (path == nullptr) return false;
    if (batch.depth > 0) {
        if (!batch.loaded || batch.path != path) {
            batch.path = path;
            batch.readable = iniReadFile(path, batch.content);
            batch.loaded = true;
        }
        text = &batch.content;
        return batch.readable;
    }
    text = &scratch;
    return iniReadFile(path, scratch);
}

int digitValue(char c, int base) {
    int v;
    if (c >= '0' && c <= '9')
        v = c - '0';
    else if (c >= 'a' && c <= 'f')
        v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
        v = c - 'A' + 10;
    else
        return -1;
    return v < base ? v : -1;
}

}  // namespace

std::optional<std::string> iniLookup(std::string_view content, std::string_view section,
                                     std::string_view key, int* line) {
    if (content.size() >= 3 && std::memcmp(content.data(), "\xEF\xBB\xBF", 3) == 0)
        content.remove_prefix(3);
    bool inSection = false;
    bool sectionSeen = false;
    std::string_view wantSection = trim(section);
    std::string_view wantKey = trim(key);
    int lineNumber = 0;
    while (!content.empty()) {
        ++lineNumber;
        std::size_t nl = content.find('\n');
        std::string_view text = trim(content.substr(0, nl));
        content.remove_prefix(nl == std::string_view::npos ? content.size() : nl + 1);
        if (text.empty() || text[0] == ';' || text[0] == '#') continue;
        if (text[0] == '[') {
            std::size_t close = text.find(']');
            if (close == std::string_view::npos) continue;
            if (inSection) return std::nullopt;  // only the first such section counts
            inSection = !sectionSeen && equalsNoCase(trim(text.substr(1, close - 1)), wantSection);
            sectionSeen = sectionSeen || inSection;
            continue;
        }
        if (!inSection) continue;
        std::size_t eq = text.find('=');
        if (eq == std::string_view::npos) continue;
        if (!equalsNoCase(trim(text.substr(0, eq)), wantKey)) continue;
        std::string_view value = trim(text.substr(eq + 1));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        if (line != nullptr) *line = lineNumber;
        return std::string(value);
    }
    return std::nullopt;
}

std::optional<std::int32_t> iniParseInt(std::string_view value) {
    value = trim(value);
    if (value.empty()) return std::nullopt;
    std::size_t i = 0;
    bool negative = false;
    if (value[i] == '+' || value[i] == '-') {
        negative = value[i] == '-';
        ++i;
    }
    int base = 10;
    if (i + 1 < value.size() && value[i] == '0' && (value[i + 1] == 'x' || value[i + 1] == 'X') &&
        i + 2 < value.size() && digitValue(value[i + 2], 16) >= 0) {
        base = 16;
        i += 2;
    }
    std::int64_t acc = 0;
    constexpr std::int64_t limit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
    for (; i < value.size(); ++i) {
        int d = digitValue(value[i], base);
        if (d < 0) break;
        acc = acc * base + d;
        if (acc > limit) acc = limit;
    }
    if (negative) acc = -acc;
    if (acc > std::numeric_limits<std::int32_t>::max()) acc = std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(acc);
}

IniReadBatch::IniReadBatch() { ++batch.depth; }

IniReadBatch::~IniReadBatch() {
    if (--batch.depth == 0) {
        batch.loaded = false;
        batch.path.clear();
        batch.content.clear();
        batch.content.shrink_to_fit();
    }
}

std::int32_t iniReadInt(const char* section, const char* key, std::int32_t defaultValue,
                        const char* file) {
    std::string scratch;
    const std::string* content = nullptr;
    if (section == nullptr || key == nullptr || !settingsText(file, scratch, content)) return defaultValue;
    auto value = iniLookup(*content, section, key);
    if (!value) return defaultValue;
    return iniParseInt(*value).value_or(defaultValue);
}

std::uint32_t iniReadString(const char* section, const char* key, const char* defaultValue,
                            char* buffer, std::uint32_t capacity, const char* file) {
    if (buffer == nullptr || capacity == 0) return 0;
    std::string scratch;
    const std::string* content = nullptr;
    std::optional<std::string> value;
    if (section != nullptr && key != nullptr && settingsText(file, scratch, content))
        value = iniLookup(*content, section, key);
    return static_cast<std::uint32_t>(copyBounded(buffer, capacity, value ? std::string_view(*value)
                                                                          : std::string_view(defaultValue ? defaultValue : "")));
}

}  // namespace kestro::platform
