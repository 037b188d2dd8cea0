#include "TestUtil.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace kestro::testing {

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/kestro-test-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

ScopedCwd::ScopedCwd(const std::string& dir) {
    char buf[4096];
    if (getcwd(buf, sizeof buf)) previous_ = buf;
    if (chdir(dir.c_str()) != 0) throw std::runtime_error("chdir failed: " + dir);
}

ScopedCwd::~ScopedCwd() {
    if (!previous_.empty() && chdir(previous_.c_str()) != 0) {
        // Nothing sensible to do in a destructor; the next test sets its own.
    }
}

void writeFile(const std::string& path, const std::string& content) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary);
    out << content;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void makeDirs(const std::string& path) { std::filesystem::create_directories(path); }

host::HostOptions hostOptions(std::uint64_t seed, std::uint32_t tickMs, bool traceDraw) {
    host::HostOptions o;
    o.seed = seed;
    o.tickMs = tickMs;
    o.traceDraw = traceDraw;
    return o;
}

bool HostRun::has(const std::string& event) const { return find(event) >= 0; }

int HostRun::find(const std::string& event, int from) const {
    for (int i = from < 0 ? 0 : from; i < static_cast<int>(lines.size()); ++i)
        if (lines[static_cast<std::size_t>(i)] == event) return i;
    return -1;
}

HostRun runHost(const TempDir& game, const std::string& scenario, const std::string& extraOptions) {
    TempDir work;
    writeFile(work / "s.scn", scenario);
    std::string cmd = std::string("'") + KESTRO_HOST_PATH + "' --game-dir '" + game.path() + "' --scenario '" +
                      (work / "s.scn") + "' --transcript '" + (work / "t.txt") + "' " + extraOptions +
                      " >/dev/null 2>&1";
    HostRun run;
    int rc = std::system(cmd.c_str());
    run.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    std::istringstream in(readFile(work / "t.txt"));
    std::string line;
    while (std::getline(in, line)) {
        // The time and tick columns apart from the event.
        std::size_t a = line.find(' ');
        std::size_t b = a == std::string::npos ? a : line.find(' ', a + 1);
        run.lines.push_back(b == std::string::npos ? line : line.substr(b + 1));
        run.times.push_back(std::atol(line.c_str()));
        run.ticks.push_back(a == std::string::npos ? 0 : std::atol(line.c_str() + a + 1));
    }
    return run;
}

}  // namespace kestro::testing
