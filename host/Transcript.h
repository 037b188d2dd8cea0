// The transcript of a run: one line per observable event,
//   <game time ms> <tick number> <kind>[ <details>]
// written to a file (or standard output) and/or handed to a line sink.
// Line breaks inside the details are written as spaces, so one event is
// always one line; other control characters are written as \xHH (see
// terminalText), so a text the plug-in or a song carries never reaches a
// terminal as a command.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

namespace kestro::host {

class GameWorld;

// `text` as a terminal shows it literally: a line break (\n, \r) becomes a
// space; any other C0 control (0x00-0x1F), DEL (0x7F) and a C1 control
// (U+0080-U+009F, the UTF-8 pairs C2 80 .. C2 9F) becomes \xHH, HH the
// code point in upper-case hex (\x1B, \x9B); a lone byte 0x80-0x9F that
// is not part of a well-formed UTF-8 character does too (a terminal in an
// 8-bit character set would obey it). Everything else passes unchanged,
// a backslash included. Writes at most capacity - 1 bytes and a terminating
// zero to `out` (an escape or a character is never cut in two) and returns
// the bytes written, the zero not counted.
std::size_t terminalText(std::string_view text, char* out, std::size_t capacity);

class Transcript {
public:
    // Longest line written; longer details are cut.
    static constexpr std::size_t kMaxLine = 8192;

    explicit Transcript(const GameWorld& world) : world_(world) {}

    // Not owned; null writes nowhere.
    void setOutput(std::FILE* out) { out_ = out; }
    void setLineSink(std::function<void(const std::string&)> sink) { sink_ = std::move(sink); }
    void setTraceDraw(bool on) { traceDraw_ = on; }
    bool traceDraw() const { return traceDraw_; }

    void event(const char* kind, const char* format, ...) __attribute__((format(printf, 3, 4)));
    // An event whose details are one text, written as it is.
    void text(const char* kind, const std::string& details);
    void flush();

    // True once a write or a flush of the output failed (a full disk, a
    // closed pipe, /dev/full); errorNumber() is its errno. Later events are
    // not written to the output (the line sink still hears them).
    bool failed() const { return failed_; }
    int errorNumber() const { return errorNumber_; }

private:
    void write(const char* kind, std::string_view details);

    const GameWorld& world_;
    std::FILE* out_ = nullptr;
    std::function<void(const std::string&)> sink_;
    bool traceDraw_ = false;
    bool failed_ = false;
    int errorNumber_ = 0;
    void fail();
};

}  // namespace kestro::host
