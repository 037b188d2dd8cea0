// The real plug-in in the real host, in scenario mode: what a player would
// see in the transcript, the log file and the files written.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "TestUtil.h"

using kestro::testing::HostRun;
using kestro::testing::readFile;
using kestro::testing::runHost;
using kestro::testing::TempDir;
using kestro::testing::writeFile;
namespace fs = std::filesystem;

TEST(PluginScenario, FirstTickScanLogsAndCatalogueKeyWritesSongsTxt) {
    TempDir game;
    TempDir target;
    writeFile(game / "Kestro.ini", "[Defaults]\nShortCutDir=Music\nVolume=640\n");
    writeFile(game / "Songs/one.mp3", "");
    writeFile(target / "notafolder.mp3", "");
    fs::create_symlink(target / "notafolder.mp3", game / "Songs/Music.lnk");
    HostRun run = runHost(game,
                      "tick\nhold RCONTROL\nhold F10\ntick\nrelease F10\nrelease RCONTROL\n"
                      "wait 100\nquit\n",
                      "--show-settings");
    ASSERT_EQ(run.status, 0);
    EXPECT_TRUE(run.has("thread Kestro"));
    EXPECT_TRUE(run.has("setting Volume 640"));
    EXPECT_TRUE(run.has("log Shortcut Is Not A Directory Music"));
    EXPECT_TRUE(run.has("message 5000 Song List Created"));
    EXPECT_TRUE(run.has("unload"));
    // The log file holds the same line.
    EXPECT_NE(readFile(game / "ScriptHook.log").find("Shortcut Is Not A Directory Music"),
              std::string::npos);
    // Two entries: the song and the shortcut's target (a file).
    std::string songs = readFile(game / "songs.txt");
    EXPECT_NE(songs.find("|" + (game / "Songs/one.mp3") + "\r\n"), std::string::npos);
    EXPECT_NE(songs.find("|" + (target / "notafolder.mp3") + "\r\n"), std::string::npos);
    EXPECT_EQ(songs.substr(songs.size() - 14), "Total Songs: 2");
}

TEST(PluginScenario, NoKeysWhileTheGameTakesControlAway) {
    TempDir game;
    HostRun run = runHost(game, "tick\ncontrol off\nhold RCONTROL\nhold F10\ntick 3\nquit\n");
    ASSERT_EQ(run.status, 0);
    EXPECT_TRUE(run.has("log No Shortcutdir in ini"));
    EXPECT_FALSE(run.has("message 5000 Song List Created"));
    EXPECT_FALSE(fs::exists(game / "songs.txt"));
}
