// The transcript of a run: one line per observable event,
//   <game time ms> <tick number> <kind>[ <details>]
// written to a file (or standard output) and/or handed to a line sink.
// Line breaks inside the details are written as spaces, so one event is
// always one line.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

namespace kestro::host {

class GameWorld;

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
    void write(const char* kind, const char* details);

    const GameWorld& world_;
    std::FILE* out_ = nullptr;
    std::function<void(const std::string&)> sink_;
    bool traceDraw_ = false;
    bool failed_ = false;
    int errorNumber_ = 0;
    void fail();
};

}  // namespace kestro::host
