// The steps a back end's caller posts to its engine and the values the back
// end publishes after them: the one "post a step, publish, refresh" of both
// back ends (the song device and the stream player).
//
// The caller (the script thread) posts a step; the engine runs it on the
// back-end thread, which then publishes the back end's values with the
// step's serial. The back end also publishes after each event it handled.
// The caller takes the values only when they are new, include every step it
// posted, and the lock is free at once (Published.h): it never waits.
#pragma once

#include <cstdint>
#include <functional>
#include <utility>

#include "platform/audio/Published.h"
#include "platform/audio/mpv/MpvEngine.h"

namespace kestro::platform {

// Values: see Published (with `version` and `serial` fields).
template <class Values>
class MpvSteps {
public:
    // `fill(values)` writes the back end's values; it runs on the back-end
    // thread, under the publication's lock.
    explicit MpvSteps(std::function<void(Values&)> fill) : fill_(std::move(fill)) {}

    // --- the caller's thread ---

    // Posts `step` to `engine`; false when its queue is full.
    bool post(MpvEngine& engine, std::function<void()> step) {
        const std::uint64_t serial = posted_ + 1;
        if (!engine.post([this, serial, step = std::move(step)] {
                step();
                publishStep(serial);
            }))
            return false;
        posted_ = serial;
        return true;
    }
    // Runs `take(values)` when the back end published values that are new to
    // this caller and include every step posted; never waits.
    template <class Take>
    void refresh(Take&& take) {
        published_.takeIfNew(seenVersion_, posted_, [&](const Values& v) {
            take(v);
            seenVersion_ = v.version;
        });
    }
    // The caller changed its own copy: the next values that include every
    // step posted replace it even when they are not new.
    void forgetSeen() { seenVersion_ = 0; }
    std::uint64_t posted() const { return posted_; }
    // For the one command that may wait (Published::wait).
    template <class Step>
    void wait(Step&& step) {
        published_.wait(std::forward<Step>(step));
    }

    // --- the back-end thread ---

    // Publishes the values after an event.
    void publish() { publishStep(applied_); }

private:
    void publishStep(std::uint64_t serial) {
        applied_ = serial;
        published_.publish(serial, fill_);
    }

    std::function<void(Values&)> fill_;
    // The caller's (on a cache line of its own, away from the back end's).
    alignas(64) std::uint64_t posted_ = 0;
    std::uint64_t seenVersion_ = 0;
    Published<Values> published_;
    // The back end's: the last step applied.
    alignas(64) std::uint64_t applied_ = 0;
};

}  // namespace kestro::platform
