// The simulated game behind the natives, exercised through the real native
// dispatch of the script hook: every call below goes through
// NativeInvoke::SpeedyInvoke with a context built the way the plug-in
// builds it.
#include <gtest/gtest.h>

#include "TestUtil.h"

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "host/GameWorld.h"
#include "host/Host.h"
#include "host/GameKeyboard.h"
#include "host/NativeHandlers.h"
#include "host/Transcript.h"
#include "platform/system/Keyboard.h"
#include "scripthook/HookHost.h"
#include "scripthook/ScriptHook.h"

using kestro::testing::hostOptions;

namespace {

using kestro::NativeContext;
using kestro::NativeSlot;
using kestro::host::GameWorld;
using kestro::host::Host;
using kestro::host::HostOptions;

std::uint32_t H(const char* name) { return scripthook::nativeHash(name); }

// One native call: arguments encoded into pointer-wide slots as the
// plug-in's call layer does, then dispatched by hash.
class Call {
public:
    Call() { std::memset(&ctx_, 0, sizeof ctx_); }

    Call& i(std::int32_t v) { return slot(static_cast<std::uint32_t>(v)); }
    Call& f(float v) {
        std::uint32_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        return slot(bits);
    }
    Call& b(bool v) {
        unsigned char* p = ctx_.argArea + n_ * sizeof(NativeSlot);
        std::memset(p, 0, sizeof(NativeSlot));
        p[0] = v ? 1 : 0;
        ++n_;
        return *this;
    }
    Call& p(const void* ptr) { return slot(reinterpret_cast<NativeSlot>(ptr)); }

    Call& run(const char* name) { return run(H(name)); }
    Call& run(std::uint32_t hash) {
        ctx_.resultPtr = ctx_.argArea;
        ctx_.argPtr = ctx_.argArea;
        ctx_.argCount = static_cast<std::uint32_t>(n_);
        NativeInvoke::SpeedyInvoke(&ctx_, hash);
        return *this;
    }
    std::int32_t result() const {
        std::int32_t v;
        std::memcpy(&v, ctx_.argArea, sizeof v);
        return v;
    }
    bool boolResult() const { return ctx_.argArea[0] != 0; }
    NativeContext& context() { return ctx_; }

private:
    Call& slot(NativeSlot v) {
        std::memcpy(ctx_.argArea + n_ * sizeof(NativeSlot), &v, sizeof v);
        ++n_;
        return *this;
    }
    NativeContext ctx_;
    int n_ = 0;
};

std::int32_t intNative(const char* name) { return Call().run(name).result(); }
bool boolNative(const char* name) { return Call().run(name).boolResult(); }
std::uint32_t gameTimer() {
    std::uint32_t t = 0xDEADBEEF;
    Call().p(&t).run("GET_GAME_TIMER");
    return t;
}

// A Host (natives, keyboard, transcript) whose transcript lines are kept.
class GameWorldTest : public ::testing::Test {
protected:
    explicit GameWorldTest(HostOptions options = {}) : host_(options) {
        host_.transcript().setLineSink([this](const std::string& l) { lines_.push_back(l); });
    }
    GameWorld& world() { return host_.world(); }
    std::vector<std::string> linesOf(const std::string& kind) const {
        std::vector<std::string> out;
        for (const auto& l : lines_) {
            // "<time> <tick> <kind>..."
            std::size_t a = l.find(' '), b = l.find(' ', a + 1);
            std::size_t e = l.find(' ', b + 1);
            if (l.substr(b + 1, e == std::string::npos ? std::string::npos : e - b - 1) == kind) out.push_back(l);
        }
        return out;
    }
    Host host_;
    std::vector<std::string> lines_;
};

// ---------------------------------------------------------------------------

TEST(GameWorldNatives, EveryNativeIsRegisteredUnderTheHashOfItsName) {
    Host host;
    std::set<std::uint32_t> hashes;
    for (const auto& n : kestro::host::gameNatives()) {
        EXPECT_EQ(scripthook::nativeHash(n.name), n.hash) << n.name;
        EXPECT_TRUE(scripthook::hasNative(n.hash)) << n.name;
        hashes.insert(n.hash);
    }
    EXPECT_EQ(hashes.size(), 24u);
}

TEST_F(GameWorldTest, PlayerCharacterAndVehicle) {
    world().beginTick();
    std::int32_t player = intNative("GET_PLAYER_ID");
    std::int32_t ch = -7;
    Call().i(player).p(&ch).run("GET_PLAYER_CHAR");
    EXPECT_NE(ch, 0);
    EXPECT_EQ(ch, world().playerChar());

    // Starts on foot.
    EXPECT_TRUE(Call().i(ch).run("IS_CHAR_ON_FOOT").boolResult());
    EXPECT_FALSE(Call().i(ch).run("IS_CHAR_IN_ANY_CAR").boolResult());
    std::int32_t car = -7;
    Call().i(ch).p(&car).run("GET_CAR_CHAR_IS_USING");
    EXPECT_EQ(car, 0);

    world().enterVehicle(42);
    EXPECT_FALSE(Call().i(ch).run("IS_CHAR_ON_FOOT").boolResult());
    EXPECT_TRUE(Call().i(ch).run("IS_CHAR_IN_ANY_CAR").boolResult());
    Call().i(ch).p(&car).run("GET_CAR_CHAR_IS_USING");
    EXPECT_EQ(car, 42);
    world().enterVehicle(-5);  // another vehicle, without getting out
    Call().i(ch).p(&car).run("GET_CAR_CHAR_IS_USING");
    EXPECT_EQ(car, -5);

    // Another character is nobody the world knows: never on foot or in a car.
    EXPECT_FALSE(Call().i(ch + 1).run("IS_CHAR_IN_ANY_CAR").boolResult());
    EXPECT_FALSE(Call().i(ch + 1).run("IS_CHAR_ON_FOOT").boolResult());
    std::int32_t other = -7;
    Call().i(player + 1).p(&other).run("GET_PLAYER_CHAR");
    EXPECT_EQ(other, 0);

    world().leaveVehicle();
    EXPECT_TRUE(Call().i(ch).run("IS_CHAR_ON_FOOT").boolResult());
    Call().i(ch).p(&car).run("GET_CAR_CHAR_IS_USING");
    EXPECT_EQ(car, 0);
}

TEST_F(GameWorldTest, ControlAndFrontEndFading) {
    std::int32_t player = intNative("GET_PLAYER_ID");
    EXPECT_TRUE(Call().i(player).run("IS_PLAYER_CONTROL_ON").boolResult());
    world().setControl(false);
    EXPECT_FALSE(Call().i(player).run("IS_PLAYER_CONTROL_ON").boolResult());
    world().setControl(true);
    EXPECT_FALSE(Call().i(player + 1).run("IS_PLAYER_CONTROL_ON").boolResult());

    EXPECT_FALSE(boolNative("IS_FRONTEND_FADING"));
    world().setFading(true);
    EXPECT_TRUE(boolNative("IS_FRONTEND_FADING"));
    world().setFading(false);
    EXPECT_FALSE(boolNative("IS_FRONTEND_FADING"));
}

TEST(GameWorldTimer, GameTimerMovesOnlyAtTickStartByTheTickLength) {
    Host host(hostOptions(7, 50, false));
    EXPECT_EQ(gameTimer(), 0u);
    host.tick();
    EXPECT_EQ(gameTimer(), 50u);
    EXPECT_EQ(gameTimer(), 50u);  // still the same tick
    for (int i = 0; i < 9; ++i) host.tick();
    EXPECT_EQ(gameTimer(), 500u);
    EXPECT_EQ(host.world().tickNumber(), 10u);
}

// Two script threads that each read timer A every tick; one of them resets
// its timer on a chosen tick.
class TimerThread : public NativeThread {
public:
    explicit TimerThread(int resetOnTick) : resetOnTick_(resetOnTick) {}
    void ScriptBody() override {
        ++ticks_;
        if (ticks_ == resetOnTick_) Call().i(0).run("SETTIMERA");
        readings.push_back(Call().run("TIMERA").result());
    }
    std::vector<std::int32_t> readings;

private:
    int resetOnTick_;
    int ticks_ = 0;
};

TEST(GameWorldTimer, TimerAIsKeptPerThread) {
    Host host;
    TimerThread a(3), b(-1);
    ScriptHookManager::RegisterThread(&a);
    for (int i = 0; i < 2; ++i) host.tick();
    ScriptHookManager::RegisterThread(&b);  // starts later: its timer starts at 0 then
    for (int i = 0; i < 3; ++i) host.tick();
    EXPECT_EQ(a.readings, (std::vector<std::int32_t>{20, 40, 0, 20, 40}));
    EXPECT_EQ(b.readings, (std::vector<std::int32_t>{20, 40, 60}));
    // Set to a value other than 0, timer A counts on from it.
    host.world().setTimerA(&a, 1000);
    host.tick();
    EXPECT_EQ(a.readings.back(), 1020);
    EXPECT_EQ(b.readings.back(), 80);
}

TEST(GameWorldTimer, SetTimerAThroughTheNativeTakesItsArgument) {
    Host host;
    host.tick();
    Call().i(-100).run("SETTIMERA");  // outside any thread: its own timer
    EXPECT_EQ(intNative("TIMERA"), -100);
    host.tick();
    EXPECT_EQ(intNative("TIMERA"), -80);
}

TEST_F(GameWorldTest, CutsceneTimeIsOneOnItsFirstTickAndGrowsAfter) {
    world().beginTick();
    EXPECT_EQ(intNative("GET_CUTSCENE_TIME"), 0);
    EXPECT_TRUE(boolNative("HAS_CUTSCENE_FINISHED"));  // none is running
    world().endTick();

    world().startCutscene();
    EXPECT_FALSE(boolNative("HAS_CUTSCENE_FINISHED"));
    world().beginTick();
    EXPECT_EQ(intNative("GET_CUTSCENE_TIME"), 1);
    EXPECT_EQ(intNative("GET_CUTSCENE_TIME"), 1);  // the whole first tick
    world().endTick();
    std::int32_t last = 1;
    for (int i = 0; i < 5; ++i) {
        world().beginTick();
        std::int32_t t = intNative("GET_CUTSCENE_TIME");
        EXPECT_GT(t, last);
        last = t;
        EXPECT_FALSE(boolNative("HAS_CUTSCENE_FINISHED"));
        world().endTick();
    }
    world().endCutscene();
    EXPECT_TRUE(boolNative("HAS_CUTSCENE_FINISHED"));
    world().beginTick();
    EXPECT_EQ(intNative("GET_CUTSCENE_TIME"), 0);

    // A second cutscene gives 1 again on its own first tick.
    world().startCutscene();
    world().beginTick();
    EXPECT_EQ(intNative("GET_CUTSCENE_TIME"), 1);
}

TEST_F(GameWorldTest, RadioRetuningLastsExactlyTheNextTick) {
    world().retuneNextTick();
    EXPECT_FALSE(boolNative("IS_RADIO_RETUNING"));  // not before that tick
    world().beginTick();
    EXPECT_TRUE(boolNative("IS_RADIO_RETUNING"));
    EXPECT_TRUE(boolNative("IS_RADIO_RETUNING"));
    world().endTick();
    world().beginTick();
    EXPECT_FALSE(boolNative("IS_RADIO_RETUNING"));
}

TEST_F(GameWorldTest, RadioNativesChangeTheRadioAndAreTranscribed) {
    const auto& r = world().radio();
    EXPECT_TRUE(r.frontendEnabled);
    EXPECT_NE(r.station, GameWorld::kRadioOff);

    Call().run("DISABLE_FRONTEND_RADIO");
    EXPECT_FALSE(r.frontendEnabled);
    Call().b(true).run("SET_MOBILE_PHONE_RADIO_STATE");
    EXPECT_TRUE(r.mobilePhoneRadio);
    Call().b(false).run("SET_MOBILE_RADIO_ENABLED_DURING_GAMEPLAY");
    EXPECT_FALSE(r.mobileRadioDuringGameplay);
    Call().p("OFF").run("RETUNE_RADIO_TO_STATION_NAME");
    EXPECT_EQ(r.station, GameWorld::kRadioOff);
    Call().run("RETUNE_RADIO_UP");
    EXPECT_EQ(r.station, 0);  // from off to the first station
    Call().run("RETUNE_RADIO_UP");
    EXPECT_EQ(r.station, 1);
    Call().p("NO_SUCH_STATION").run("RETUNE_RADIO_TO_STATION_NAME");
    EXPECT_EQ(r.station, 1);
    Call().run("ENABLE_FRONTEND_RADIO");
    EXPECT_TRUE(r.frontendEnabled);

    auto radio = linesOf("radio");
    ASSERT_EQ(radio.size(), 8u);
    EXPECT_EQ(radio[0], "0 0 radio DISABLE_FRONTEND_RADIO - station=RADIO_01 frontend=off phone=off gameplay=off");
    EXPECT_EQ(radio[1], "0 0 radio SET_MOBILE_PHONE_RADIO_STATE true station=RADIO_01 frontend=off phone=on gameplay=off");
    EXPECT_EQ(radio[3], "0 0 radio RETUNE_RADIO_TO_STATION_NAME OFF station=OFF frontend=off phone=on gameplay=off");
    EXPECT_EQ(radio[5].substr(0, 27), "0 0 radio RETUNE_RADIO_UP -");
    EXPECT_NE(radio[6].find("NO_SUCH_STATION station=RADIO_02"), std::string::npos);
}

// ---- random numbers -------------------------------------------------------

TEST(GameWorldRandom, RangeIncludesBothBounds) {
    GameWorld w(123);
    std::set<std::int32_t> seen;
    for (int i = 0; i < 400; ++i) {
        std::int32_t v = w.randomInRange(0, 3);
        ASSERT_GE(v, 0);
        ASSERT_LE(v, 3);
        seen.insert(v);
    }
    EXPECT_EQ(seen.size(), 4u);
    EXPECT_EQ(w.randomInRange(5, 5), 5);
    EXPECT_EQ(w.randomInRange(-3, -3), -3);
    for (int i = 0; i < 100; ++i) {
        std::int32_t v = w.randomInRange(-2, 1);
        ASSERT_GE(v, -2);
        ASSERT_LE(v, 1);
    }
    // The whole 32-bit range and an empty one do not fail.
    (void)w.randomInRange(INT32_MIN, INT32_MAX);
    EXPECT_EQ(w.randomInRange(4, 3), 4);
}

TEST(GameWorldRandom, SameSeedSameDrawsOtherSeedOtherDraws) {
    GameWorld a(99), b(99), c(100);
    std::vector<std::int32_t> da, db, dc;
    for (int i = 0; i < 32; ++i) {
        da.push_back(a.randomInRange(0, 9999));
        db.push_back(b.randomInRange(0, 9999));
        dc.push_back(c.randomInRange(0, 9999));
    }
    EXPECT_EQ(da, db);
    EXPECT_NE(da, dc);
}

TEST(GameWorldRandom, ForcedDrawIsUsedOnceAndOnlyWhenInRange) {
    GameWorld w(5), ref(5);
    w.forceNextRandom(9);
    EXPECT_EQ(w.randomInRange(0, 9), 9);  // the upper bound itself
    EXPECT_FALSE(w.forcedRandom().has_value());
    // The forced draw did not consume the generator.
    EXPECT_EQ(w.randomInRange(0, 1000), ref.randomInRange(0, 1000));

    w.forceNextRandom(50);
    std::int32_t v = w.randomInRange(0, 9);  // out of range: an ordinary draw
    EXPECT_EQ(v, ref.randomInRange(0, 9));
    EXPECT_FALSE(w.forcedRandom().has_value());

    // Forced values queue up in order, one per draw; one forced whatever the
    // range is taken as it is, even for an inverted range.
    for (auto [value, anyRange] : {std::pair{3, false}, {-7, true}, {4, false}, {12, true}})
        w.forceNextRandom(value, anyRange);
    for (auto [lower, upper, drawn] : {std::tuple{0, 9, 3}, {0, 9, -7}, {0, 9, 4}, {5, 1, 12}})
        EXPECT_EQ(w.randomInRange(lower, upper), drawn);
    EXPECT_EQ(w.randomInRange(0, 1000), ref.randomInRange(0, 1000));
}

TEST_F(GameWorldTest, RandomNativeWritesItsOutValueAndIsTranscribed) {
    world().forceNextRandom(7);
    std::int32_t out = -1;
    Call().i(0).i(7).p(&out).run("GENERATE_RANDOM_INT_IN_RANGE");
    EXPECT_EQ(out, 7);
    ASSERT_EQ(linesOf("random").size(), 1u);
    EXPECT_EQ(linesOf("random")[0], "0 0 random 0 7 7");
    for (int i = 0; i < 50; ++i) {
        Call().i(0).i(2).p(&out).run("GENERATE_RANDOM_INT_IN_RANGE");
        ASSERT_GE(out, 0);
        ASSERT_LE(out, 2);
    }
}

// ---- keyboard -------------------------------------------------------------

TEST(HostKeyboard, PressSetsBitZeroUntilQueriedAndHoldsForOneTick) {
    kestro::host::GameKeyboard k;
    k.press('X');
    EXPECT_EQ(k.query('X'), static_cast<std::int16_t>(0x8001));
    EXPECT_EQ(k.query('X'), static_cast<std::int16_t>(0x8000));  // bit 0 consumed, still down
    k.endTick();
    EXPECT_EQ(k.query('X'), 0);

    // A press nobody queried during its tick stays pending after the key is up.
    k.press('R');
    k.endTick();
    EXPECT_EQ(k.peek('R'), 0x0001);
    EXPECT_EQ(k.query('R'), 0x0001);
    EXPECT_EQ(k.query('R'), 0);
}

TEST(HostKeyboard, HoldKeepsBitFifteenUntilRelease) {
    kestro::host::GameKeyboard k;
    k.hold(0x79);
    EXPECT_EQ(k.query(0x79), static_cast<std::int16_t>(0x8001));
    k.hold(0x79);  // already down: no new press
    k.endTick();
    k.endTick();
    EXPECT_EQ(k.query(0x79), static_cast<std::int16_t>(0x8000));
    // A short press of a held key is a new press and does not let it go.
    k.press(0x79);
    k.endTick();
    EXPECT_EQ(k.query(0x79), static_cast<std::int16_t>(0x8001));
    k.release(0x79);
    EXPECT_EQ(k.query(0x79), 0);
    EXPECT_FALSE(k.held(0x79));
}

TEST(HostKeyboard, CodesOutsideTheKeyRangeAreNeverPressed) {
    kestro::host::GameKeyboard k;
    for (int vk : {-1, 256, 100000, INT32_MIN}) {
        k.press(vk);
        k.hold(vk);
        EXPECT_EQ(k.query(vk), 0);
    }
    k.press(255);
    EXPECT_EQ(k.query(255), static_cast<std::int16_t>(0x8001));
}

TEST_F(GameWorldTest, PluginKeyQueriesReachTheHostKeyboard) {
    host_.keyboard().press(0x58);
    EXPECT_EQ(kestro::platform::GetAsyncKeyState(0x58), static_cast<std::int16_t>(0x8001));
    EXPECT_EQ(kestro::platform::GetAsyncKeyState(0x58), static_cast<std::int16_t>(0x8000));
    EXPECT_EQ(kestro::platform::GetAsyncKeyState(0x59), 0);
    EXPECT_EQ(kestro::platform::GetAsyncKeyState(-3), 0);
    auto keys = linesOf("key");
    ASSERT_EQ(keys.size(), 2u);  // only answers with a bit set are transcribed
    EXPECT_EQ(keys[0], "0 0 key X 0x8001");
    EXPECT_EQ(keys[1], "0 0 key X 0x8000");
}

TEST(HostKeyboard, WithoutAHostNothingIsPressed) {
    { Host host; host.keyboard().hold('A'); }
    EXPECT_EQ(kestro::platform::GetAsyncKeyState('A'), 0);
}

// ---- text and messages ----------------------------------------------------

TEST_F(GameWorldTest, StyleAppliesToTheNextTextOnlyAndFramesStartEmpty) {
    world().beginTick();
    Call().f(0.22f).f(0.25f).run("SET_TEXT_SCALE");
    Call().f(0.3f).f(0.22f).b(false).b(false).b(true).run("SET_TEXT_DROPSHADOW");
    Call().f(0.63f).f(0.04f).p("STRING").p("Time Played:").run("DISPLAY_TEXT_WITH_LITERAL_STRING");
    Call().f(0.75f).f(0.04f).p("STRING").p("00:01:02").run("DISPLAY_TEXT_WITH_LITERAL_STRING");

    const auto& frame = world().frameTexts();
    ASSERT_EQ(frame.size(), 2u);
    EXPECT_EQ(frame[0].text, "Time Played:");
    EXPECT_FLOAT_EQ(frame[0].x, 0.63f);
    EXPECT_FLOAT_EQ(frame[0].y, 0.04f);
    EXPECT_TRUE(frame[0].hasScale);
    EXPECT_FLOAT_EQ(frame[0].scaleX, 0.22f);
    EXPECT_FLOAT_EQ(frame[0].scaleY, 0.25f);
    EXPECT_TRUE(frame[0].hasShadow);
    EXPECT_FLOAT_EQ(frame[0].shadowA, 0.3f);
    EXPECT_FALSE(frame[0].shadowFlags[0]);
    EXPECT_TRUE(frame[0].shadowFlags[2]);
    EXPECT_FALSE(frame[1].hasScale);
    EXPECT_FALSE(frame[1].hasShadow);
    EXPECT_EQ(frame[1].text, "00:01:02");
    // Not traced without --trace-draw.
    EXPECT_TRUE(linesOf("draw").empty());

    world().endTick();
    world().beginTick();
    EXPECT_TRUE(world().frameTexts().empty());
}

class GameWorldTraceTest : public GameWorldTest {
protected:
    GameWorldTraceTest() : GameWorldTest(hostOptions(1, 20, true)) {}
};

TEST_F(GameWorldTraceTest, DrawnTextIsTracedWithPositionScaleAndShadow) {
    host_.tick();
    Call().f(0.22f).f(0.22f).run("SET_TEXT_SCALE");
    Call().f(0.3f).f(0.22f).b(false).b(false).b(true).run("SET_TEXT_DROPSHADOW");
    Call().f(0.63f).f(0.1f).p("STRING").p("Album:").run("DISPLAY_TEXT_WITH_LITERAL_STRING");
    Call().f(0.75f).f(0.1f).p("STRING").p("two\nlines").run("DISPLAY_TEXT_WITH_LITERAL_STRING");
    Call().f(0.75f).f(0.12f).p("STRING").p(nullptr).run("DISPLAY_TEXT_WITH_LITERAL_STRING");
    auto draws = linesOf("draw");
    ASSERT_EQ(draws.size(), 3u);
    EXPECT_EQ(draws[0], "20 1 draw 0.63 0.1 scale=0.22,0.22 shadow=0.3,0.22,0,0,1 Album:");
    EXPECT_EQ(draws[1], "20 1 draw 0.75 0.1 scale=- shadow=- two lines");
    EXPECT_EQ(draws[2], "20 1 draw 0.75 0.12 scale=- shadow=-");
}

TEST_F(GameWorldTest, MessagesShowForTheirDurationAndTheNewestWins) {
    host_.tick();  // 20 ms
    Call().p("STRING").p("Url Enabled").i(5000).b(true).run("PRINT_STRING_WITH_LITERAL_STRING_NOW");
    ASSERT_NE(world().currentMessage(), nullptr);
    EXPECT_EQ(world().currentMessage()->text, "Url Enabled");
    ASSERT_EQ(linesOf("message").size(), 1u);
    EXPECT_EQ(linesOf("message")[0], "20 1 message 5000 Url Enabled");

    while (world().gameTime() < 5000) host_.tick();
    ASSERT_NE(world().currentMessage(), nullptr);  // 4980 ms shown so far
    host_.tick();                                   // 5020: shown at 20 for 5000
    EXPECT_EQ(world().gameTime(), 5020u);
    EXPECT_EQ(world().currentMessage(), nullptr);

    Call().p("STRING").p("first").i(5000).b(true).run("PRINT_STRING_WITH_LITERAL_STRING_NOW");
    Call().p("STRING").p("second").i(100).b(true).run("PRINT_STRING_WITH_LITERAL_STRING_NOW");
    ASSERT_NE(world().currentMessage(), nullptr);
    EXPECT_EQ(world().currentMessage()->text, "second");
    for (int i = 0; i < 5; ++i) host_.tick();
    EXPECT_EQ(world().currentMessage(), nullptr);  // the replaced one does not come back

    Call().p("STRING").p("never").i(0).b(true).run("PRINT_STRING_WITH_LITERAL_STRING_NOW");
    EXPECT_EQ(world().currentMessage(), nullptr);
    Call().p("STRING").p("never").i(-5).b(true).run("PRINT_STRING_WITH_LITERAL_STRING_NOW");
    EXPECT_EQ(world().currentMessage(), nullptr);
}

TEST_F(GameWorldTest, FramesKeepAtMostTheirCapacity) {
    world().beginTick();
    for (std::size_t i = 0; i < GameWorld::kMaxFrameTexts + 10; ++i)
        Call().f(0).f(0).p("STRING").p("x").run("DISPLAY_TEXT_WITH_LITERAL_STRING");
    EXPECT_EQ(world().frameTexts().size(), GameWorld::kMaxFrameTexts);
}

// ---- dispatch edge cases --------------------------------------------------

TEST_F(GameWorldTest, UnknownHashIsLoggedOnceAndClearsOnlyTheResultSlot) {
    Call c;
    std::memset(&c.context(), 0x5A, sizeof(NativeContext));
    NativeContext before = c.context();
    NativeInvoke::SpeedyInvoke(&c.context(), 0x12345678);
    // No native ran: its result reads 0; everything else is as it was.
    NativeContext expected = before;
    std::memset(expected.argArea, 0, sizeof(NativeSlot));
    EXPECT_EQ(std::memcmp(&expected, &c.context(), sizeof expected), 0);
    NativeInvoke::SpeedyInvoke(&c.context(), 0x12345678);
    NativeInvoke::SpeedyInvoke(&c.context(), 0x12345679);
    auto logs = linesOf("log");
    ASSERT_EQ(logs.size(), 2u);
    EXPECT_NE(logs[0].find("12345678"), std::string::npos);
    EXPECT_NE(logs[1].find("12345679"), std::string::npos);
}

TEST_F(GameWorldTest, TooFewArgumentsIsReportedAndWritesNothing) {
    Call c;
    std::memset(c.context().argArea, 0x11, sizeof c.context().argArea);
    // GET_GAME_TIMER reads one slot (its out pointer); none given.
    c.run("GET_GAME_TIMER");
    for (unsigned char byte : c.context().argArea) ASSERT_EQ(byte, 0x11);
    ASSERT_EQ(linesOf("native-error").size(), 1u);
    EXPECT_EQ(linesOf("native-error")[0], "0 0 native-error GET_GAME_TIMER expects 1 arguments, got 0");
}

TEST_F(GameWorldTest, NullOutPointersAreNotWritten) {
    world().beginTick();
    Call().p(nullptr).run("GET_GAME_TIMER");
    Call().i(0).p(nullptr).run("GET_PLAYER_CHAR");
    Call().i(world().playerChar()).p(nullptr).run("GET_CAR_CHAR_IS_USING");
    Call().i(0).i(5).p(nullptr).run("GENERATE_RANDOM_INT_IN_RANGE");
    Call().p(nullptr).run("RETUNE_RADIO_TO_STATION_NAME");
    EXPECT_EQ(world().radio().station, 0);  // an empty name tunes nowhere
    EXPECT_TRUE(linesOf("native-error").empty());
}

}  // namespace

// ---------------------------------------------------------------------------
// The transcript's text rule

namespace {

using kestro::host::terminalText;

std::string terminal(std::string_view text, std::size_t capacity = 256) {
    char out[256];
    const std::size_t n = terminalText(text, out, capacity);
    EXPECT_EQ(n, std::strlen(out));
    return std::string(out, n);
}

}  // namespace

TEST(TranscriptText, ControlsAreWrittenAsEscapesAndTextPassesUnchanged) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain text, 1/2", "plain text, 1/2"},
        {"line\nbreak\r", "line break "},
        {"\033]0;pwned\007", "\\x1B]0;pwned\\x07"},
        {"\033[2J\tend\x7f", "\\x1B[2J\\x09end\\x7F"},
        {std::string("nul\0byte", 8), "nul\\x00byte"},
        {"C1 \xC2\x9B" "31m \xC2\x80 \xC2\x9F", "C1 \\x9B" "31m \\x80 \\x9F"},
        {"lone \x9B and \x85", "lone \\x9B and \\x85"},
        {"\xE0\x9B bad lead", "\xE0\\x9B bad lead"},             // E0 needs A0-BF after it
        {"\xA0\xFF stray", "\xA0\xFF stray"},                     // not controls: as they are
        {"\xC2\xA0 \xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xB5", "\xC2\xA0 \xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xB5"},
        {"C:\\Music\\x1B.mp3", "C:\\Music\\x1B.mp3"},          // a backslash stays
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(terminal(in), out) << in;
    // A cut never splits an escape or a character.
    EXPECT_EQ(terminal("ab\033", 6), "ab");
    EXPECT_EQ(terminal("ab\033", 7), "ab\\x1B");
    EXPECT_EQ(terminal("a\xE2\x82\xAC", 4), "a");
    EXPECT_EQ(terminal("abc", 1), "");
}
