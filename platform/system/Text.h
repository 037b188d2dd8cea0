// Text helpers shared by the plug-in and the platform stand-ins: the one
// bounded copy into a fixed-capacity text, the one UTF-8 cut and check, and
// the one test of "is this the name of a shortcut file".
//
// Every fixed-capacity text in Kestro is a zero-terminated char array; these
// never write past `capacity` bytes and always terminate (when capacity > 0).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace kestro::platform {

// The number of bytes of `text` (`length` bytes of UTF-8) to keep so that at
// most `maxBytes` remain and no character is cut in two: `length` when it
// fits, else `maxBytes` moved back to the start of the character it would
// split. (For text that is not valid UTF-8 there, `maxBytes`.)
inline std::size_t utf8CutLength(const char* text, std::size_t length, std::size_t maxBytes) {
    if (length <= maxBytes) return length;
    // text[maxBytes] is the first byte left out. When it continues a
    // character (10xxxxxx), that character started at most three bytes
    // earlier: cut before its lead byte.
    for (std::size_t back = 0; back <= 3 && back <= maxBytes; ++back) {
        if ((static_cast<unsigned char>(text[maxBytes - back]) & 0xC0) != 0x80) return maxBytes - back;
    }
    return maxBytes;
}

// Copies `src` into `dest` (capacity bytes, terminator included), cut to
// capacity - 1 bytes. A null `src` copies the empty text. Returns the number
// of bytes copied. Nothing happens for a null `dest` or a capacity of 0.
inline std::size_t copyBounded(char* dest, std::size_t capacity, std::string_view src) {
    if (dest == nullptr || capacity == 0) return 0;
    std::size_t n = src.size() < capacity - 1 ? src.size() : capacity - 1;
    if (n) std::memmove(dest, src.data(), n);
    dest[n] = '\0';
    return n;
}
inline std::size_t copyBounded(char* dest, std::size_t capacity, const char* src) {
    return copyBounded(dest, capacity, src ? std::string_view(src) : std::string_view());
}
template <std::size_t N>
std::size_t copyBounded(char (&dest)[N], std::string_view src) {
    return copyBounded(dest, N, src);
}
template <std::size_t N>
std::size_t copyBounded(char (&dest)[N], const char* src) {
    return copyBounded(dest, N, src);
}

// Like copyBounded, but a cut falls on a UTF-8 character boundary and keeps
// at most `maxBytes` bytes (and never more than capacity - 1).
inline std::size_t copyUtf8Cut(char* dest, std::size_t capacity, std::string_view src, std::size_t maxBytes) {
    if (dest == nullptr || capacity == 0) return 0;
    const std::size_t limit = maxBytes < capacity - 1 ? maxBytes : capacity - 1;
    const std::size_t n = utf8CutLength(src.data(), src.size(), limit);
    if (n) std::memmove(dest, src.data(), n);
    dest[n] = '\0';
    return n;
}

// Appends code point `cp` (at most U+10FFFF, no surrogate) to `out` as UTF-8.
inline void appendUtf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// True when `text` ends with `suffix`, byte for byte.
inline bool endsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// True when `n` bytes at `s` are well-formed UTF-8: no overlong forms, no
// surrogates, nothing above U+10FFFF, no character cut at the end.
inline bool isValidUtf8(const unsigned char* s, std::size_t n) {
    std::size_t i = 0;
    while (i < n) {
        unsigned char c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t len;
        std::uint32_t cp;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (n - i < len) return false;
        for (std::size_t k = 1; k < len; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        if ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
            (len == 4 && (cp < 0x10000 || cp > 0x10FFFF))) {
            return false;
        }
        i += len;
    }
    return true;
}

// ASCII letters compared without regard to case, every other byte exactly
// (command words, device aliases and tag names are ASCII).
inline bool equalNoCaseAscii(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
        if (x != y) return false;
    }
    return true;
}

// True when `text` ends with `suffix`, ASCII letters compared without regard
// to case.
inline bool endsWithNoCase(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && equalNoCaseAscii(text.substr(text.size() - suffix.size()), suffix);
}

// The file-system test of a shortcut file's name: the name ends in ".lnk" in
// any letter case, as the platform's shell treats it. The scan uses it to
// keep a symbolic link named so as a file (a shortcut) rather than walking
// into the folder it points at, and the shell-link reader to take such a
// link's target. (The scan's "lnk" pass, song start and the catalogue have
// their own, case-sensitive extension rules: library/ExtensionGroups.h.)
inline bool isShortcutFileName(std::string_view name) { return endsWithNoCase(name, ".lnk"); }

}  // namespace kestro::platform
