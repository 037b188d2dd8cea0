// The library scan and the catalogue, on real folder trees made per test.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "library/Catalogue.h"
#include "library/LibraryScan.h"
#include "library/ShortcutResolver.h"
#include "library/SongTable.h"
#include "platform/files/Listing.h"
#include "platform/files/Paths.h"
#include "plugin/PlayerState.h"
#include "scripthook/HookHost.h"

using namespace kestro;
using kestro::testing::LogInto;
using kestro::testing::ScopedCwd;
using kestro::testing::TempDir;
using kestro::testing::writeFile;
namespace fs = std::filesystem;

namespace {

void clearTable() {
    std::memset(SongTable, 0, sizeof SongTable);
    songCount = 0;
    lastSongIndex = 0;
}

class LibraryScanTest : public ::testing::Test {
protected:
    void SetUp() override {
        clearTable();
        resetPlayerState();
        cwd_ = std::make_unique<ScopedCwd>(game.path());
        scripthook::setLogSink(std::make_shared<LogInto>(log));
    }
    void TearDown() override {
        scripthook::setLogSink(nullptr);
        cwd_.reset();
        clearTable();
        resetPlayerState();
    }

    void settings(const std::string& body) { writeFile(game / "Kestro.ini", "[Defaults]\n" + body); }
    std::string songs(const std::string& rel = "") const {
        return rel.empty() ? game / "Songs" : game / ("Songs/" + rel);
    }
    void touch(const std::string& path) { writeFile(path, ""); }

    std::vector<std::string> paths() const {
        std::vector<std::string> out;
        for (int i = 0; i < songCount; ++i) out.emplace_back(SongTable[i].path);
        return out;
    }

    // The expected walk, written independently of the scanner: for each
    // extension, a depth-first walk in the platform's listing order (ASCII
    // names upper-cased, then byte order), names starting with "." skipped,
    // the extension compared exactly, and a symbolic link named "*.lnk"
    // taken as a shortcut file even when it points at a folder.
    static void expectedWalk(const fs::path& dir, const std::string& ext, std::vector<std::string>& out) {
        std::error_code ec;
        std::vector<fs::directory_entry> entries;
        for (const auto& e : fs::directory_iterator(dir, ec)) entries.push_back(e);
        auto upper = [](std::string t) {
            for (char& c : t) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            return t;
        };
        std::sort(entries.begin(), entries.end(), [&](const auto& a, const auto& b) {
            const std::string na = a.path().filename().string(), nb = b.path().filename().string();
            return std::make_pair(upper(na), na) < std::make_pair(upper(nb), nb);
        });
        for (const auto& e : entries) {
            std::string name = e.path().filename().string();
            if (name[0] == '.') continue;
            bool shortcutLink = e.is_symlink() && name.size() > 4 &&
                                name.compare(name.size() - 4, 4, ".lnk") == 0;
            if (e.is_directory() && !shortcutLink) {
                expectedWalk(e.path(), ext, out);
                continue;
            }
            std::size_t dot = name.rfind('.');
            std::string got = dot == std::string::npos ? name : name.substr(dot + 1);
            if (got == ext) out.push_back(e.path().string());
        }
    }

    TempDir game;
    std::vector<std::string> log;

private:
    std::unique_ptr<ScopedCwd> cwd_;
};

}  // namespace

TEST_F(LibraryScanTest, NoSongsFolderAndNoShortcutDir) {
    scanLibrary();
    EXPECT_EQ(songCount, 0);
    EXPECT_EQ(lastSongIndex, -1);
    EXPECT_EQ(playerState.rescanPending, 0);
    EXPECT_EQ(log, (std::vector<std::string>{"No Shortcutdir in ini"}));
}

TEST_F(LibraryScanTest, PassesInOrderOverANestedTreeWithMixedExtensions) {
    settings("");
    for (const char* f : {"a.mp3", "Song.MP3", "mp3", "track.aif", "track.iff", "track.aiff",
                          ".x.mp3", ".hidden/h.mp3", "Album.mp3/b.mp3", "Album.mp3/deeper/c.mp3",
                          "sub/c.wav", "sub/d.au", "e.wma", "sub/z.mp3", "notes.txt", "f.wma"})
        touch(songs(f));
    scanLibrary();

    std::vector<std::string> expected;
    for (const char* ext : {"mp3", "wma", "wav", "aif", "au"}) expectedWalk(songs(), ext, expected);
    EXPECT_EQ(paths(), expected);
    // What must and must not be there, whatever the listing order.
    auto has = [&](const std::string& rel) {
        auto p = paths();
        return std::find(p.begin(), p.end(), songs(rel)) != p.end();
    };
    EXPECT_TRUE(has("a.mp3"));
    EXPECT_TRUE(has("mp3"));
    EXPECT_TRUE(has("track.aif"));
    EXPECT_TRUE(has("Album.mp3/deeper/c.mp3"));
    EXPECT_FALSE(has("Song.MP3"));
    EXPECT_FALSE(has("track.iff"));
    EXPECT_FALSE(has("track.aiff"));
    EXPECT_FALSE(has(".x.mp3"));
    EXPECT_FALSE(has(".hidden/h.mp3"));
    EXPECT_FALSE(has("Album.mp3"));
    EXPECT_EQ(songCount, 10);
    EXPECT_EQ(lastSongIndex, 9);
    // All mp3 matches come before the first wma match.
    EXPECT_EQ(std::string(SongTable[5].path).substr(std::string(SongTable[5].path).size() - 3), "wma");
}

TEST_F(LibraryScanTest, ShortcutDirMissingOrPointingAtAFile) {
    settings("ShortCutDir=Music\n");
    touch(songs("a.mp3"));
    scanLibrary();
    EXPECT_EQ(log, (std::vector<std::string>{"ShortCut Does Not Exist, check ini."}));
    EXPECT_EQ(songCount, 1);
    EXPECT_EQ(playerState.rescanPending, 0);
    // currentSong was pointed at the ShortCutDir text.
    EXPECT_STREQ(playerState.currentSong->path, "Music");

    log.clear();
    touch(game / "elsewhere.mp3");
    fs::create_symlink(game / "elsewhere.mp3", songs("Music.lnk"));
    scanLibrary();
    EXPECT_EQ(log, (std::vector<std::string>{"Shortcut Is Not A Directory Music"}));
    // The shortcut to a song is an entry for the song (phase 1's lnk pass).
    EXPECT_EQ(paths(), (std::vector<std::string>{songs("a.mp3"), game / "elsewhere.mp3"}));
}

TEST_F(LibraryScanTest, ShortcutFolderIsScannedAfterTheWholeSongsTree) {
    settings("ShortCutDir=Music\n");
    TempDir music;
    for (const char* f : {"g.mp3", "track.iff", "track.aif", "sub/h.mp3", "w.wav"})
        writeFile(music / f, "");
    touch(songs("a.mp3"));
    touch(songs("x.wav"));
    fs::create_symlink(music.path(), songs("Music.lnk"));
    scanLibrary();
    EXPECT_TRUE(log.empty()) << log[0];

    std::vector<std::string> expected;
    for (const char* ext : {"mp3", "wma", "wav", "aif", "au"}) expectedWalk(songs(), ext, expected);
    expected.push_back(songs("Music.lnk"));  // the folder shortcut is an entry itself, untagged
    std::vector<std::string> second;
    for (const char* ext : {"mp3", "wma", "wav", "iff", "au"}) expectedWalk(music.path(), ext, second);
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(paths(), expected);
    EXPECT_EQ(songCount, 7);
    EXPECT_EQ(lastSongIndex, 6);
    auto p = paths();
    EXPECT_EQ(std::count(p.begin(), p.end(), music / "track.aif"), 0);
}

TEST_F(LibraryScanTest, FolderCycleIsWalkedOnce) {
    settings("");
    touch(songs("a.mp3"));
    touch(songs("inner/b.mp3"));
    fs::create_directory_symlink(songs(), songs("inner/back-to-songs"));
    fs::create_directory_symlink(songs("inner"), songs("inner/self"));
    TempDir other;
    writeFile(other / "o.mp3", "");
    fs::create_directory_symlink(other.path(), songs("outside"));  // not a cycle: followed
    scanLibrary();
    auto p = paths();
    std::sort(p.begin(), p.end());
    EXPECT_EQ(p, (std::vector<std::string>{songs("a.mp3"), songs("inner/b.mp3"),
                                           songs("outside/o.mp3")}));
}

TEST_F(LibraryScanTest, ExactlyTenThousandAndOneMore) {
    settings("");
    fs::create_directories(songs("many"));
    for (int i = 0; i < 10000; ++i) touch(songs("many/" + std::to_string(i) + ".mp3"));
    scanLibrary();
    EXPECT_EQ(songCount, 10000);
    EXPECT_EQ(lastSongIndex, 9999);

    touch(songs("extra.wav"));  // met after the 10000 mp3 files: dropped silently
    log.clear();
    scanLibrary();
    EXPECT_EQ(songCount, 10000);
    EXPECT_EQ(lastSongIndex, 9999);
    EXPECT_EQ(log, (std::vector<std::string>{"No Shortcutdir in ini"}));
    for (int i = 0; i < MaxSongs; ++i)
        ASSERT_EQ(std::string(SongTable[i].path).find("extra.wav"), std::string::npos);
}

TEST_F(LibraryScanTest, RepeatedScanLeavesOldEntriesAboveSongCount) {
    settings("");
    touch(songs("a.mp3"));
    touch(songs("b.wav"));
    touch(songs("c.au"));
    scanLibrary();
    ASSERT_EQ(songCount, 3);
    fs::remove(songs("b.wav"));
    fs::remove(songs("c.au"));
    playerState.rescanPending = 1;
    scanLibrary();
    EXPECT_EQ(songCount, 1);
    EXPECT_EQ(lastSongIndex, 0);
    EXPECT_EQ(std::string(SongTable[1].path), songs("b.wav"));
    EXPECT_EQ(std::string(SongTable[2].path), songs("c.au"));
}

TEST_F(LibraryScanTest, UnreadableShortcutsAndGarbageStayEntriesWithoutTags) {
    settings("");
    writeFile(songs("broken.lnk"), "this is not a shortcut");
    fs::create_symlink(game / "gone.mp3", songs("dangling.lnk"));
    SongTable[0].durationMs = 777;  // left from an earlier scan: cleared
    std::strcpy(SongTable[0].title, "old");
    scanLibrary();
    ASSERT_EQ(songCount, 2);
    for (int i = 0; i < 2; ++i) {
        std::string p = SongTable[i].path;
        EXPECT_EQ(p.substr(p.size() - 4), ".lnk");
    }
    // Entries whose target was not taken get no tags, and keep none of an
    // earlier scan's.
    EXPECT_EQ(SongTable[0].durationMs, 0);
    EXPECT_STREQ(SongTable[0].title, "");
}

TEST_F(LibraryScanTest, PathsThatDoNotFitAreLeftOutAndSaidOnce) {
    settings("");
    // Nested folders make paths longer than the 2048-byte field; a cut path
    // could name another file, so neither is kept.
    std::string rel;
    for (int i = 0; i < 12; ++i) rel += std::string(200, 'd') + "/";
    touch(songs(rel + "deep.mp3"));
    touch(songs(rel + "deeper.mp3"));
    touch(songs("short.mp3"));
    scanLibrary();
    EXPECT_EQ(paths(), (std::vector<std::string>{songs("short.mp3")}));
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].rfind("Path Too Long For The Song List, Left Out: ", 0), 0u) << log[0];
    EXPECT_EQ(log[1], "No Shortcutdir in ini");
    EXPECT_EQ(log[2], "Paths Too Long For The Song List: 2 Left Out");
}

// ---- the catalogue ---------------------------------------------------------

namespace {

class CatalogueTest : public LibraryScanTest {
protected:
    static void put(int i, const char* path, const char* title, const char* artist,
                    const char* album, const char* year, std::int32_t durationMs) {
        SongEntry& e = SongTable[i];
        std::snprintf(e.path, sizeof e.path, "%s", path);
        std::snprintf(e.title, sizeof e.title, "%s", title);
        std::snprintf(e.artist, sizeof e.artist, "%s", artist);
        std::snprintf(e.album, sizeof e.album, "%s", album);
        std::snprintf(e.year, sizeof e.year, "%s", year);
        e.durationMs = durationMs;
    }
    std::string catalogue() const { return kestro::testing::readFile(game / "songs.txt"); }
};

const std::string kHeader = "Title |Time |Artist |Album |Year |Filename\r\n";

}  // namespace

TEST_F(CatalogueTest, EmptyTable) {
    writeCatalogue();
    EXPECT_EQ(catalogue(), kHeader + "Total Songs: 0");
}

TEST_F(CatalogueTest, ThreeSongsAndAFolderShortcut) {
    TempDir folder;
    fs::create_directories(songs());
    fs::create_directory_symlink(folder.path(), songs("Music.lnk"));
    put(0, "/g/Songs/a.mp3", "Open Road", "The Testers", "Road Trip", "2008", 206000);
    put(1, "/g/Songs/b.wav", "Long", "", "", "", 3601000);
    put(2, songs("Music.lnk").c_str(), "", "", "", "", 0);
    put(3, "/g/Songs/c.au", "Day", "X", "Y", "1999", 90061000);
    songCount = 4;
    writeCatalogue();
    EXPECT_EQ(catalogue(), kHeader +
                               "Open Road |00:03:25 |The Testers |Road Trip |2008 |/g/Songs/a.mp3\r\n"
                               "Long |01:00:00 | | | |/g/Songs/b.wav\r\n"
                               "Day |01:01:00 |X |Y |1999 |/g/Songs/c.au\r\n"
                               "Total Songs: 3");
}

TEST_F(CatalogueTest, ShortcutEntriesSpellingsAndStaleSlots) {
    touch(game / "target.mp3");
    fs::create_directories(songs());
    fs::create_symlink(game / "target.mp3", songs("tofile.LNK"));
    put(0, songs("missing.lnk").c_str(), "", "", "", "", 0);  // unresolvable: subtracted
    put(1, songs("tofile.LNK").c_str(), "", "", "", "", 0);   // now a file: neither
    put(2, "/g/odd.LnK", "Odd", "", "", "", 2000);             // not one of the four spellings
    put(3, "/g/pipes.mp3", "A |B", "", "", "", 1000);
    songCount = 4;
    put(7, "/g/stale.mp3", "Stale", "", "", "", 61000);  // above songCount: still listed
    writeCatalogue();
    EXPECT_EQ(catalogue(), kHeader +
                               "Odd |00:00:01 | | | |/g/odd.LnK\r\n"
                               "A |B |00:00:00 | | | |/g/pipes.mp3\r\n"
                               "Stale |00:01:00 | | | |/g/stale.mp3\r\n"
                               "Total Songs: 3");
}

TEST_F(CatalogueTest, TimeFieldAndUnwritableFile) {
    char t[70];
    formatCatalogueTime(t, 206000);
    EXPECT_STREQ(t, "00:03:25");
    formatCatalogueTime(t, 1000);
    EXPECT_STREQ(t, "00:00:00");
    formatCatalogueTime(t, 0);  // never set: shown as zero, not negative
    EXPECT_STREQ(t, "00:00:00");
    formatCatalogueTime(t, 2147483000);
    EXPECT_STREQ(t, "20:31:22");
    // A folder where the file should go: nothing written, nothing breaks.
    fs::create_directories(game / "songs.txt");
    put(0, "/g/a.mp3", "A", "", "", "", 2000);
    songCount = 1;
    writeCatalogue();
    EXPECT_TRUE(fs::is_directory(game / "songs.txt"));
}

// ---- tags through the scan (real encoded files) ----------------------------

namespace {

// Encodes a short tagged tone with ffmpeg; false when ffmpeg is missing.
bool encodeTone(const std::string& path, const char* title, const char* artist, double seconds) {
    std::string cmd = "ffmpeg -nostdin -v error -y -f lavfi -i 'sine=frequency=440:duration=" +
                      std::to_string(seconds) + "' -metadata title='" + title +
                      "' -metadata artist='" + artist + "' '" + path + "' >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
}

}  // namespace

TEST_F(LibraryScanTest, ShortcutToASongGivesTheTargetsTagsAndM4aFilesGetTags) {
    settings("");
    TempDir outside;
    fs::create_directories(songs());
    ASSERT_TRUE(encodeTone(outside / "target.mp3", "Far Away", "Linker", 2.5));
    ASSERT_TRUE(encodeTone(songs("tune.m4a"), "Apple Tune", "Cupertino", 1.2));
    fs::create_symlink(outside / "target.mp3", songs("Far Away.lnk"));
    scanLibrary();
    ASSERT_EQ(songCount, 2);
    // lnk pass first, then m4a.
    EXPECT_EQ(std::string(SongTable[0].path), outside / "target.mp3");
    EXPECT_STREQ(SongTable[0].title, "Far Away");
    EXPECT_STREQ(SongTable[0].artist, "Linker");
    EXPECT_EQ(SongTable[0].durationMs, 3000);
    EXPECT_EQ(std::string(SongTable[1].path), songs("tune.m4a"));
    EXPECT_STREQ(SongTable[1].title, "Apple Tune");
    EXPECT_STREQ(SongTable[1].artist, "Cupertino");
    EXPECT_EQ(SongTable[1].durationMs, 2000);
    // After the scan currentSong points at the last entry added.
    EXPECT_EQ(playerState.currentSong, &SongTable[1]);
}

// ---- listing errors ----------------------------------------------------------

namespace {
// Reads `reads` entries, then fails with EIO.
class FailingReader : public platform::DirectoryReader {
public:
    explicit FailingReader(int reads) : left_(reads) {}
    struct dirent* next(DIR* dir) override {
        if (left_-- == 0) {
            errno = EIO;
            return nullptr;
        }
        return readdir(dir);
    }

private:
    int left_;
};
}  // namespace

TEST_F(LibraryScanTest, ListingErrorStopsTheScanAndLeavesItPending) {
    settings("");
    touch(songs("a.mp3"));
    touch(songs("sub/b.mp3"));
    touch(songs("c.wav"));
    platform::setDirectoryReader(std::make_shared<FailingReader>(3));  // fails inside the first pass
    playerState.rescanPending = 1;
    scanLibrary();
    platform::setDirectoryReader(nullptr);
    EXPECT_EQ(playerState.rescanPending, 1);
    EXPECT_EQ(lastSongIndex, 0);
    EXPECT_TRUE(log.empty());  // phase 2 never ran: no shortcut message either
    EXPECT_LT(songCount, 3);

    // The next scan starts again from 0 and finishes.
    scanLibrary();
    EXPECT_EQ(playerState.rescanPending, 0);
    EXPECT_EQ(songCount, 3);
    EXPECT_EQ(lastSongIndex, 2);
}

TEST_F(LibraryScanTest, WalkReturnsTheErrorCodeFromAnyDepth) {
    touch(songs("sub/deeper/x.mp3"));
    touch(songs("y.mp3"));
    platform::setDirectoryReader(std::make_shared<FailingReader>(3));
    int rc = walkFolder(songs().c_str(), "mp3", true);
    platform::setDirectoryReader(nullptr);
    EXPECT_EQ(rc, EIO);
    EXPECT_EQ(walkFolder((game / "missing").c_str(), "mp3", true), 0);  // unlistable root: 0
    EXPECT_EQ(walkFolder(songs().c_str(), "mp3", true), 0);
}

TEST(LibraryScanLongCwd, SongsRootThatDoesNotFitCountsAsMissing) {
    TempDir top;
    std::string deep = top.path();
    for (int i = 0; i < 5; ++i) deep += "/" + std::string(220, 'p');
    fs::create_directories(deep + "/Songs");
    writeFile(deep + "/Songs/a.mp3", "");
    writeFile(deep + "/Kestro.ini", "[Defaults]\nShortCutDir=Music\n");
    ASSERT_GT(deep.size() + 6, 1024u);
    clearTable();
    resetPlayerState();
    std::vector<std::string> log;
    scripthook::setLogSink(std::make_shared<LogInto>(log));
    {
        ScopedCwd cwd(deep);
        scanLibrary();
    }
    scripthook::setLogSink(nullptr);
    EXPECT_EQ(songCount, 0);
    EXPECT_EQ(lastSongIndex, -1);
    EXPECT_EQ(playerState.rescanPending, 0);
    EXPECT_EQ(log, (std::vector<std::string>{"ShortCut Does Not Exist, check ini."}));
    resetPlayerState();
}

TEST_F(LibraryScanTest, WindowsShortcutThroughTheDriveMapGivesTagsAndKeepsTheRawPath) {
    settings("");
    TempDir driveC;
    fs::create_directories(driveC / "test");
    // The shortcut names C:\test\a.txt; the file there is a real song.
    ASSERT_TRUE(encodeTone(driveC / "test/a.mp3", "Mapped", "Drive", 1.5));
    fs::rename(driveC / "test/a.mp3", driveC / "test/a.txt");
    fs::create_directories(songs());
    fs::copy_file(std::string(KESTRO_TESTDATA_DIR) + "/lnk/ms_worked_example.lnk", songs("a.lnk"));
    ASSERT_TRUE(platform::setDriveMapping('C', driveC.path()));
    scanLibrary();
    platform::resetDriveMappings();
    ASSERT_EQ(songCount, 1);
    EXPECT_STREQ(SongTable[0].path, "C:\\test\\a.txt");
    EXPECT_STREQ(SongTable[0].title, "Mapped");
    EXPECT_STREQ(SongTable[0].artist, "Drive");
    EXPECT_EQ(SongTable[0].durationMs, 2000);

    // With C: unmapped the target is missing: the entry is the shortcut.
    scanLibrary();
    ASSERT_EQ(songCount, 1);
    EXPECT_EQ(std::string(SongTable[0].path), songs("a.lnk"));
}

// ---- the platform's listing order, names without regard to case, drive paths

// Each folder is listed in the platform's order (names upper-cased, so "_"
// comes after the letters; ties by bytes), whatever order the file system
// gives: the names are made in a scrambled order.
TEST_F(LibraryScanTest, FoldersAreListedInNameOrderWithoutRegardToCase) {
    std::vector<std::string> names = {"b sub/x.mp3", "B/y.mp3", "a/z.mp3", "Disc 2/01.mp3", "Disc 2/02.mp3", "_u.mp3",
                                      "zeta.mp3", "ALPHA.mp3", "alpha.mp3", "\xC3\xA9t\xC3\xA9.mp3", "F.mp3", "10.mp3"};
    std::reverse(names.begin(), names.end());
    std::rotate(names.begin(), names.begin() + static_cast<long>(names.size() / 3), names.end());
    for (const std::string& n : names) touch(songs(n));
    ASSERT_EQ(walkFolder(songs().c_str(), "mp3", true), 0);
    std::vector<std::string> expected;
    expectedWalk(songs(), "mp3", expected);
    ASSERT_EQ(expected.size(), names.size());
    EXPECT_EQ(paths(), expected);
}

// "Songs" and the ShortCutDir shortcut are found whatever the case of their
// names (the exact name first; among several others, the first in listing
// order), and ShortCutDir may name folders with "\" or "/".
TEST_F(LibraryScanTest, SongsFolderAndShortcutAreFoundWithoutRegardToCase) {
    struct Case {
        std::vector<std::string> songsFolders;  // created; the first holds the songs
        std::string shortcutDir, shortcutFile, expectedSongsFolder;
    };
    const Case cases[] = {
        {{"songs"}, "MUSIC", "music.lnk", "songs"},
        {{"SONGS"}, "Music", "MUSIC.LNK", "SONGS"},
        {{"Songs", "songs"}, "sub\\Music", "SUB/music.Lnk", "Songs"},
        {{"songs", "SONGS"}, "sub/deeper\\Music", "sub/Deeper/Music.lnk", "SONGS"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.shortcutDir);
        TempDir dir, music;
        ScopedCwd cwd(dir.path());
        writeFile(dir / "Kestro.ini", "[Defaults]\nShortCutDir=" + c.shortcutDir + "\n");
        for (const std::string& f : c.songsFolders) touch(dir / (f + "/in-" + f + ".mp3"));
        touch(music / "m.mp3");
        const std::string link = dir / (c.expectedSongsFolder + "/" + c.shortcutFile);
        fs::create_directories(fs::path(link).parent_path());
        fs::create_symlink(music.path(), link);
        log.clear();
        scanLibrary();
        EXPECT_TRUE(log.empty()) << log[0];
        // The "lnk" pass compares the extension exactly: "MUSIC.LNK" is
        // found as the shortcut but is no entry of its own.
        std::vector<std::string> want = {dir / (c.expectedSongsFolder + "/in-" + c.expectedSongsFolder + ".mp3")};
        if (c.shortcutFile.ends_with(".lnk")) want.push_back(link);
        want.push_back(music / "m.mp3");
        EXPECT_EQ(paths(), want);
    }
}

// Entries found below a folder shortcut to "C:\Users\stray\Desktop\New
// folder" are stored as platform paths (read through the drive map like any
// shortcut target).
TEST_F(LibraryScanTest, EntriesBelowAWindowsFolderShortcutKeepThePlatformPath) {
    settings("ShortCutDir=New\n");
    TempDir driveC;
    const std::string folder = driveC / "Users/stray/Desktop/New folder";
    touch(folder + "/sub/x.mp3");
    touch(folder + "/back\\slash.mp3");  // cannot be named by a platform path: left out
    fs::create_directories(songs());
    fs::copy_file(std::string(KESTRO_TESTDATA_DIR) + "/lnk/folder_desktop_new_folder.lnk", songs("New.lnk"));
    ASSERT_TRUE(platform::setDriveMapping('C', driveC.path()));
    scanLibrary();
    platform::resetDriveMappings();
    EXPECT_TRUE(log.empty()) << log[0];
    ASSERT_EQ(songCount, 2);
    EXPECT_EQ(std::string(SongTable[0].path), songs("New.lnk"));
    EXPECT_STREQ(SongTable[1].path, "C:\\Users\\stray\\Desktop\\New folder\\sub\\x.mp3");
}

// A slot may hold an earlier scan's entry, and the tag reader keeps the
// texts of a file it cannot read: the scan must empty the slot first.
TEST_F(LibraryScanTest, RepeatedScanKeepsNoStaleTags) {
    settings("");
    writeFile(songs("a.mp3"), "not audio");
    std::strcpy(SongTable[0].title, "Old");
    std::strcpy(SongTable[0].album, "Record");
    std::strcpy(SongTable[0].year, "2001");
    scanLibrary();
    ASSERT_EQ(songCount, 1);
    EXPECT_STREQ(SongTable[0].title, "");
    EXPECT_STREQ(SongTable[0].album, "");
    EXPECT_STREQ(SongTable[0].year, "");
    EXPECT_EQ(SongTable[0].durationMs, 1000);
}

// ---- hostile trees: many paths to one folder, deep trees -------------------

// Each folder is walked at most once per phase however many links lead to
// it (a chain of folders each holding two links to the next gives 2^24
// paths; a link into /sys), and the walk keeps its place on the heap: a tree
// 2100 folders deep scans on a 256 KB stack (a script thread on the original
// platform has about 1 MB), passing over folders beyond PATH_MAX.
TEST_F(LibraryScanTest, HostileTreesAreWalkedOnceOnASmallStack) {
    settings("");
    std::string rel;
    for (int i = 0; i < 2100; ++i) {
        rel += "d/";
        if (i == 200) touch(songs(rel + "shallow.mp3"));
    }
    {  // made step by step: the full path is beyond PATH_MAX
        ScopedCwd inSongs(songs());
        std::string step = "d";
        for (int k = 1; k < 100; ++k) step += "/d";
        for (int i = 0; i < 2100; i += 100) {
            fs::create_directories(step);
            ASSERT_EQ(::chdir(step.c_str()), 0);
        }
        touch("./bottom.mp3");
    }
    constexpr int kLevels = 24;
    for (int i = 0; i <= kLevels; ++i) touch(game / ("d" + std::to_string(i) + "/s" + std::to_string(i) + ".mp3"));
    for (int i = 0; i < kLevels; ++i)
        for (const char* name : {"/a", "/b"})
            fs::create_directory_symlink(game / ("d" + std::to_string(i + 1)), game / ("d" + std::to_string(i) + name));
    fs::create_directory_symlink(game / "d0", songs("d0"));
    if (fs::is_directory("/sys")) fs::create_directory_symlink("/sys", songs("sys"));
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 256 * 1024);
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, &attr, +[](void*) -> void* { scanLibrary(); return nullptr; }, nullptr), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
    EXPECT_EQ(playerState.rescanPending, 0);
    auto p = paths();
    ASSERT_EQ(p.size(), static_cast<std::size_t>(kLevels + 2));
    EXPECT_EQ(p[0], songs(rel.substr(0, 2 * 201) + "shallow.mp3"));
    // Depth first, through the first link at every level.
    std::string deepest = "d0/";
    for (int i = 0; i < kLevels; ++i) deepest += "a/";
    EXPECT_EQ(p[1], songs(deepest + "s24.mp3"));
    EXPECT_EQ(p[kLevels + 1], songs("d0/s0.mp3"));
    std::sort(p.begin(), p.end());
    EXPECT_EQ(std::unique(p.begin(), p.end()), p.end());
}
