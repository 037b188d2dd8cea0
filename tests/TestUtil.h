// Small helpers shared by the tests: a temporary folder that the test may
// also make the current directory, and file writing.
#pragma once

#include <cstdint>

#include <string>
#include <vector>

#include "host/Host.h"
#include "scripthook/HookHost.h"

namespace kestro::testing {

// True in the AddressSanitizer build (scripts/test.sh --sanitize), whose
// every allocation, libmpv's included, costs several times the usual time
// and memory: the bounds of time and memory that tests check allow for it.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kAddressSanitizer = true;
#else
inline constexpr bool kAddressSanitizer = false;
#endif
#else
inline constexpr bool kAddressSanitizer = false;
#endif

class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

private:
    std::string path_;
};

// Makes `dir` the current directory for the lifetime of the object.
class ScopedCwd {
public:
    explicit ScopedCwd(const std::string& dir);
    ~ScopedCwd();

private:
    std::string previous_;
};

void writeFile(const std::string& path, const std::string& content);

// A log sink that appends each line to `lines`, which outlives it.
class LogInto : public scripthook::LogSink {
public:
    explicit LogInto(std::vector<std::string>& lines) : lines_(lines) {}
    void write(const char* line) override { lines_.emplace_back(line); }

private:
    std::vector<std::string>& lines_;
};

// Options for a host made in a test: no sound devices, no log file.
host::HostOptions hostOptions(std::uint64_t seed, std::uint32_t tickMs, bool traceDraw);

// One run of the real kestro-host with the real plug-in in scenario mode.
struct HostRun {
    int status = -1;
    std::vector<std::string> lines;  // the transcript without "<ms> <tick> "
    std::vector<long> times;         // each line's game time (ms)
    std::vector<long> ticks;         // each line's tick number
    bool has(const std::string& event) const;
    // The index of the first line equal to `event` at or after `from`, or -1.
    int find(const std::string& event, int from = 0) const;
};
HostRun runHost(const TempDir& game, const std::string& scenario, const std::string& extraOptions = "");
std::string readFile(const std::string& path);
void makeDirs(const std::string& path);

}  // namespace kestro::testing
