// Values a back end's thread hands over to its caller's thread (the script
// thread, whose ticks must never wait on a back end).
//
// The back end publishes its values after every step it applied, with the
// serial of the last step the caller posted that they include. The caller
// copies them only when they changed (one atomic load otherwise), only when
// they include every step it has posted (so a query after a command never
// sees the values from before it), and only when the lock is free at once:
// when the back end holds it, the caller keeps its last copy.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>

namespace kestro::platform {

// T holds the values, with `version` (counts the publications) and `serial`
// (the last posted step included) fields. On cache lines of its own, so that
// the back end's writes never move the caller's own fields between cores.
template <class T>
class alignas(64) Published {
public:
    // The back end's thread: `fill(values)` sets the values under the lock.
    template <class Fill>
    void publish(std::uint64_t serial, Fill&& fill) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            values_.version = ++versions_;
            values_.serial = serial;
            fill(values_);
            version_.store(values_.version, std::memory_order_release);
        }
        changed_.notify_all();
    }

    // The caller's thread, never waiting: `take(values)` runs when the
    // values are newer than `seenVersion`, include step `posted` and the
    // lock is free now.
    template <class Take>
    void takeIfNew(std::uint64_t seenVersion, std::uint64_t posted, Take&& take) {
        if (version_.load(std::memory_order_acquire) == seenVersion) return;
        std::unique_lock<std::mutex> guard(lock_, std::try_to_lock);
        if (guard.owns_lock() && values_.serial >= posted) take(values_);
    }

    // The caller's thread, for the one command that may wait: `step(values)`
    // runs now and after each publication; it returns the time to wait
    // until, or nothing to stop waiting.
    template <class Step>
    void wait(Step&& step) {
        std::unique_lock<std::mutex> guard(lock_);
        while (const std::optional<std::chrono::steady_clock::time_point> until = step(values_))
            changed_.wait_until(guard, *until);
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    T values_;
    std::atomic<std::uint64_t> version_{0};  // values_.version, readable without the lock
    std::uint64_t versions_ = 0;             // the back end's count
};

}  // namespace kestro::platform
