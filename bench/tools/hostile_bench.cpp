// Time and memory of the media-format reader on crafted hostile files
// (tests/HostileFiles.h), one forked child per file so that each
// file's peak memory is its own.
//
//   hostile_bench DIR [PART...]
//
// Makes the files in DIR (kept: the large ones take a while to write) and
// prints, per file, the wall and CPU time of MediaTags::open and the five
// queries (medians of 3 runs), the growth of the peak resident size, whether the
// reader hit one of its limits, and what it read. With PARTs, only the
// files whose name contains one of them ("10MB", ".wma") are made and read.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "tests/HostileFiles.h"
#include "platform/tags/MediaTags.h"

namespace {

struct Case {
    const char* name;
    long size;  // bytes, for the listing
    std::function<bool(const std::string&)> make;
};

long maxRssKiB() {
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

double cpuMs() {
    struct timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// In a child: open and query the file; writes "wall-ms cpu-ms
// rss-growth-KiB limited duration-ms text-bytes" to the pipe.
void measure(const std::string& path, int out) {
    const long before = maxRssKiB();
    std::vector<double> times, cpu;
    bool limited = false;
    unsigned long long duration = 0;
    std::size_t textBytes = 0;
    for (int run = 0; run < 3; ++run) {
        const auto t0 = std::chrono::steady_clock::now();
        const double c0 = cpuMs();
        kestro::platform::MediaTags m;
        m.open(path.c_str());
        std::uint64_t d = 0;
        m.duration(d);
        std::string t;
        std::size_t bytes = 0;
        for (const char* attr : {"Title", "Author", "WM/AlbumTitle", "WM/Year"})
            if (m.text(attr, t)) bytes += t.size();
        times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
        cpu.push_back(cpuMs() - c0);
        limited = m.limited();
        duration = d / 10000;
        textBytes = bytes;
    }
    std::sort(times.begin(), times.end());
    std::sort(cpu.begin(), cpu.end());
    char line[200];
    const int n = std::snprintf(line, sizeof line, "%.2f %.2f %ld %d %llu %zu\n", times[1], cpu[1], maxRssKiB() - before,
                                limited ? 1 : 0, duration, textBytes);
    if (::write(out, line, static_cast<std::size_t>(n)) != n) _exit(3);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s DIR [PART...]\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    const auto wanted = [&](const char* name) {
        if (argc == 2) return true;
        for (int i = 2; i < argc; ++i)
            if (std::strstr(name, argv[i])) return true;
        return false;
    };
    ::mkdir(dir.c_str(), 0755);
    const long MB = 1000 * 1000;
    const std::vector<Case> cases = {
        {"zeros-10MB.mp3", 10 * MB, [=](const std::string& p) { return hostile::zeros(p, 10 * MB); }},
        {"zeros-100MB.mp3", 100 * MB, [=](const std::string& p) { return hostile::zeros(p, 100 * MB); }},
        {"sparse-2GB.mp3", 2000 * MB, [=](const std::string& p) { return hostile::sparse(p, 2000 * MB); }},
        {"random-100MB.mp3", 100 * MB, [=](const std::string& p) { return hostile::random(p, 100 * MB); }},
        {"txxx-4MB.mp3", 4 * MB, [=](const std::string& p) { return hostile::txxxFlood(p, 4 * MB); }},
        {"txxx-10MB.mp3", 10 * MB, [=](const std::string& p) { return hostile::txxxFlood(p, 10 * MB); }},
        {"txxx-40MB.mp3", 40 * MB, [=](const std::string& p) { return hostile::txxxFlood(p, 40 * MB); }},
        {"txxx-100MB.mp3", 100 * MB, [=](const std::string& p) { return hostile::txxxFlood(p, 100 * MB); }},
        {"titles-7MB.mp3", 7 * MB, [=](const std::string& p) { return hostile::titleFlood(p, 7 * MB); }},
        {"free-atoms-10MB.m4a", 10 * MB, [=](const std::string& p) { return hostile::mp4FreeAtoms(p, 10 * MB); }},
        {"title-data-7MB.m4a", 7 * MB, [=](const std::string& p) { return hostile::mp4ItemFlood(p, 7 * MB, false); }},
        {"cover-data-7MB.m4a", 7 * MB, [=](const std::string& p) { return hostile::mp4ItemFlood(p, 7 * MB, true); }},
        {"empty-chunks-10MB.wav", 10 * MB,
         [=](const std::string& p) { return hostile::riffEmptyChunks(p, 10 * MB, false); }},
        {"empty-chunks-10MB.aif", 10 * MB,
         [=](const std::string& p) { return hostile::riffEmptyChunks(p, 10 * MB, true); }},
        {"attributes-56B.wma", 56, [](const std::string& p) { return hostile::asfAttributeClaim(p); }},
        {"info-fields-4MB.wav", 4 * MB, [=](const std::string& p) { return hostile::infoFlood(p, 4 * MB); }},
        {"ape-items-4MB.mp3", 4 * MB, [=](const std::string& p) { return hostile::apeFlood(p, 4 * MB); }},
    };
    std::printf("%-24s %10s %9s %9s %10s %8s %9s %6s\n", "file", "size", "wall ms", "cpu ms", "peak+ MiB",
                "limited", "length ms", "text B");
    for (const Case& c : cases) {
        if (!wanted(c.name)) continue;
        const std::string path = dir + "/" + c.name;
        struct stat st;
        if (::stat(path.c_str(), &st) != 0 || st.st_size != c.size) {
            if (!c.make(path)) {
                std::printf("%-24s cannot be written\n", c.name);
                continue;
            }
        }
        int fds[2];
        if (::pipe(fds) != 0) return 1;
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::close(fds[0]);
            measure(path, fds[1]);
            _exit(0);
        }
        ::close(fds[1]);
        char buf[200] = {};
        const ssize_t n = ::read(fds[0], buf, sizeof buf - 1);
        ::close(fds[0]);
        int status = 0;
        ::waitpid(pid, &status, 0);
        double ms = 0, cpu = 0;
        long rss = 0;
        int limited = 0;
        unsigned long long length = 0;
        std::size_t text = 0;
        if (n <= 0 || std::sscanf(buf, "%lf %lf %ld %d %llu %zu", &ms, &cpu, &rss, &limited, &length, &text) != 6) {
            std::printf("%-24s %10ld   failed (status %d)\n", c.name, c.size, status);
            continue;
        }
        std::printf("%-24s %10ld %9.2f %9.2f %10.1f %8s %9llu %6zu\n", c.name, c.size, ms, cpu, rss / 1024.0,
                    limited ? "yes" : "no", length, text);
        std::fflush(stdout);
    }
    return 0;
}
