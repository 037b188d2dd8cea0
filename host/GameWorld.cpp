#include "host/GameWorld.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace kestro::host {

void assignBoundedText(std::string& out, const char* text, std::size_t limit) {
    if (text == nullptr)
        out.clear();
    else
        out.assign(text, strnlen(text, limit));
}

std::string boundedText(const char* text, std::size_t limit) {
    std::string out;
    assignBoundedText(out, text, limit);
    return out;
}

GameWorld::GameWorld(std::uint64_t seed, std::uint32_t tickMs)
    : tickMs_(tickMs == 0 ? 1 : tickMs), rng_(seed) {}

void GameWorld::beginTick() {
    gameTime_ += tickMs_;
    ++tick_;
    inTick_ = true;
    if (cutsceneRunning_ && cutsceneFirstTick_ == tick_) cutsceneFirstTime_ = gameTime_;
    frame_.clear();
    pending_ = DrawnText{};
    if (message_ && currentMessage() == nullptr) message_.reset();
}

void GameWorld::endTick() {
    inTick_ = false;
    const bool fadeOver = gameTime_ - fadeStart_ >= fadeMs_;
    if (menu_ == Menu::Opening && fadeOver) {
        menu_ = Menu::Open;
    } else if (menu_ == Menu::Closing && fadeOver) {
        menu_ = Menu::Closed;
        fading_ = false;
    }
}

bool GameWorld::openMenu(std::uint32_t fadeMs) {
    if (menu_ == Menu::Opening || menu_ == Menu::Open) return false;
    menu_ = Menu::Opening;
    fading_ = true;
    fadeStart_ = gameTime_;
    fadeMs_ = fadeMs;
    return true;
}

bool GameWorld::closeMenu(std::uint32_t fadeMs) {
    if (menu_ == Menu::Closing || menu_ == Menu::Closed) return false;
    menu_ = Menu::Closing;
    fading_ = true;
    fadeStart_ = gameTime_;
    fadeMs_ = fadeMs;
    return true;
}

void GameWorld::enterVehicle(std::int32_t handle) {
    inVehicle_ = true;
    vehicle_ = handle;
}

void GameWorld::leaveVehicle() {
    inVehicle_ = false;
    vehicle_ = 0;
}

void GameWorld::startCutscene() {
    cutsceneRunning_ = true;
    cutsceneFirstTick_ = tick_ + 1;
    cutsceneFirstTime_ = 0;
}

void GameWorld::endCutscene() { cutsceneRunning_ = false; }

std::int32_t GameWorld::cutsceneTime() const {
    if (!cutsceneRunning_ || tick_ < cutsceneFirstTick_) return 0;
    if (tick_ == cutsceneFirstTick_) return 1;
    // Grows with the game timer from the first tick on; capped so that a
    // very long cutscene never wraps back to 1 or below.
    std::uint32_t since = gameTime_ - cutsceneFirstTime_;
    if (since > 0x7FFFFFF0u) since = 0x7FFFFFF0u;
    return static_cast<std::int32_t>(since) + 1;
}

std::string GameWorld::stationName(int station) {
    if (station < 0 || station >= kStationCount) return "OFF";
    char name[16];
    std::snprintf(name, sizeof name, "RADIO_%02d", station + 1);
    return name;
}

bool GameWorld::retuneTo(const char* name) {
    std::string n = boundedText(name, 64);
    if (n == "OFF") {
        radio_.station = kRadioOff;
        return true;
    }
    for (int s = 0; s < kStationCount; ++s) {
        if (n == stationName(s)) {
            radio_.station = s;
            return true;
        }
    }
    return false;
}

void GameWorld::retuneUp() {
    // From off, the radio comes on at the first station.
    radio_.station = radio_.station < 0 ? 0 : (radio_.station + 1) % kStationCount;
}

std::int32_t GameWorld::timerA(const void* thread) {
    auto it = timerABase_.find(thread);
    if (it == timerABase_.end()) it = timerABase_.emplace(thread, gameTime_).first;
    return static_cast<std::int32_t>(gameTime_ - it->second);
}

void GameWorld::setTimerA(const void* thread, std::int32_t value) {
    timerABase_[thread] = gameTime_ - static_cast<std::uint32_t>(value);
}

// splitmix64: small, seedable and the same on every platform, so a seed
// gives the same draws everywhere.
std::uint32_t GameWorld::nextRandom32() {
    std::uint64_t z = (rng_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return static_cast<std::uint32_t>(z >> 32);
}

std::int32_t GameWorld::randomInRange(std::int32_t lower, std::int32_t upper) {
    std::optional<QueuedRandom> queued;
    if (!queued_.empty()) {
        queued = queued_.front();
        queued_.pop_front();
    }
    if (queued && (queued->anyRange || (queued->value >= lower && queued->value <= upper))) return queued->value;
    if (upper < lower) return lower;
    // span in 1 .. 2^32; reject the top end so every value is equally likely.
    const std::uint64_t span = static_cast<std::uint64_t>(static_cast<std::int64_t>(upper) - lower) + 1;
    const std::uint64_t range = std::uint64_t{1} << 32;
    const std::uint64_t limit = range - range % span;
    std::uint64_t r;
    do {
        r = nextRandom32();
    } while (r >= limit);
    return static_cast<std::int32_t>(static_cast<std::int64_t>(lower) + static_cast<std::int64_t>(r % span));
}

void GameWorld::setTextScale(float x, float y) {
    pending_.hasScale = true;
    pending_.scaleX = x;
    pending_.scaleY = y;
}

void GameWorld::setTextDropShadow(float a, float b, bool f1, bool f2, bool f3) {
    pending_.hasShadow = true;
    pending_.shadowA = a;
    pending_.shadowB = b;
    pending_.shadowFlags[0] = f1;
    pending_.shadowFlags[1] = f2;
    pending_.shadowFlags[2] = f3;
}

const DrawnText* GameWorld::displayText(float x, float y, const char* text) {
    if (frame_.size() >= kMaxFrameTexts) {
        pending_ = DrawnText{};
        return nullptr;
    }
    // Made in place, without temporary texts: the panel draws fifteen of
    // these a tick.
    DrawnText& item = frame_.emplace_back(pending_);
    pending_ = DrawnText{};
    item.x = x;
    item.y = y;
    assignBoundedText(item.text, text);
    return &item;
}

void GameWorld::showMessage(const char* text, std::int32_t durationMs) {
    message_ = ShownMessage{boundedText(text), gameTime_, durationMs};
}

const ShownMessage* GameWorld::currentMessage() const {
    if (!message_ || message_->durationMs <= 0) return nullptr;
    const std::uint64_t end = std::uint64_t{message_->shownAt} + static_cast<std::uint64_t>(message_->durationMs);
    return gameTime_ < end ? &*message_ : nullptr;
}

std::vector<std::string> screenRows(const GameWorld& world) {
    // Columns per screen width: the panel's label and value columns (0.12
    // apart) come out 16 columns apart, room for its longest label.
    constexpr double kColumns = 140.0;
    std::vector<const DrawnText*> texts;
    for (const DrawnText& d : world.frameTexts()) texts.push_back(&d);
    std::stable_sort(texts.begin(), texts.end(), [](const DrawnText* a, const DrawnText* b) {
        if (std::lround(a->y * 1000) != std::lround(b->y * 1000)) return a->y < b->y;
        return a->x < b->x;
    });
    std::vector<std::string> rows;
    std::string row;
    long rowY = -1;
    double rowX = 0;
    for (const DrawnText* d : texts) {
        const long y = std::lround(d->y * 1000);
        if (y != rowY) {
            if (!row.empty()) rows.push_back(row);
            row.clear();
            rowY = y;
            rowX = d->x;
        }
        const std::size_t column = static_cast<std::size_t>(std::max(0.0, (d->x - rowX) * kColumns));
        if (!row.empty()) row += ' ';
        if (row.size() < column) row.resize(column, ' ');
        row += boundedText(d->text.c_str(), 256);
    }
    if (!row.empty()) rows.push_back(row);
    if (const ShownMessage* m = world.currentMessage()) rows.push_back("message: " + m->text);
    return rows;
}

}  // namespace kestro::host
