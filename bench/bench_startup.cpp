// The host's start-up: from the exec of kestro-host (real song device and
// stream player, null output) to the end of its first tick, on an empty
// game folder. The scenario is "tick" then "quit": the transcript's
// "scenario quit" line is written right after the first tick, so its
// arrival on the pipe ends the measure (the process's exit, which tears the
// back ends down, is not part of it). KESTRO_HOST names another host to
// measure (an earlier build's, for a comparison).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "TestUtil.h"

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds from the fork to the line, or a negative value on a failure.
double startUpMs(const std::string& gameDir, const std::string& scenario) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return -1;
    const Clock::time_point start = Clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 2);
        const char* other = std::getenv("KESTRO_HOST");
        const char* host = other && *other ? other : KESTRO_HOST_PATH;
        ::execl(host, host, "--game-dir", gameDir.c_str(), "--scenario", scenario.c_str(),
                "--audio", "null", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(out[1]);
    std::string text;
    double ms = -1;
    char buf[4096];
    for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;) {
        text.append(buf, static_cast<std::size_t>(n));
        if (ms < 0 && text.find("scenario quit") != std::string::npos)
            ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    }
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? ms : -1;
}

void BM_HostStartUpToFirstTick(benchmark::State& state) {
    kestro::testing::TempDir game;
    const std::string scenario = game / "first-tick.txt";
    kestro::testing::writeFile(scenario, "tick\nquit\n");
    startUpMs(game.path(), scenario);  // the files in the page cache
    std::vector<double> ms;
    for (auto _ : state) {
        const double m = startUpMs(game.path(), scenario);
        if (m < 0) {
            state.SkipWithError("the host failed");
            break;
        }
        ms.push_back(m);
        state.SetIterationTime(m / 1000.0);
    }
    std::sort(ms.begin(), ms.end());
    state.counters["median_ms"] = ms.empty() ? 0.0 : ms[ms.size() / 2];
}
BENCHMARK(BM_HostStartUpToFirstTick)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(15);

}  // namespace
