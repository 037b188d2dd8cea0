#include "MpvTestMedia.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include "platform/system/Diagnostics.h"
#include "platform/system/Text.h"

namespace kestro::testing {

bool runQuiet(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

bool makeTone(const std::string& path, int hz, double seconds) {
    const std::string q = "'" + path + "'";
    const std::string len = std::to_string(seconds);
    const std::string f = std::to_string(hz);
    const std::string ff = "ffmpeg -nostdin -v error -y -f lavfi -i 'sine=frequency=" + f + ":duration=" + len +
                           ":sample_rate=44100' -af volume=0.5 ";
    using platform::endsWith;
    if (endsWith(path, ".mp3")) return runQuiet("sox -n -r 44100 -c 2 -t wav - synth " + len + " sine " + f + " vol 0.5 | lame --quiet -b 128 - " + q);
    if (endsWith(path, ".wav")) return runQuiet("sox -n -r 44100 -c 2 -b 16 " + q + " synth " + len + " sine " + f + " vol 0.5");
    if (endsWith(path, ".aif")) return runQuiet("sox -n -r 44100 -c 2 -b 16 -t aiff " + q + " synth " + len + " sine " + f + " vol 0.5");
    if (endsWith(path, ".au")) return runQuiet("sox -n -r 44100 -c 1 -b 16 -t au " + q + " synth " + len + " sine " + f + " vol 0.5");
    if (endsWith(path, ".wma")) return runQuiet(ff + "-c:a wmav2 -b:a 128k -f asf " + q);
    if (endsWith(path, ".m4a")) return runQuiet(ff + "-c:a aac -b:a 128k -f ipod " + q);
    return false;
}

namespace {
std::uint32_t le32(const unsigned char* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
std::uint16_t le16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
}  // namespace

WavCapture readWavCapture(const std::string& path) {
    WavCapture w;
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.size() < 44) return w;
    const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::uint32_t dataBytes = le32(b + 40);
    w.headerValid = std::memcmp(b, "RIFF", 4) == 0 && std::memcmp(b + 8, "WAVEfmt ", 8) == 0 &&
                    le32(b + 16) == 16 && le16(b + 20) == 1 && le16(b + 22) == 2 && le32(b + 24) == 44100 &&
                    le16(b + 34) == 16 && std::memcmp(b + 36, "data", 4) == 0 &&
                    le32(b + 4) == 36 + dataBytes && dataBytes == ((bytes.size() - 44) & ~std::size_t{3});
    const std::size_t frames = (bytes.size() - 44) / 4;
    w.left.resize(frames);
    for (std::size_t i = 0; i < frames; ++i) w.left[i] = static_cast<std::int16_t>(le16(b + 44 + 4 * i));
    return w;
}

double toneFrequency(const std::vector<std::int16_t>& s, std::size_t from, std::size_t to) {
    if (to > s.size()) to = s.size();
    std::size_t first = 0, last = 0, crossings = 0;
    for (std::size_t i = from + 1; i < to; ++i) {
        if (s[i - 1] < 0 && s[i] >= 0) {
            if (crossings == 0) first = i;
            last = i;
            ++crossings;
        }
    }
    if (crossings < 2) return 0.0;
    return static_cast<double>(crossings - 1) * 44100.0 / static_cast<double>(last - first);
}

int peakBetween(const std::vector<std::int16_t>& s, double from, double to) {
    int m = 0;
    for (std::size_t i = std::size_t(from * 44100); i < std::size_t(to * 44100) && i < s.size(); ++i)
        m = std::max(m, std::abs(int(s[i])));
    return m;
}

std::vector<Stretch> stretches(const WavCapture& w) {
    constexpr std::size_t kWindow = 2205;  // 50 ms
    std::vector<Stretch> out;
    std::vector<std::vector<double>> tones;  // each stretch's windows
    for (std::size_t at = 0; at + kWindow <= w.left.size(); at += kWindow) {
        int peak = 0;
        for (std::size_t i = at; i < at + kWindow; ++i) peak = std::max(peak, std::abs(int(w.left[i])));
        Stretch s;
        s.peak = peak / 32767.0;
        s.hz = s.peak < 0.01 ? 0 : toneFrequency(w.left, at, at + kWindow);
        s.seconds = 0.05;
        s.start = static_cast<double>(at) / 44100.0;
        if (!out.empty() && std::abs(out.back().hz - s.hz) < 30 && std::abs(out.back().peak - s.peak) < 0.02) {
            out.back().seconds += 0.05;
            tones.back().push_back(s.hz);
        } else {
            out.push_back(s);
            tones.push_back({s.hz});
        }
    }
    std::vector<Stretch> merged;
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (out[i].seconds <= 0.11) continue;
        // The tone of a stretch is its windows' median: a window at its
        // edge holds only part of a period train.
        std::vector<double>& t = tones[i];
        std::nth_element(t.begin(), t.begin() + t.size() / 2, t.end());
        out[i].hz = t[t.size() / 2];
        // A silence of less than 0.2 s between two stretches of one tone and
        // level is a dropout (a core run late on a loaded machine), not a
        // pause: the stretches are one.
        if (merged.size() >= 2 && merged.back().hz == 0 && merged.back().seconds < 0.2) {
            const Stretch& before = merged[merged.size() - 2];
            if (std::abs(before.hz - out[i].hz) < 8 && std::abs(before.peak - out[i].peak) < 0.02) {
                merged.pop_back();
                merged.back().seconds += out[i].seconds;
                continue;
            }
        }
        merged.push_back(out[i]);
    }
    return merged;
}

std::string describe(const std::vector<Stretch>& list) {
    std::ostringstream o;
    for (const Stretch& s : list)
        o << "\n  at " << s.start << " s: " << s.seconds << " s of " << s.hz << " Hz, peak " << s.peak;
    return o.str();
}

platform::AudioOutput nullOutput() {
    platform::AudioOutput o;
    o.kind = platform::AudioOutput::Kind::Null;
    return o;
}

bool eventually(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}

struct DiagnosticLog::Sink : platform::DiagnosticSink {
    void report(const char* line) override {
        std::lock_guard<std::mutex> g(lock);
        lines.push_back(line);
    }
    std::mutex lock;
    std::vector<std::string> lines;
};

DiagnosticLog::DiagnosticLog() : sink_(std::make_shared<Sink>()) { platform::setDiagnosticSink(sink_); }
DiagnosticLog::~DiagnosticLog() { platform::setDiagnosticSink(nullptr); }
std::vector<std::string> DiagnosticLog::lines() const {
    std::lock_guard<std::mutex> g(sink_->lock);
    return sink_->lines;
}
bool DiagnosticLog::has(const std::string& part) const {
    for (const std::string& l : lines())
        if (l.find(part) != std::string::npos) return true;
    return false;
}
std::string DiagnosticLog::all() const {
    std::string out;
    for (const std::string& l : lines()) out += l + "\n";
    return out;
}
void DiagnosticLog::clear() {
    std::lock_guard<std::mutex> g(sink_->lock);
    sink_->lines.clear();
}

}  // namespace kestro::testing
