#include "host/Transcript.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <algorithm>

#include "host/GameWorld.h"
#include "platform/system/Text.h"

namespace kestro::host {

namespace {

// Bytes of the well-formed UTF-8 character at the start of `s` (1 for an
// ASCII byte), or 0 when no well-formed character starts there.
std::size_t utf8CharLength(std::string_view s) {
    const unsigned char lead = static_cast<unsigned char>(s[0]);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xC2 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF5 ? 4 : 0;
    if (length == 0 || length > s.size()) return 0;
    return platform::isValidUtf8(reinterpret_cast<const unsigned char*>(s.data()), length) ? length : 0;
}

}  // namespace

std::size_t terminalText(std::string_view text, char* out, std::size_t capacity) {
    if (out == nullptr || capacity == 0) return 0;
    std::size_t written = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        std::size_t length = utf8CharLength(text.substr(i));
        // The control this unit stands for, if it is one: a C0 byte, DEL, a
        // C1 character or a stray byte in the C1 range.
        int control = -1;
        if (length == 1 && (c < 0x20 || c == 0x7F)) control = c;
        if (length == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) <= 0x9F)
            control = static_cast<unsigned char>(text[i + 1]);
        if (length == 0) {
            length = 1;
            if (c >= 0x80 && c <= 0x9F) control = c;
        }
        char escape[5];
        std::string_view piece = text.substr(i, length);
        if (control == '\n' || control == '\r') {
            piece = " ";
        } else if (control >= 0) {
            std::snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned>(control));
            piece = std::string_view(escape, 4);
        }
        if (written + piece.size() > capacity - 1) break;
        std::memcpy(out + written, piece.data(), piece.size());
        written += piece.size();
        i += length;
    }
    out[written] = '\0';
    return written;
}

void Transcript::event(const char* kind, const char* format, ...) {
    char details[kMaxLine];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(details, sizeof details, format ? format : "", args);
    va_end(args);
    write(kind, std::string_view(details, n < 0 ? 0 : std::min<std::size_t>(n, sizeof details - 1)));
}

void Transcript::text(const char* kind, const std::string& details) { write(kind, details); }

void Transcript::write(const char* kind, std::string_view details) {
    if (out_ == nullptr && !sink_) return;
    char line[kMaxLine];
    const int n = std::snprintf(line, 96, "%u %llu %.32s%s", world_.gameTime(),
                                static_cast<unsigned long long>(world_.tickNumber()), kind ? kind : "?",
                                details.empty() ? "" : " ");
    if (n < 0) return;
    const std::size_t head = std::strlen(line);
    const std::size_t length = head + terminalText(details, line + head, sizeof line - head);
    if (out_ && !failed_) {
        if (std::fwrite(line, 1, length, out_) != length || std::fputc('\n', out_) == EOF) fail();
    }
    if (sink_) sink_(std::string(line, length));
}

void Transcript::flush() {
    if (out_ && !failed_ && (std::fflush(out_) == EOF || std::ferror(out_))) fail();
}

void Transcript::fail() {
    if (!failed_) errorNumber_ = errno != 0 ? errno : EIO;
    failed_ = true;
}

}  // namespace kestro::host
