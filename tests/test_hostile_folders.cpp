// Hostile game folders through the real host and the real plug-in: settings,
// log and catalogue files that are FIFOs, links, folders or devices, a full
// disk, a read-only folder, and a transcript that cannot be written. Each
// run is bounded by `timeout`, so a hang fails the case, not the suite.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "TestUtil.h"

using kestro::testing::readFile;
using kestro::testing::TempDir;
using kestro::testing::writeFile;
namespace fs = std::filesystem;

namespace {

constexpr const char* kHeader = "Title |Time |Artist |Album |Year |Filename\r\n";
constexpr const char* kCatalogueKeys = "tick\nhold RCONTROL\nhold F10\ntick\nrelease F10\nrelease RCONTROL\ntick\n";

struct HostRun {
    int status = -1;
    std::string err;
    std::vector<std::string> lines;  // the transcript without "<ms> <tick> "
    bool has(const std::string& event) const {
        for (const auto& l : lines)
            if (l == event) return true;
        return false;
    }
};

// Runs kestro-host on `game` (20 s at most). `transcript`: empty for a file
// read back into `lines`, "-" for standard output, else that path.
HostRun runHost(const std::string& game, const std::string& scenario, const std::string& extra = "",
                const std::string& transcript = "", const std::string& redirect = ">/dev/null") {
    TempDir work;
    writeFile(work / "s.scn", scenario);
    const std::string out = transcript.empty() ? work / "t.txt" : transcript;
    const std::string to = transcript == "-" ? "" : " --transcript '" + out + "'";
    const std::string cmd = std::string("timeout 20 '") + KESTRO_HOST_PATH + "' --game-dir '" + game +
                            "' --scenario '" + (work / "s.scn") + "'" + to + " " + extra + " " + redirect + " 2>'" +
                            (work / "err.txt") + "'";
    HostRun run;
    const int rc = std::system(cmd.c_str());
    run.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    run.err = readFile(work / "err.txt");
    std::istringstream in(transcript.empty() ? readFile(out) : std::string());
    for (std::string line; std::getline(in, line);) {
        std::size_t a = line.find(' ');
        std::size_t b = a == std::string::npos ? a : line.find(' ', a + 1);
        run.lines.push_back(b == std::string::npos ? line : line.substr(b + 1));
    }
    return run;
}

bool isFifo(const std::string& p) { return fs::is_fifo(fs::symlink_status(p)); }

// Temporary catalogue files left in the folder.
int leftovers(const std::string& dir) {
    int n = 0;
    for (const auto& e : fs::directory_iterator(dir)) n += e.path().filename().string().rfind(".songs.txt", 0) == 0;
    return n;
}

// Every file below `dir` with its content.
std::string listing(const std::string& dir) {
    std::string all;
    for (const auto& e : fs::recursive_directory_iterator(dir)) all += e.path().string() + "=" + readFile(e.path()) + "\n";
    return all;
}

struct Case {
    const char* name;
    std::function<void(const TempDir& game, const TempDir& outside)> setup;
    std::vector<std::string> expected;  // transcript events that must be there
    const char* stderrHas = nullptr;    // null: nothing on standard error
};

}  // namespace

TEST(HostileFolders, LoadTicksAndCatalogueKeepTheGameRunning) {
    const std::string created = "message 5000 Song List Created";
    const auto fifo = [](const char* name) {
        return [name](const TempDir& g, const TempDir&) { ::mkfifo((g / name).c_str(), 0644); };
    };
    const Case cases[] = {
        {"Kestro.ini is a FIFO", fifo("Kestro.ini"),
         {"setting Volume 500", "setting PauseKey 179", "log No Shortcutdir in ini"}},
        {"ScriptHook.log is a FIFO", fifo("ScriptHook.log"), {"log No Shortcutdir in ini", "unload"},
         "ScriptHook.log is not a regular file"},
        {"songs.txt links to a file outside the game folder",
         [](const TempDir& g, const TempDir& o) {
             writeFile(o / "keep.txt", "KEEP");
             fs::create_symlink(o / "keep.txt", g / "songs.txt");
         },
         {created}},
        {"songs.txt is a dangling link",
         [](const TempDir& g, const TempDir& o) { fs::create_symlink(o / "made.txt", g / "songs.txt"); }, {created}},
        {"songs.txt is a FIFO", fifo("songs.txt"), {created}},
        {"songs.txt links to /dev/full",
         [](const TempDir& g, const TempDir&) { fs::create_symlink("/dev/full", g / "songs.txt"); }, {created}},
        {"songs.txt is a folder", [](const TempDir& g, const TempDir&) { writeFile(g / "songs.txt/inside.txt", "x"); },
         {"message 5000 Song List Not Created", "log Song List Not Written: cannot replace songs.txt: Is a directory"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir game, outside;
        c.setup(game, outside);
        const std::string outsideBefore = listing(outside.path());
        HostRun run = runHost(game.path(), kCatalogueKeys, "--show-settings");
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_TRUE(run.has("dllmain 0 1"));
        for (const auto& e : c.expected) EXPECT_TRUE(run.has(e)) << e;
        if (c.stderrHas)
            EXPECT_NE(run.err.find(c.stderrHas), std::string::npos) << run.err;
        else
            EXPECT_EQ(run.err, "");
        for (const char* n : {"Kestro.ini", "ScriptHook.log"})  // read or refused, never replaced
            EXPECT_TRUE(!std::string(c.name).starts_with(n) || isFifo(game / n)) << n;
        // A link in the way is replaced, never written through.
        EXPECT_EQ(listing(outside.path()), outsideBefore);
        EXPECT_EQ(leftovers(game.path()), 0);
        if (run.has(created)) {
            EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(game / "songs.txt")));
            EXPECT_EQ(readFile(game / "songs.txt"), std::string(kHeader) + "Total Songs: 0");
        } else {
            EXPECT_EQ(readFile(game / "songs.txt/inside.txt"), "x");
        }
    }
}

namespace {

// A file system mounted on a folder for the life of the object. Mounting
// needs privileges a CI machine may not give: `error` then says why not.
struct ScopedMount {
    std::string dir, error;
    // A tmpfs of `size` (e.g. "64k"), or else the folder itself read-only.
    ScopedMount(std::string d, const char* size) : dir(std::move(d)) {
        const bool ok = size ? ::mount("tmpfs", dir.c_str(), "tmpfs", 0, (std::string("size=") + size).c_str()) == 0
                             : ::mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr) == 0;
        if (!ok) {
            error = std::strerror(errno);
        } else if (!size && ::mount(nullptr, dir.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0) {
            error = std::strerror(errno);
            ::umount2(dir.c_str(), MNT_DETACH);
        }
    }
    ~ScopedMount() {
        if (error.empty()) ::umount2(dir.c_str(), MNT_DETACH);
    }
};

// Fills the file system of `dir` until a write fails.
void fillUp(const std::string& dir) {
    std::ofstream f(dir + "/filler", std::ios::binary);
    const std::string block(4096, 'f');
    for (int i = 0; i < 100000 && f; ++i) f.write(block.data(), static_cast<std::streamsize>(block.size())).flush();
}

void addSongs(const std::string& game, int from, int to) {
    for (int i = from; i < to; ++i) writeFile(game + "/Songs/a-song-with-a-rather-long-file-name-" + std::to_string(i) + ".mp3", "");
}

}  // namespace

TEST(HostileFolders, FullDiskAndReadOnlyFolderKeepTheOldCatalogue) {
    TempDir base;
    {
        fs::create_directory(base / "full");
        ScopedMount disk(base / "full", "64k");
        if (!disk.error.empty())
            GTEST_SKIP() << "mounting a tmpfs is not permitted here (" << disk.error
                         << "): the full-disk and read-only-folder cases did not run";
        SCOPED_TRACE("full disk");
        const std::string game = base / "full";
        addSongs(game, 0, 100);
        ASSERT_TRUE(runHost(game, kCatalogueKeys).has("message 5000 Song List Created"));
        const std::string before = readFile(game + "/songs.txt");
        ASSERT_NE(before.find("Total Songs: 100"), std::string::npos);
        fs::remove(game + "/ScriptHook.log");
        fillUp(game);
        addSongs(game, 100, 250);  // the new catalogue would be longer than the old
        HostRun run = runHost(game, kCatalogueKeys);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_TRUE(run.has("message 5000 Song List Not Created"));
        EXPECT_TRUE(run.has("log Song List Not Written: cannot write songs.txt: No space left on device"));
        EXPECT_EQ(readFile(game + "/songs.txt"), before);
        EXPECT_EQ(leftovers(game), 0);
    }
    {
        SCOPED_TRACE("read-only game folder");
        const std::string game = base / "ro";
        writeFile(game + "/songs.txt", "OLD");
        ScopedMount ro(game, nullptr);
        if (!ro.error.empty()) GTEST_SKIP() << "a read-only bind mount is not permitted here (" << ro.error << ")";
        HostRun run = runHost(game, kCatalogueKeys);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_TRUE(run.has("message 5000 Song List Not Created"));
        const std::string why = "log Song List Not Written: cannot create a file in the game folder: ";
        EXPECT_TRUE(std::any_of(run.lines.begin(), run.lines.end(), [&](auto& l) { return l.rfind(why, 0) == 0; }));
        EXPECT_NE(run.err.find("ScriptHook.log cannot be opened"), std::string::npos) << run.err;
        EXPECT_EQ(readFile(game + "/songs.txt"), "OLD");
    }
}

TEST(HostileFolders, TranscriptThatCannotBeWrittenExitsTwo) {
    struct Out {
        const char* name;
        const char* transcript;  // "-": standard output
        const char* redirect;
    } outs[] = {
        {"--transcript /dev/full", "/dev/full", ">/dev/null"},
        {"standard output is full", "-", ">/dev/full"},
    };
    TempDir game;
    for (const Out& o : outs) {
        SCOPED_TRACE(o.name);
        HostRun run = runHost(game.path(), "tick 3\n", "", o.transcript, o.redirect);
        EXPECT_EQ(run.status, 2);
        EXPECT_NE(run.err.find("kestro-host: cannot write the transcript"), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("No space left on device"), std::string::npos) << run.err;
    }
    // The same run with somewhere to write succeeds.
    EXPECT_EQ(runHost(game.path(), "tick 3\n", "", "-", ">/dev/null").status, 0);
}
