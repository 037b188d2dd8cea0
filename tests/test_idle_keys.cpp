// The keys polled while Idle: start, random order, the catalogue combination
// and the stream switch; one key per tick, none without player control.
#include <gtest/gtest.h>

#include <filesystem>

#include "TestUtil.h"
#include "TickHarness.h"

using namespace kestro;
using kestro::testing::TickHarness;

namespace {
constexpr int kRightCtrl = 0xA3;
constexpr int kF10 = 0x79;

std::string message(TickHarness& h) {
    const host::ShownMessage* m = h.world.currentMessage();
    return m ? m->text : std::string();
}
}  // namespace

TEST(IdleKeys, RandomKeyTogglesAndAnyOtherValueBecomesOne) {
    TickHarness h;
    playerState.randomOn = 5;
    h.keyboard.press(playerState.RandomKey);
    h.tick();
    EXPECT_EQ(playerState.randomOn, 1);
    h.keyboard.press(playerState.RandomKey);
    h.tick();
    EXPECT_EQ(playerState.randomOn, 0);
}

TEST(IdleKeys, OneKeyPerTickTheOtherPressWaits) {
    TickHarness h;
    h.keyboard.press(playerState.RandomKey);
    h.keyboard.press(playerState.EnableUrl);
    h.tick();
    EXPECT_EQ(playerState.randomOn, 1);
    EXPECT_EQ(playerState.urlEnabled, 0);
    h.tick();  // the stream key's press was not queried, so it is still pending
    EXPECT_EQ(playerState.urlEnabled, 1);
    EXPECT_EQ(message(h), "Url Enabled");
    h.keyboard.press(playerState.EnableUrl);
    h.tick();
    EXPECT_EQ(playerState.urlEnabled, 0);
    EXPECT_EQ(message(h), "Url Disabled");
}

TEST(IdleKeys, NoControlNoKeys) {
    TickHarness h;
    h.world.setControl(false);
    h.keyboard.press(playerState.RandomKey);
    h.ticks(2);
    EXPECT_EQ(playerState.randomOn, 0);
    EXPECT_EQ(h.keyQueries, 0);
    h.world.setControl(true);
    h.tick();
    EXPECT_EQ(playerState.randomOn, 1);
}

TEST(IdleKeys, CatalogueNeedsRightCtrlAndF10HeldDown) {
    kestro::testing::TempDir dir;
    kestro::testing::ScopedCwd cwd(dir.path());
    TickHarness h;
    h.keyboard.press(kF10);  // F10 alone: nothing
    h.tick();
    h.keyboard.hold(kRightCtrl);
    h.tick();  // right Ctrl without F10 held: nothing
    EXPECT_FALSE(std::filesystem::exists(dir / "songs.txt"));
    h.keyboard.hold(kF10);
    h.tick();
    EXPECT_EQ(kestro::testing::readFile(dir / "songs.txt"),
              "Title |Time |Artist |Album |Year |Filename\r\nTotal Songs: 0");
    EXPECT_EQ(message(h), "Song List Created");
}

TEST(IdleKeys, CatalogueThatCannotBeWrittenSaysSoAndKeepsTheOldOne) {
    kestro::testing::TempDir dir;
    kestro::testing::ScopedCwd cwd(dir.path());
    TickHarness h;
    h.keyboard.hold(kRightCtrl);
    h.keyboard.hold(kF10);
    h.tick();
    ASSERT_EQ(message(h), "Song List Created");
    // Replaced through a new file: nothing of it is left beside songs.txt.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), std::filesystem::directory_iterator()), 1);
    std::filesystem::rename(dir / "songs.txt", dir / "old.txt");
    std::filesystem::create_directory(dir / "songs.txt");  // in the way of the rename
    h.log.clear();
    h.tick();
    EXPECT_EQ(message(h), "Song List Not Created");
    ASSERT_EQ(h.log.size(), 1u);
    EXPECT_EQ(h.log[0], "Song List Not Written: cannot replace songs.txt: Is a directory");
    EXPECT_TRUE(std::filesystem::is_directory(dir / "songs.txt"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), std::filesystem::directory_iterator()), 2);
}

TEST(IdleKeys, StartKeyDiscardsPlayingKeysAndClearsVehicleWatch) {
    TickHarness h;
    playerState.vehicleWatch = 1;
    h.keyboard.press(playerState.StopKey);
    h.keyboard.press(playerState.NextKey);
    h.keyboard.press(StartKey);
    h.tick();
    EXPECT_FALSE(h.keyboard.pending(playerState.StopKey));
    EXPECT_FALSE(h.keyboard.pending(playerState.NextKey));
    EXPECT_EQ(playerState.vehicleWatch, 0);
}

TEST(IdleKeys, StartKeyDoesNothingOnFootWhenOnlyVehiclesMayPlay) {
    TickHarness h;
    playerState.OnFootEnabled = 0;
    playerState.vehicleWatch = 1;
    h.keyboard.press(playerState.StopKey);
    h.keyboard.press(StartKey);
    h.tick();  // on foot: the press is used up, nothing else happens
    EXPECT_TRUE(h.keyboard.pending(playerState.StopKey));
    EXPECT_EQ(playerState.vehicleWatch, 1);
    playerState.OnFootEnabled = 3;  // neither 0 nor 1: the start key never starts
    h.world.enterVehicle(4);
    h.keyboard.press(StartKey);
    h.tick();
    EXPECT_TRUE(h.keyboard.pending(playerState.StopKey));
    playerState.OnFootEnabled = 0;
    h.keyboard.press(StartKey);
    h.tick();  // in a vehicle now: starts
    EXPECT_FALSE(h.keyboard.pending(playerState.StopKey));
    EXPECT_EQ(playerState.vehicleWatch, 0);
}
