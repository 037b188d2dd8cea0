// The side of the script-hook stand-in that the game (the host) uses:
// native handlers by hash, the registered threads, the script tick and two
// seams (installed as platform/system/Seam.h says): where the log lines go
// (setLogSink) and who hears of a registered thread (setThreadObserver).
// Plug-ins never include this header.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "game/NativeContext.h"

class NativeThread;

namespace scripthook {

// Jenkins one-at-a-time hash of the lower-case name: a native's identity.
std::uint32_t nativeHash(std::string_view name);

// A handler's view of one call: typed access to the argument slots, the
// result in slot 0, and vector out-values recorded for copy-back.
class NativeCall {
public:
    explicit NativeCall(kestro::NativeContext* context) : ctx_(context) {}

    // (The accessors are inline: a tick that draws the panel makes some 150
    // of these calls.)
    std::uint32_t argCount() const { return ctx_->argCount; }
    std::int32_t intArg(int index) const { return static_cast<std::int32_t>(static_cast<std::uint32_t>(slot(index))); }
    float floatArg(int index) const {
        const auto bits = static_cast<std::uint32_t>(slot(index));
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return f;
    }
    bool boolArg(int index) const { return (slot(index) & 0xFFu) != 0; }  // first byte of the slot
    const char* textArg(int index) const { return static_cast<const char*>(pointerArg(index)); }
    template <class T>
    T* outArg(int index) const {
        return reinterpret_cast<T*>(pointerArg(index));
    }
    void* pointerArg(int index) const { return reinterpret_cast<void*>(slot(index)); }

    void setIntResult(std::int32_t value);
    void setBoolResult(bool value);
    // Records a vector result that the caller copies to dest after the call.
    // At most four per call; more are dropped.
    void pushVector(float* dest, float x, float y, float z);

private:
    // Slot `index`; 0 outside the argument area.
    kestro::NativeSlot slot(int index) const {
        if (index < 0 || index >= kestro::kNativeArgSlots) return 0;
        kestro::NativeSlot v;
        std::memcpy(&v, ctx_->argArea + index * sizeof(kestro::NativeSlot), sizeof v);
        return v;
    }
    kestro::NativeContext* ctx_;
};

using NativeHandler = std::function<void(NativeCall&)>;

// Registers (or replaces) the handler for a native. The name is kept for
// diagnostics only.
void registerNative(std::uint32_t hash, std::string name, NativeHandler handler);
void clearNatives();
bool hasNative(std::uint32_t hash);

// Unknown hashes: logged once per hash (through the log sink), context left
// untouched.

// Threads registered by plug-ins, in registration order.
const std::vector<NativeThread*>& registeredThreads();
void forgetThreads();

// Hears of each thread a plug-in registers. Its contract:
//   - Threads: threadRegistered() runs on the thread that registers (the
//     loader's, in the plug-in's DllMain), after the thread was added.
//   - Blocking: it must not wait (the plug-in's load is waiting).
//   - Ownership: the thread is the plug-in's; the seam owns the observer.
class ThreadObserver {
public:
    virtual ~ThreadObserver() = default;
    virtual void threadRegistered(NativeThread* thread) = 0;
};
// Null: no observer.
void setThreadObserver(std::shared_ptr<ThreadObserver> observer);

// Runs ScriptBody of every registered thread once, in registration order.
void tickThreads();
// The thread whose ScriptBody is running now (null outside a tick).
NativeThread* currentThread();

// Opens a log file for appending, creating it when missing, without waiting
// (a FIFO is never waited on). Only a regular file (or a link to one) is
// kept: anything else, or a file that cannot be opened, gives -1 and
// `problem` says which ("is not a regular file", "cannot be opened").
int openLogFile(const char* path, const char** problem);

// Longest line Log::Info produces; longer output is cut.
inline constexpr std::size_t kMaxLogLine = 4096;

// Where Log::Info lines go. Its contract:
//   - Threads: write() runs on the thread that calls Log::Info (the
//     plug-in's script thread; its static initialisation and DllMain on the
//     loader's thread), one call at a time; it must not call Log::Info.
//   - Blocking: it must not wait for long (the plug-in's tick is waiting);
//     the default appends one line to a regular file, nothing that can
//     block (a FIFO, a device) is written to.
//   - Ownership: `line` is valid during the call only, at most kMaxLogLine
//     bytes. The seam owns the sink.
class LogSink {
public:
    virtual ~LogSink() = default;
    virtual void write(const char* line) = 0;
};
// Null: the default, which appends each line to "ScriptHook.log" in the
// current directory; when that is not a regular file or cannot be opened,
// the lines are dropped and one line says so on standard error.
void setLogSink(std::shared_ptr<LogSink> sink);

}  // namespace scripthook
