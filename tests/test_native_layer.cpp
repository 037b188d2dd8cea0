// The native call layer: hashes, argument encoding, copy-back order, result
// decoding and the bounded formatting functions, through the real script
// hook dispatch.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "game/Natives.h"
#include "scripthook/HookHost.h"
#include "scripthook/ScriptHook.h"

using namespace kestro;

namespace {

class NativeLayerTest : public ::testing::Test {
protected:
    void SetUp() override { scripthook::clearNatives(); }
    void TearDown() override { scripthook::clearNatives(); }
};

// A reference Jenkins one-at-a-time hash, written independently of the
// hook's, over the lower-case name.
std::uint32_t referenceHash(const std::string& name) {
    std::uint32_t h = 0;
    for (char c : name) {
        h += static_cast<unsigned char>(std::tolower(static_cast<unsigned char>(c)));
        h += (h << 10);
        h ^= (h >> 6);
    }
    h += (h << 3);
    h ^= (h >> 11);
    h += (h << 15);
    return h;
}

}  // namespace

TEST(NativeHashes, AllTwentyFourAreJenkinsOfLowerCaseName) {
    // The one table both the plug-in and the host read.
    ASSERT_EQ(std::size(kNativeTable), 24u);
    std::set<std::string> names;
    std::set<std::uint32_t> hashes;
    for (std::size_t i = 0; i < std::size(kNativeTable); ++i) {
        const NativeInfo& n = kNativeTable[i];
        EXPECT_EQ(static_cast<std::size_t>(n.id), i) << n.name;
        EXPECT_EQ(referenceHash(n.name), n.hash) << n.name;
        EXPECT_EQ(scripthook::nativeHash(n.name), n.hash) << n.name;
        EXPECT_LE(n.argCount, 5u) << n.name;
        names.insert(n.name);
        hashes.insert(n.hash);
    }
    EXPECT_EQ(names.size(), 24u);
    EXPECT_EQ(hashes.size(), 24u);
    // The wrappers' hashes come from the table.
    EXPECT_EQ(hash::GET_GAME_TIMER, referenceHash("GET_GAME_TIMER"));
    EXPECT_EQ(hash::RETUNE_RADIO_UP, referenceHash("retune_radio_up"));
    // Case does not matter to the hook's hash.
    EXPECT_EQ(scripthook::nativeHash("get_game_timer"), scripthook::nativeHash("GET_GAME_TIMER"));
}

TEST(NativeContextLayout, BooleanTrueIsOneThenZeroBytes) {
    NativeContext ctx;
    std::memset(&ctx, 0xAB, sizeof ctx);
    encodeNativeArg(ctx, 2, true);
    const unsigned char* slot = ctx.argArea + 2 * sizeof(NativeSlot);
    EXPECT_EQ(slot[0], 1);
    for (std::size_t i = 1; i < sizeof(NativeSlot); ++i) EXPECT_EQ(slot[i], 0) << i;
    encodeNativeArg(ctx, 2, false);
    for (std::size_t i = 0; i < sizeof(NativeSlot); ++i) EXPECT_EQ(slot[i], 0) << i;
    // Neighbouring slots are untouched.
    EXPECT_EQ(ctx.argArea[1 * sizeof(NativeSlot)], 0xAB);
    EXPECT_EQ(ctx.argArea[3 * sizeof(NativeSlot)], 0xAB);
}

TEST(NativeContextLayout, IntegersAndFloatsSitInTheLowFourBytes) {
    NativeContext ctx;
    std::memset(&ctx, 0, sizeof ctx);
    encodeNativeArg(ctx, 0, std::int32_t{-2});
    encodeNativeArg(ctx, 1, 0.5f);
    const unsigned char expectInt[4] = {0xFE, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(std::memcmp(ctx.argArea, expectInt, 4), 0);
    float f;
    std::memcpy(&f, ctx.argArea + sizeof(NativeSlot), 4);
    EXPECT_EQ(f, 0.5f);
}

TEST_F(NativeLayerTest, CopyBackRunsFromHighestIndexDown) {
    float dest[3] = {0, 0, 0};
    // Both vectors go to the same place: the one copied last stays.
    scripthook::registerNative(hash::GET_PLAYER_ID, "two vectors",
                               [&](scripthook::NativeCall& call) {
                                   call.pushVector(dest, 1, 2, 3);
                                   call.pushVector(dest, 4, 5, 6);
                               });
    GET_PLAYER_ID();
    EXPECT_EQ(dest[0], 1);
    EXPECT_EQ(dest[1], 2);
    EXPECT_EQ(dest[2], 3);
}

TEST_F(NativeLayerTest, CopyBackLeavesCountAtZeroAndCopiesEachToItsPlace) {
    float a[3] = {0, 0, 0}, b[3] = {0, 0, 0};
    NativeContext ctx;
    ctx.resultPtr = ctx.argArea;
    ctx.argPtr = ctx.argArea;
    ctx.argCount = 0;
    ctx.pendingCount = 0;
    scripthook::registerNative(0x1234, "vectors", [&](scripthook::NativeCall& call) {
        call.pushVector(a, 1, 2, 3);
        call.pushVector(b, 4, 5, 6);
    });
    invokeNative(ctx, 0x1234);
    EXPECT_EQ(ctx.pendingCount, 0u);
    EXPECT_EQ(a[2], 3);
    EXPECT_EQ(b[0], 4);
    EXPECT_EQ(b[2], 6);
}

TEST_F(NativeLayerTest, NoVectorResultsCopiesNothing) {
    float untouched[3] = {7, 8, 9};
    NativeContext ctx;
    ctx.resultPtr = ctx.argArea;
    ctx.argPtr = ctx.argArea;
    ctx.argCount = 0;
    ctx.pendingCount = 0;
    ctx.pendingDest[0] = untouched;
    ctx.pendingVec[0] = NativeVector{1, 1, 1, 0};
    scripthook::registerNative(0x4321, "plain", [](scripthook::NativeCall& call) {
        call.setIntResult(5);
    });
    invokeNative(ctx, 0x4321);
    EXPECT_EQ(ctx.pendingCount, 0u);
    EXPECT_EQ(untouched[0], 7);
}

TEST_F(NativeLayerTest, BooleanResultReadsFirstByteOnly) {
    // Slot 0 holds 0x100: its first byte is 0, so the result is false; then
    // 0xFFFFFF01: true.
    std::uint32_t raw = 0x100;
    scripthook::registerNative(hash::IS_FRONTEND_FADING, "raw", [&](scripthook::NativeCall& call) {
        call.setIntResult(static_cast<std::int32_t>(raw));
    });
    EXPECT_FALSE(IS_FRONTEND_FADING());
    raw = 0xFFFFFF01u;
    EXPECT_TRUE(IS_FRONTEND_FADING());
}

TEST_F(NativeLayerTest, WrappersFixArgumentsAndCountEverySlot) {
    struct Seen {
        std::uint32_t count = 0;
        std::vector<std::int32_t> ints;
        std::vector<bool> bools;
        std::string text0, text1;
    };
    Seen print, shadow, random, settimer, retune;
    scripthook::registerNative(hash::PRINT_STRING_WITH_LITERAL_STRING_NOW, "print",
                               [&](scripthook::NativeCall& c) {
                                   print.count = c.argCount();
                                   print.text0 = c.textArg(0);
                                   print.text1 = c.textArg(1);
                                   print.ints = {c.intArg(2)};
                                   print.bools = {c.boolArg(3)};
                               });
    scripthook::registerNative(hash::SET_TEXT_DROPSHADOW, "shadow", [&](scripthook::NativeCall& c) {
        shadow.count = c.argCount();
        shadow.bools = {c.boolArg(2), c.boolArg(3), c.boolArg(4)};
    });
    std::int32_t drawn = -1;
    scripthook::registerNative(hash::GENERATE_RANDOM_INT_IN_RANGE, "random",
                               [&](scripthook::NativeCall& c) {
                                   random.count = c.argCount();
                                   random.ints = {c.intArg(0), c.intArg(1)};
                                   *c.outArg<std::int32_t>(2) = 7;
                               });
    scripthook::registerNative(hash::SETTIMERA, "settimera", [&](scripthook::NativeCall& c) {
        settimer.count = c.argCount();
        settimer.ints = {c.intArg(0)};
    });
    scripthook::registerNative(hash::RETUNE_RADIO_TO_STATION_NAME, "retune",
                               [&](scripthook::NativeCall& c) {
                                   retune.count = c.argCount();
                                   retune.text0 = c.textArg(0);
                               });

    PRINT_STRING_WITH_LITERAL_STRING_NOW("hello");
    SET_TEXT_DROPSHADOW(0.0f, 1.0f);
    GENERATE_RANDOM_INT_IN_RANGE(9, &drawn);
    SETTIMERA();
    RETUNE_RADIO_TO_STATION_NAME();

    EXPECT_EQ(print.count, 4u);
    EXPECT_EQ(print.text0, "STRING");
    EXPECT_EQ(print.text1, "hello");
    EXPECT_EQ(print.ints[0], 5000);
    EXPECT_TRUE(print.bools[0]);
    EXPECT_EQ(shadow.count, 5u);
    EXPECT_EQ(shadow.bools, (std::vector<bool>{false, false, true}));
    EXPECT_EQ(random.count, 3u);
    EXPECT_EQ(random.ints, (std::vector<std::int32_t>{0, 9}));
    EXPECT_EQ(drawn, 7);
    EXPECT_EQ(settimer.count, 1u);
    EXPECT_EQ(settimer.ints[0], 0);
    EXPECT_EQ(retune.count, 1u);
    EXPECT_EQ(retune.text0, "OFF");
}

TEST_F(NativeLayerTest, OutValuesAndIntegerResults) {
    scripthook::registerNative(hash::GET_PLAYER_ID, "id", [](scripthook::NativeCall& c) {
        c.setIntResult(3);
    });
    scripthook::registerNative(hash::GET_PLAYER_CHAR, "char", [](scripthook::NativeCall& c) {
        *c.outArg<std::int32_t>(1) = 100 + c.intArg(0);
    });
    scripthook::registerNative(hash::GET_GAME_TIMER, "timer", [](scripthook::NativeCall& c) {
        *c.outArg<std::uint32_t>(0) = 0xFFFFFFF0u;
    });
    scripthook::registerNative(hash::TIMERA, "timera", [](scripthook::NativeCall& c) {
        c.setIntResult(-5);
    });
    EXPECT_EQ(playerCharacter(), 103);
    EXPECT_EQ(gameTimer(), 0xFFFFFFF0u);
    EXPECT_EQ(TIMERA(), -5);
}

TEST_F(NativeLayerTest, UnknownHashLeavesContextUntouchedAndLogsOnce) {
    std::vector<std::string> lines;
    scripthook::setLogSink(std::make_shared<kestro::testing::LogInto>(lines));
    std::int32_t character = 42;
    GET_PLAYER_CHAR(1, &character);  // no handler registered
    GET_PLAYER_CHAR(1, &character);
    scripthook::setLogSink(nullptr);
    EXPECT_EQ(character, 42);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("6B86410E"), std::string::npos);
}

namespace {
// Leaves a recognisable pattern on the stack where the next call's native
// record will lie.
[[gnu::noinline]] void dirtyTheStack() {
    volatile unsigned char junk[4096];
    for (auto& b : junk) b = 0xA5;
}
}  // namespace

TEST_F(NativeLayerTest, ANativeThatGivesNoResultReadsZeroNotStackOrArgument) {
    // No handler at all: the hook clears slot 0, so an argument left there
    // (1001 begins with the byte 0xE9) is not taken for "true".
    struct Case {
        const char* what;
        bool hasArguments;
        std::function<std::int64_t()> call;
    } cases[] = {
        // Every wrapper goes through one call routine: an int result, a
        // bool one, and a bool one after an argument.
        {"GET_PLAYER_ID", false, [] { return GET_PLAYER_ID(); }},
        {"IS_RADIO_RETUNING", false, [] { return IS_RADIO_RETUNING(); }},
        {"IS_CHAR_IN_ANY_CAR", true, [] { return IS_CHAR_IN_ANY_CAR(1001); }},
    };
    for (const Case& c : cases) {
        dirtyTheStack();
        EXPECT_EQ(c.call(), 0) << c.what << " (unresolved)";
    }
    // A native without arguments that runs but leaves slot 0 alone: the
    // plug-in cleared the record, so the stack's old bytes do not show.
    for (const NativeInfo& n : kNativeTable) scripthook::registerNative(n.hash, n.name, [](scripthook::NativeCall&) {});
    for (const Case& c : cases) {
        if (c.hasArguments) continue;
        dirtyTheStack();
        EXPECT_EQ(c.call(), 0) << c.what << " (no result set)";
    }
}

// Every argument slot past a call's arguments reads 0, whatever the stack
// held where the record lies.
TEST_F(NativeLayerTest, SlotsPastTheArgumentsAreClear) {
    struct Case {
        std::uint32_t hash;
        std::uint32_t args;
        std::function<void()> call;
    } cases[] = {
        {hash::GET_PLAYER_ID, 0, [] { GET_PLAYER_ID(); }},
        {hash::SET_TEXT_SCALE, 2, [] { SET_TEXT_SCALE(0.22f, 0.22f); }},
        {hash::SET_TEXT_DROPSHADOW, 5, [] { SET_TEXT_DROPSHADOW(0.3f, 0.22f); }},
    };
    for (const Case& c : cases) {
        std::vector<void*> slots;
        std::uint32_t count = 99;
        scripthook::registerNative(c.hash, "native", [&](scripthook::NativeCall& call) {
            count = call.argCount();
            for (int i = 0; i < kNativeArgSlots; ++i) slots.push_back(call.pointerArg(i));
        });
        dirtyTheStack();
        c.call();
        EXPECT_EQ(count, c.args);
        ASSERT_EQ(slots.size(), static_cast<std::size_t>(kNativeArgSlots));
        for (int i = static_cast<int>(c.args); i < kNativeArgSlots; ++i) EXPECT_EQ(slots[i], nullptr) << i;
    }
}

// The hook finds every native among many whose hashes share their low bits,
// a registration replaces the earlier one, and a cleared table has none.
TEST_F(NativeLayerTest, ManyNativesEachFoundReplacedAndCleared) {
    std::vector<std::uint32_t> hashes;
    for (std::uint32_t k = 0; k < 300; ++k) hashes.push_back(k % 3 == 0 ? k << 12 : k * 0x9E3779B9u + 7);
    std::vector<std::uint32_t> ran;
    for (std::uint32_t h : hashes)
        scripthook::registerNative(h, "n", [&ran, h](scripthook::NativeCall&) { ran.push_back(h); });
    scripthook::registerNative(hashes[30], "again", [&ran](scripthook::NativeCall&) { ran.push_back(1); });
    for (std::uint32_t h : hashes) {
        NativeContext ctx{};
        NativeInvoke::SpeedyInvoke(&ctx, h);
    }
    ASSERT_EQ(ran.size(), hashes.size());
    for (std::size_t i = 0; i < hashes.size(); ++i) EXPECT_EQ(ran[i], i == 30 ? 1u : hashes[i]) << i;
    EXPECT_FALSE(scripthook::hasNative(12345u << 12 | 1));
    scripthook::clearNatives();
    for (std::uint32_t h : {hashes[0], hashes[1], hashes[299]}) EXPECT_FALSE(scripthook::hasNative(h));
}

TEST(FormatText, BoundedAndCutAtCapacity) {
    char small[70];
    std::memset(small, 'x', sizeof small);
    std::string longText(500, 'a');
    FormatText70(small, "%s", longText.c_str());
    EXPECT_EQ(std::strlen(small), 69u);

    char mid[1000];
    FormatText1000(mid, "%i", 206000);
    EXPECT_STREQ(mid, "206000");
    std::string huge(5000, 'b');
    FormatText1000(mid, "%s", huge.c_str());
    EXPECT_EQ(std::strlen(mid), 999u);

    char big[1024];
    FormatText1024(big, "open %s alias Song", huge.c_str());
    EXPECT_EQ(std::strlen(big), 1023u);
    EXPECT_EQ(std::string(big, 5), "open ");
    FormatText70(small, "%02d", 5);
    EXPECT_STREQ(small, "05");
}
