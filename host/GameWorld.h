// The simulated game behind the natives: the player and the vehicle, the
// front end, cutscenes, the game radio, the clocks, the random generator,
// the text drawn in the current frame and the on-screen message.
//
// Time is virtual. The game timer starts at 0 and moves only when a tick
// begins: tick N (counting from 1) runs at game time N x tick length, and
// every native called during a tick sees that same time. Before the first
// tick the tick number is 0 and the time 0.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace kestro::host {

// One text item drawn by DISPLAY_TEXT_WITH_LITERAL_STRING, with the style
// that SET_TEXT_SCALE and SET_TEXT_DROPSHADOW set just before it.
struct DrawnText {
    float x = 0;
    float y = 0;
    bool hasScale = false;
    float scaleX = 0;
    float scaleY = 0;
    bool hasShadow = false;
    float shadowA = 0;
    float shadowB = 0;
    bool shadowFlags[3] = {false, false, false};
    std::string text;
};

struct ShownMessage {
    std::string text;
    std::uint32_t shownAt = 0;     // game time
    std::int32_t durationMs = 0;
};

// The game radio as the radio natives leave it.
struct RadioState {
    bool frontendEnabled = true;            // DISABLE_/ENABLE_FRONTEND_RADIO
    bool mobilePhoneRadio = false;          // SET_MOBILE_PHONE_RADIO_STATE
    bool mobileRadioDuringGameplay = false; // SET_MOBILE_RADIO_ENABLED_DURING_GAMEPLAY
    int station = 0;                        // kRadioOff, or 0..kStationCount-1
};

class GameWorld {
public:
    static constexpr std::int32_t kPlayerId = 0;
    static constexpr std::int32_t kPlayerChar = 1001;
    static constexpr int kRadioOff = -1;
    static constexpr int kStationCount = 8;
    // Texts drawn in one frame beyond this many are dropped.
    static constexpr std::size_t kMaxFrameTexts = 4096;

    explicit GameWorld(std::uint64_t seed = 1, std::uint32_t tickMs = 20);

    // ---- clock and ticks
    std::uint32_t tickMs() const { return tickMs_; }
    std::uint32_t gameTime() const { return gameTime_; }
    std::uint64_t tickNumber() const { return tick_; }
    bool inTick() const { return inTick_; }
    // Starts the next tick: the clock moves on by one tick length, the
    // previous frame's texts are cleared and an expired message goes away.
    void beginTick();
    // Ends the tick: one-tick states (radio retuning) are over.
    void endTick();

    // ---- the player
    std::int32_t playerId() const { return kPlayerId; }
    std::int32_t playerChar() const { return kPlayerChar; }
    void enterVehicle(std::int32_t handle);
    void leaveVehicle();
    bool inVehicle() const { return inVehicle_; }
    std::int32_t vehicle() const { return inVehicle_ ? vehicle_ : 0; }
    void setControl(bool on) { control_ = on; }
    bool control() const { return control_; }

    // ---- front end
    // The low-level switch of IS_FRONTEND_FADING; the pause menu below sets
    // it too.
    void setFading(bool on) { fading_ = on; }
    bool fading() const { return fading_; }

    // ---- the pause menu
    // Opening it fades the front end for `fadeMs` of game time (the ticks
    // that end at least that long after the opening), then the game stands
    // still: no ticks, no game time, every timer stopped. Closing it fades
    // the front end again for `fadeMs`, then the fading ends and the game
    // runs on. The fades change state in endTick. Opening a menu that is
    // opening or open, or closing one that is closing or closed, changes
    // nothing (false); closing during the opening fade, or opening during
    // the closing one, starts the other fade from now.
    enum class Menu { Closed, Opening, Open, Closing };
    bool openMenu(std::uint32_t fadeMs);
    bool closeMenu(std::uint32_t fadeMs);
    Menu menu() const { return menu_; }
    bool standsStill() const { return menu_ == Menu::Open; }

    // ---- cutscenes
    // A cutscene begins: on the next tick its time reads exactly 1, on later
    // ticks it grows with the game timer. Starting one while one runs starts
    // it over.
    void startCutscene();
    void endCutscene();
    bool cutsceneRunning() const { return cutsceneRunning_; }
    // 0 when no cutscene runs (or before its first tick).
    std::int32_t cutsceneTime() const;
    // True whenever no cutscene runs: before the first one and once one has
    // ended.
    bool cutsceneFinished() const { return !cutsceneRunning_; }

    // ---- the game radio
    // The player retunes the radio during the next tick.
    void retuneNextTick() { retuneTick_ = tick_ + 1; }
    bool radioRetuning() const { return retuneTick_ != 0 && retuneTick_ == tick_; }
    RadioState& radio() { return radio_; }
    const RadioState& radio() const { return radio_; }
    // Station names: "OFF" and "RADIO_01" to "RADIO_08".
    static std::string stationName(int station);
    // False (and no change) for a name that is no station.
    bool retuneTo(const char* name);
    void retuneUp();

    // ---- timer A, one per script thread (null: outside any thread)
    // Milliseconds since the thread's timer A was last set; a thread's timer
    // starts at 0 when the thread is first seen.
    std::int32_t timerA(const void* thread);
    void setTimerA(const void* thread, std::int32_t value);
    void forgetThread(const void* thread) { timerABase_.erase(thread); }

    // ---- random numbers
    // Uniform in [lower, upper], both included; `lower` when upper < lower.
    // Forced values wait in a queue, in the order they were forced, and the
    // draws take them up one each: a value forced with `anyRange` false is
    // the draw's result only if it lies in that draw's range (else the draw
    // is an ordinary one), with `anyRange` true whatever the range (as a
    // faulty game would answer).
    std::int32_t randomInRange(std::int32_t lower, std::int32_t upper);
    void forceNextRandom(std::int32_t value, bool anyRange = false) { queued_.push_back({value, anyRange}); }
    // The value the next draw will take up, if any.
    std::optional<std::int32_t> forcedRandom() const {
        return queued_.empty() ? std::nullopt : std::optional<std::int32_t>(queued_.front().value);
    }

    // ---- text drawing
    void setTextScale(float x, float y);
    void setTextDropShadow(float a, float b, bool f1, bool f2, bool f3);
    // Draws one text with the pending style, which it uses up. Returns null
    // when the frame is full.
    const DrawnText* displayText(float x, float y, const char* text);
    const std::vector<DrawnText>& frameTexts() const { return frame_; }

    // ---- on-screen messages
    // Shows the message now, replacing the one on screen.
    void showMessage(const char* text, std::int32_t durationMs);
    // The message on screen now: shown and its duration not yet over.
    const ShownMessage* currentMessage() const;

private:
    std::uint32_t nextRandom32();

    std::uint32_t tickMs_;
    std::uint32_t gameTime_ = 0;
    std::uint64_t tick_ = 0;
    bool inTick_ = false;

    bool inVehicle_ = false;
    std::int32_t vehicle_ = 0;
    bool control_ = true;
    bool fading_ = false;
    Menu menu_ = Menu::Closed;
    std::uint32_t fadeStart_ = 0;
    std::uint32_t fadeMs_ = 0;

    bool cutsceneRunning_ = false;
    std::uint64_t cutsceneFirstTick_ = 0;
    std::uint32_t cutsceneFirstTime_ = 0;

    std::uint64_t retuneTick_ = 0;
    RadioState radio_;

    std::unordered_map<const void*, std::uint32_t> timerABase_;

    std::uint64_t rng_;
    struct QueuedRandom {
        std::int32_t value;
        bool anyRange;
    };
    std::deque<QueuedRandom> queued_;

    DrawnText pending_;
    std::vector<DrawnText> frame_;
    std::optional<ShownMessage> message_;
};

// The screen of the last tick as text rows: the texts drawn, one row per y
// (top first), each row's texts left to right at columns proportional to
// their x; then the message on screen, if any, as "message: TEXT". Empty
// rows are left out.
std::vector<std::string> screenRows(const GameWorld& world);

// Copies a text the plug-in passed, reading at most `limit` bytes; null
// gives the empty text.
std::string boundedText(const char* text, std::size_t limit = 4096);
// The same into `out`, reusing its memory.
void assignBoundedText(std::string& out, const char* text, std::size_t limit = 4096);

}  // namespace kestro::host
