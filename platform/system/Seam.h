// How every replaceable part of the platform and of the script hook (a
// seam) is installed. A seam is a virtual interface with one process-wide
// implementation in use at a time, put in place by a named setter that takes
// a std::shared_ptr (setMciInterpreter, setStreamPlayer, setKeyStateSource,
// ...); null puts the seam's default back. The contract of each seam (which
// thread calls each operation, what may block and for how long, what a
// failure returns, who owns what) is written once, on its interface header.
//
// Installing, for every seam:
//   - The seam shares ownership of what is installed, so the installer may
//     keep its own reference (to inspect a test double) or drop it.
//   - Installing releases the implementation replaced, after the new one is
//     in place: its destructor runs then, on the installer's thread, unless
//     the installer still holds it.
//   - A seam called from one thread (SeamCallers::InstallingThread) is
//     installed on that thread while no call through it is in progress (the
//     host installs between ticks). A seam called from any thread
//     (SeamCallers::AnyThread) holds its lock for each call and each
//     installation, so when its setter returns no call into the replaced
//     implementation is still running.
#pragma once

#include <memory>
#include <mutex>
#include <type_traits>
#include <utility>

namespace kestro::platform {

enum class SeamCallers {
    InstallingThread,  // calls come from the thread that installs
    AnyThread,         // calls come from any thread, each under the seam's lock
};

// Names a seam's default: a new `Default` whenever null is installed.
template <class Default>
struct SeamDefault {};

template <class Interface, SeamCallers Callers = SeamCallers::InstallingThread>
class Seam {
public:
    template <class Default>
    explicit Seam(SeamDefault<Default>)
        : makeDefault_([] { return std::shared_ptr<Interface>(std::make_shared<Default>()); }),
          current_(makeDefault_()) {}
    Seam(const Seam&) = delete;
    Seam& operator=(const Seam&) = delete;

    void install(std::shared_ptr<Interface> implementation) {
        if (!implementation) implementation = makeDefault_();
        {
            std::lock_guard<Mutex> guard(mutex_);
            current_.swap(implementation);
        }
    }  // `implementation` now holds the replaced one: released here, unlocked

    // The implementation in place (never null).
    Interface& get()
        requires(Callers == SeamCallers::InstallingThread)
    {
        return *current_;
    }

    // Calls `f` with the implementation in place, under the seam's lock.
    template <class F>
    decltype(auto) call(F&& f)
        requires(Callers == SeamCallers::AnyThread)
    {
        std::lock_guard<Mutex> guard(mutex_);
        return std::forward<F>(f)(*current_);
    }

private:
    struct NoLock {
        void lock() {}
        void unlock() {}
    };
    using Mutex = std::conditional_t<Callers == SeamCallers::AnyThread, std::mutex, NoLock>;

    std::shared_ptr<Interface> (*makeDefault_)();
    Mutex mutex_;
    std::shared_ptr<Interface> current_;
};

}  // namespace kestro::platform
