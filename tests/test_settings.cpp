// The settings-file reader and the plug-in's load path: settings read at
// load, the registered thread, the entry routine's reasons and unload.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "TestUtil.h"
#include "host/GameWorld.h"
#include "host/Loader.h"
#include "host/NativeHandlers.h"
#include "platform/settings/Ini.h"
#include "plugin/PlayerState.h"
#include "scripthook/HookHost.h"
#include "scripthook/ScriptHook.h"

using namespace kestro;
using kestro::testing::LogInto;
using kestro::testing::ScopedCwd;
using kestro::testing::TempDir;
using kestro::testing::writeFile;

// ---- the reader's rules ---------------------------------------------------

TEST(IniReader, SectionsAndKeysIgnoreCaseAndFirstOneCounts) {
    const std::string ini =
        "; a comment\n"
        "[Other]\nVolume=1\n"
        "[defaults]\n  volume = 700  \nVolume=800\n# another comment\nPauseKey=0x20\n"
        "[Defaults]\nDisplayKey=9\n";
    EXPECT_EQ(platform::iniLookup(ini, "Defaults", "VOLUME"), "700");
    EXPECT_EQ(platform::iniLookup(ini, "DEFAULTS", "PauseKey"), "0x20");
    EXPECT_EQ(platform::iniLookup(ini, "Other", "volume"), "1");
    EXPECT_FALSE(platform::iniLookup(ini, "Defaults", "DisplayKey"));  // second section ignored
    EXPECT_FALSE(platform::iniLookup(ini, "Missing", "Volume"));
    EXPECT_FALSE(platform::iniLookup(ini, "Defaults", "Nope"));
}

TEST(IniReader, QuotesBomCrLfAndLinesWithoutEquals) {
    const std::string ini = "\xEF\xBB\xBF[Defaults]\r\nUrl=\"http://x/a b\"\r\nnoise line\r\n"
                            "Name='single'\r\nHalf=\"open\r\nEmpty=\r\nEq=a=b\r\n";
    EXPECT_EQ(platform::iniLookup(ini, "Defaults", "Url"), "http://x/a b");
    EXPECT_EQ(platform::iniLookup(ini, "Defaults", "Name"), "single");
    EXPECT_EQ(platform::iniLookup(ini, "Defaults", "Half"), "\"open");
    EXPECT_EQ(platform::iniLookup(ini, "Defaults", "Empty"), "");
    EXPECT_EQ(platform::iniLookup(ini, "Defaults", "Eq"), "a=b");
}

TEST(IniReader, NumbersReadLikeTheProfileFunctions) {
    EXPECT_EQ(platform::iniParseInt("179"), 179);
    EXPECT_EQ(platform::iniParseInt("  -42"), -42);
    EXPECT_EQ(platform::iniParseInt("+7"), 7);
    EXPECT_EQ(platform::iniParseInt("12abc"), 12);
    EXPECT_EQ(platform::iniParseInt("abc"), 0);
    EXPECT_EQ(platform::iniParseInt("0xB3"), 0xB3);
    EXPECT_EQ(platform::iniParseInt("0x"), 0);
    EXPECT_EQ(platform::iniParseInt("99999999999"), 2147483647);
    EXPECT_EQ(platform::iniParseInt("-99999999999"), -2147483647 - 1);
    EXPECT_FALSE(platform::iniParseInt(""));
    EXPECT_FALSE(platform::iniParseInt("   "));
}

TEST(IniReader, FileReadsFallBackToDefaultsAndCutTexts) {
    TempDir dir;
    std::string file = dir / "k.ini";
    EXPECT_EQ(platform::iniReadInt("Defaults", "Volume", 500, file.c_str()), 500);  // no file
    writeFile(file, "[Defaults]\nVolume=\nDisplay=x\nText=" + std::string(1500, 'u') + "\n");
    EXPECT_EQ(platform::iniReadInt("Defaults", "Volume", 500, file.c_str()), 500);  // empty value
    EXPECT_EQ(platform::iniReadInt("Defaults", "Display", 1, file.c_str()), 0);     // not a number
    char buf[1024];
    EXPECT_EQ(platform::iniReadString("Defaults", "Text", "", buf, sizeof buf, file.c_str()), 1023u);
    EXPECT_EQ(std::string(buf), std::string(1023, 'u'));
    char tiny[4];
    platform::iniReadString("Defaults", "Missing", "default", tiny, sizeof tiny, file.c_str());
    EXPECT_STREQ(tiny, "def");
    platform::iniReadString("Defaults", "Text", "", buf, sizeof buf, (dir / "none.ini").c_str());
    EXPECT_STREQ(buf, "");
}

TEST(IniReader, OnlyARegularFileIsReadAndOnlyUpToTheCap) {
    TempDir dir;
    const std::size_t cap = platform::kIniMaxBytes;
    // "Cut=12345" straddles the cap: it is dropped whole, not read as a
    // shorter number; "After" lies beyond the cap.
    std::string big = "[Defaults]\nVolume=640\n";
    big += std::string(cap - 4 - big.size() - 1, ';') + "\n";
    big += "Cut=12345\nAfter=7\n" + std::string(4096, '#');
    writeFile(dir / "big.ini", big);
    const std::string head = "[Defaults]\nVolume=640\n", tail = "Last=9\n";
    writeFile(dir / "exact.ini", head + std::string(cap - head.size() - tail.size() - 1, ';') + "\n" + tail);
    ASSERT_EQ(kestro::testing::readFile(dir / "exact.ini").size(), cap);
    writeFile(dir / "plain.ini", "[Defaults]\nVolume=640\n");
    ASSERT_EQ(mkfifo((dir / "fifo.ini").c_str(), 0644), 0);
    std::filesystem::create_directory(dir / "folder.ini");
    std::filesystem::create_symlink("/dev/zero", dir / "zero.ini");
    std::filesystem::create_symlink(dir / "plain.ini", dir / "link.ini");

    struct Case {
        const char* file;
        const char* key;
        std::int32_t expected;
    } cases[] = {
        {"plain.ini", "Volume", 640},  {"link.ini", "Volume", 640},  // a link to a regular file is read
        {"fifo.ini", "Volume", 500},   {"folder.ini", "Volume", 500}, {"zero.ini", "Volume", 500},
        {"big.ini", "Volume", 640},    {"big.ini", "Cut", -1},        {"big.ini", "After", -1},
        {"exact.ini", "Last", 9},  // a file of exactly the cap is read whole
    };
    for (const Case& c : cases) {
        const std::string file = dir / c.file;
        const std::int32_t fallback = std::string(c.key) == "Volume" ? 500 : -1;
        EXPECT_EQ(platform::iniReadInt("Defaults", c.key, fallback, file.c_str()), c.expected) << c.file << " " << c.key;
    }
}

TEST(IniReader, ABatchReadsTheFileOnceOutsideItEveryReadSeesTheFileAsItIs) {
    TempDir dir;
    const std::string file = dir / "k.ini";
    writeFile(file, "[Defaults]\nVolume=1\n");
    {
        platform::IniReadBatch batch;
        EXPECT_EQ(platform::iniReadInt("Defaults", "Volume", 0, file.c_str()), 1);
        writeFile(file, "[Defaults]\nVolume=2\nUrl=x\n");
        {
            platform::IniReadBatch inner;  // batches nest
            EXPECT_EQ(platform::iniReadInt("Defaults", "Volume", 0, file.c_str()), 1);
        }
        char url[8];
        platform::iniReadString("Defaults", "Url", "", url, sizeof url, file.c_str());
        EXPECT_STREQ(url, "");  // still the text read first
        // Another file inside the batch is read on its own.
        writeFile(dir / "other.ini", "[Defaults]\nVolume=3\n");
        EXPECT_EQ(platform::iniReadInt("Defaults", "Volume", 0, (dir / "other.ini").c_str()), 3);
    }
    EXPECT_EQ(platform::iniReadInt("Defaults", "Volume", 0, file.c_str()), 2);
    writeFile(file, "[Defaults]\nVolume=4\n");
    EXPECT_EQ(platform::iniReadInt("Defaults", "Volume", 0, file.c_str()), 4);
}

// ---- the plug-in's load path, through the host's loader -------------------

namespace {

class LoadPathTest : public ::testing::Test {
protected:
    void SetUp() override {
        scripthook::forgetThreads();
        scripthook::clearNatives();
    }
    void TearDown() override {
        if (loader.loaded()) loader.unload();
        scripthook::forgetThreads();
        scripthook::clearNatives();
        scripthook::setLogSink(nullptr);
    }

    // Loads the plug-in with `dir` as the game folder.
    void load(const TempDir& dir) {
        ScopedCwd cwd(dir.path());
        std::string error;
        ASSERT_TRUE(loader.load(KESTRO_PLUGIN_PATH, error)) << error;
        void* handle = dlopen(KESTRO_PLUGIN_PATH, RTLD_NOW | RTLD_NOLOAD);
        ASSERT_NE(handle, nullptr);
        auto view = reinterpret_cast<const PlayerState* (*)()>(dlsym(handle, "KestroPlayerState"));
        ASSERT_NE(view, nullptr);
        state = view();
        dlclose(handle);  // drops only the extra reference taken above
    }

    static std::int32_t playerModeOf(const NativeThread* t) {
        // playerMode is the one member that follows the NativeThread part.
        std::int32_t mode;
        std::memcpy(&mode, reinterpret_cast<const char*>(t) + sizeof(NativeThread), sizeof mode);
        return mode;
    }

    host::PluginLoader loader;
    const PlayerState* state = nullptr;
};

}  // namespace

TEST_F(LoadPathTest, NoSettingsFileGivesRegisteredThreadAndEveryDefault) {
    TempDir dir;
    load(dir);
    ASSERT_EQ(scripthook::registeredThreads().size(), 1u);
    const NativeThread* t = scripthook::registeredThreads()[0];
    EXPECT_STREQ(t->Name(), "Kestro");
    EXPECT_EQ(playerModeOf(t), 0);
    ASSERT_NE(state, nullptr);
    EXPECT_EQ(state->PauseKey, 179);
    EXPECT_EQ(state->DisplayKey, 85);
    EXPECT_EQ(state->PreviousKey, 177);
    EXPECT_EQ(state->NextKey, 176);
    EXPECT_EQ(state->FforwardKey, 99);
    EXPECT_EQ(state->FrewindKey, 97);
    EXPECT_EQ(state->StopKey, 178);
    EXPECT_EQ(state->RandomKey, 82);
    EXPECT_EQ(state->displayOn, 1);
    EXPECT_EQ(state->DisplayTitle, 1);
    EXPECT_EQ(state->OnFootEnabled, 1);
    EXPECT_EQ(state->VolumeUpKey, 105);
    EXPECT_EQ(state->VolumeDownKey, 103);
    EXPECT_EQ(state->EnableUrl, 84);
    EXPECT_EQ(state->volume, 500);
    // The rest of the player state starts at its initial values.
    EXPECT_STREQ(state->currentSong->path, " ");
    EXPECT_EQ(state->firstStart, 1);
    EXPECT_EQ(state->rescanPending, 1);
    EXPECT_EQ(state->running, 1);
    EXPECT_EQ(state->songActive, 0);
    EXPECT_EQ(state->streamUrl[0], '\0');
}

TEST_F(LoadPathTest, EveryKeyIsReadFromTheDefaultsSection) {
    TempDir dir;
    writeFile(dir / "Kestro.ini",
              "[Elsewhere]\nVolume=3\nPauseKey=1\n"
              "[Defaults]\nPauseKey=80\nDisplayKey=81\nPreviousKey=82\nNextKey=83\n"
              "FforwardKey=84\nFrewindKey=85\nStopKey=86\nRandomKey=87\nDisplay=0\n"
              "DisplayTitle=0\nOnFootEnabled=0\nVolumeUpKey=88\nVolumeDownKey=89\n"
              "EnableUrl=90\nVolume=250\n");
    load(dir);
    EXPECT_EQ(state->PauseKey, 80);
    EXPECT_EQ(state->DisplayKey, 81);
    EXPECT_EQ(state->PreviousKey, 82);
    EXPECT_EQ(state->NextKey, 83);
    EXPECT_EQ(state->FforwardKey, 84);
    EXPECT_EQ(state->FrewindKey, 85);
    EXPECT_EQ(state->StopKey, 86);
    EXPECT_EQ(state->RandomKey, 87);
    EXPECT_EQ(state->displayOn, 0);
    EXPECT_EQ(state->DisplayTitle, 0);
    EXPECT_EQ(state->OnFootEnabled, 0);
    EXPECT_EQ(state->VolumeUpKey, 88);
    EXPECT_EQ(state->VolumeDownKey, 89);
    EXPECT_EQ(state->EnableUrl, 90);
    EXPECT_EQ(state->volume, 250);
}

TEST_F(LoadPathTest, KeysInAnotherSectionAreIgnoredAndDisplayTwoHidesPanel) {
    TempDir dir;
    writeFile(dir / "Kestro.ini", "[Player]\nVolume=3\n[Defaults]\nDisplay=2\n");
    load(dir);
    EXPECT_EQ(state->volume, 500);
    EXPECT_EQ(state->displayOn, 2);  // not 1: the panel is hidden
}

TEST_F(LoadPathTest, LongUrlIsReadAfterTheFirstTickScanCutTo1023) {
    TempDir dir;
    std::string url = "http://127.0.0.1/" + std::string(1500 - 17, 'q');
    writeFile(dir / "Kestro.ini", "[Defaults]\nUrl=" + url + "\n");
    load(dir);
    EXPECT_EQ(state->streamUrl[0], '\0');  // not read at load
    host::GameWorld world;
    host::registerGameNatives(world, nullptr);
    std::vector<std::string> log;
    scripthook::setLogSink(std::make_shared<LogInto>(log));
    {
        ScopedCwd cwd(dir.path());
        world.beginTick();
        scripthook::tickThreads();
        world.endTick();
    }
    EXPECT_EQ(std::string(state->streamUrl), url.substr(0, 1023));
    EXPECT_EQ(state->rescanPending, 0);
    EXPECT_EQ(log, (std::vector<std::string>{"No Shortcutdir in ini"}));
}

TEST_F(LoadPathTest, ThreadAttachAndDetachChangeNothingAndUnloadDestroysThread) {
    TempDir dir;
    load(dir);
    EXPECT_EQ(loader.attachResult(), 1);
    EXPECT_EQ(loader.callEntry(host::kThreadAttach), 1);
    EXPECT_EQ(loader.callEntry(host::kThreadDetach), 1);
    ASSERT_EQ(scripthook::registeredThreads().size(), 1u);  // not registered twice
    bool stillMapped = true;
    EXPECT_EQ(loader.unload(&stillMapped), 1);
    EXPECT_FALSE(stillMapped);
    // The thread's destructor ran: the hook no longer knows the thread.
    EXPECT_TRUE(scripthook::registeredThreads().empty());
}

TEST_F(LoadPathTest, ReloadStartsFromInitialValuesAgain) {
    TempDir dir;
    load(dir);
    const_cast<PlayerState*>(state)->volume = 1;  // a change while loaded
    loader.unload();
    writeFile(dir / "Kestro.ini", "[Defaults]\nVolume=640\n");
    load(dir);
    EXPECT_EQ(state->volume, 640);
    EXPECT_EQ(scripthook::registeredThreads().size(), 1u);
}
