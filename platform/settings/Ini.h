// A settings-file reader with the rules of the platform's profile functions.
//
// Syntax: "[Section]" header lines and "key=value" lines. Section and key
// names match without regard to ASCII letter case; blanks around names and
// values are ignored; a value wholly enclosed in a pair of matching double or
// single quotes loses the quotes. Lines starting with ';' or '#' are
// comments; other lines without '=' are ignored. When a section or a key
// appears more than once, the first one counts. A UTF-8 byte-order mark at
// the start of the file is skipped; CR LF and LF line ends are both read.
//
// Numbers: leading blanks are skipped, then an optional sign, then decimal
// digits up to the first non-digit ("12abc" reads 12); "0x" or "0X" followed
// by hexadecimal digits reads as hexadecimal. A value without leading digits
// reads as 0; an empty value, like a missing key, gives the default. Values
// beyond the 32-bit range saturate at its ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestro::platform {

// The value of `key` in `section` of the file text, or nothing. With `line`,
// also the number (from 1) of the line that holds it.
std::optional<std::string> iniLookup(std::string_view content, std::string_view section,
                                     std::string_view key, int* line = nullptr);

// A value text read as a number (the rules above); nothing when the text is
// empty after blanks.
std::optional<std::int32_t> iniParseInt(std::string_view value);

// The file: only a regular file is read (a FIFO, a device, a folder, or a
// link to one of them counts as missing, and opening it never waits), and of
// it only the first kIniMaxBytes bytes. When the file is longer, the line
// that the cap cuts is dropped too, and whatever lies beyond is not read.
inline constexpr std::size_t kIniMaxBytes = 1 << 20;

// The text of the file as the reads below see it (the rules above); false
// when it counts as missing.
bool iniReadFile(const char* path, std::string& out);

// While an IniReadBatch exists (on this thread), the reads share one read of
// each file: the first read of a path keeps its text and later reads of the
// same path use it. Outside a batch every read reads the file as it is then.
// Batches nest; the text is dropped when the outermost one ends.
class IniReadBatch {
public:
    IniReadBatch();
    ~IniReadBatch();
    IniReadBatch(const IniReadBatch&) = delete;
    IniReadBatch& operator=(const IniReadBatch&) = delete;
};

// The two profile reads. A missing or unreadable file gives the default.
std::int32_t iniReadInt(const char* section, const char* key, std::int32_t defaultValue,
                        const char* file);
// Copies the value (or the default) into `buffer`, cut to capacity - 1 bytes
// and zero-terminated. Returns the number of bytes copied.
std::uint32_t iniReadString(const char* section, const char* key, const char* defaultValue,
                            char* buffer, std::uint32_t capacity, const char* file);

}  // namespace kestro::platform
