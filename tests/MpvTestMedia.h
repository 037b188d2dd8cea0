// Test media and helpers for the libmpv back ends: tones encoded at test time
// by real encoders, measurements of a WAV capture (its header, length and the
// frequency of its tone), and the waits and logs the back-end tests share.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/audio/mpv/MpvEngine.h"

namespace kestro::testing {

// Runs a shell command; true when it exits 0.
bool runQuiet(const std::string& command);

// Makes `path` (format from its extension: mp3, wav, wma, m4a, aif, au) a
// tone of `hz` Hz lasting `seconds`. False when the encoder failed.
bool makeTone(const std::string& path, int hz, double seconds);

// The capture as the back ends write it: 16-bit stereo PCM at 44100 Hz.
struct WavCapture {
    bool headerValid = false;  // RIFF/WAVE, PCM s16 stereo 44100, sizes match the file
    std::vector<std::int16_t> left;  // the first channel
    double seconds() const { return static_cast<double>(left.size()) / 44100.0; }
};
WavCapture readWavCapture(const std::string& path);

// The tone's frequency over samples [from, to) of `samples`, by counting
// rising zero crossings of the non-silent part; 0 for silence.
double toneFrequency(const std::vector<std::int16_t>& samples, std::size_t from, std::size_t to);
// The largest magnitude over seconds [from, to) of `samples`.
int peakBetween(const std::vector<std::int16_t>& samples, double from, double to);

// A capture cut into stretches of one tone (or of silence) at one level,
// measured over 50 ms windows; a window across a change belongs to neither
// stretch and stretches shorter than 0.15 s are left out; a silence shorter
// than 0.2 s within one tone (a dropout) does not cut it.
struct Stretch {
    double hz = 0;    // 0: silence
    double peak = 0;  // of the left channel, 0 to 1
    double seconds = 0;
    double start = 0;  // seconds into the capture
};
std::vector<Stretch> stretches(const WavCapture& capture);
// One line per stretch, for failure messages.
std::string describe(const std::vector<Stretch>& list);

// The output that plays nothing.
platform::AudioOutput nullOutput();
// Polls `done` every 10 ms for at most `limit`; true once it holds.
bool eventually(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::milliseconds(10000));

// Collects the back ends' diagnostic lines (some come from their threads)
// while it lives.
class DiagnosticLog {
public:
    DiagnosticLog();
    ~DiagnosticLog();
    std::vector<std::string> lines() const;
    bool has(const std::string& part) const;
    std::string all() const;  // one line each, for failure messages
    void clear();

private:
    struct Sink;
    std::shared_ptr<Sink> sink_;
};

}  // namespace kestro::testing
