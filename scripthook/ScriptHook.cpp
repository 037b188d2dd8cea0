#include "scripthook/ScriptHook.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <set>
#include <utility>
#include <vector>

#include "game/NativeTable.h"
#include "platform/system/Seam.h"
#include "scripthook/HookHost.h"

namespace {

struct NativeEntry {
    std::string name;
    scripthook::NativeHandler handler;
};

// The natives by hash, in an open-addressed table of a power-of-two size:
// a lookup is a mask and a compare or two. (std::unordered_map's division by
// its prime bucket count was a fifth of the time of a tick that draws the
// panel, which calls 45 natives.)
class NativeMap {
public:
    NativeEntry* find(std::uint32_t hash) {
        const std::int32_t i = slotOf(hash);
        return i >= 0 && slots_[i].entry >= 0 ? &entries_[slots_[i].entry].second : nullptr;
    }
    void set(std::uint32_t hash, NativeEntry entry) {
        if (NativeEntry* e = find(hash)) {
            *e = std::move(entry);
            return;
        }
        entries_.emplace_back(hash, std::move(entry));
        // At most half full, so that every search ends at an empty slot.
        if (entries_.size() * 2 > slots_.size()) {
            slots_.assign(std::max<std::size_t>(64, slots_.size() * 2), Slot{});
            for (std::size_t k = 0; k < entries_.size(); ++k)
                slots_[slotOf(entries_[k].first)] = {entries_[k].first, static_cast<std::int32_t>(k)};
        } else {
            slots_[slotOf(hash)] = {hash, static_cast<std::int32_t>(entries_.size() - 1)};
        }
    }
    void clear() {
        entries_.clear();
        slots_.clear();
    }

private:
    struct Slot {
        std::uint32_t hash = 0;
        std::int32_t entry = -1;  // -1: empty
    };
    // The slot holding `hash`, or the empty one where it would go; -1 for
    // an empty table.
    std::int32_t slotOf(std::uint32_t hash) const {
        if (slots_.empty()) return -1;
        const std::size_t mask = slots_.size() - 1;
        std::size_t i = hash & mask;
        while (slots_[i].entry >= 0 && slots_[i].hash != hash) i = (i + 1) & mask;
        return static_cast<std::int32_t>(i);
    }
    std::vector<std::pair<std::uint32_t, NativeEntry>> entries_;
    std::vector<Slot> slots_;
};

// Appends each line to ScriptHook.log, opened anew for each line.
class LogFile : public scripthook::LogSink {
public:
    void write(const char* line) override;
};

class NoThreadObserver : public scripthook::ThreadObserver {
public:
    void threadRegistered(NativeThread*) override {}
};

using kestro::platform::Seam;
using kestro::platform::SeamDefault;

struct HookState {
    NativeMap natives;
    std::set<std::uint32_t> unknownLogged;
    std::vector<NativeThread*> threads;
    Seam<scripthook::ThreadObserver> threadObserver{SeamDefault<NoThreadObserver>{}};
    Seam<scripthook::LogSink> logSink{SeamDefault<LogFile>{}};
    NativeThread* current = nullptr;
    std::uint32_t nextThreadId = 1;
};

// Constructed on first use so that plug-in static initialisation may use the
// hook before this library's own statics would otherwise be ready.
HookState& state() {
    static HookState* s = new HookState();
    return *s;
}

void LogFile::write(const char* line) {
    // Reported once per process: the log is left alone, the game goes on.
    static bool reported = false;
    const char* problem = nullptr;
    const int fd = scripthook::openLogFile("ScriptHook.log", &problem);
    if (fd < 0) {
        if (!reported) std::fprintf(stderr, "ScriptHook: ScriptHook.log %s; log lines are not kept\n", problem);
        reported = true;
        return;
    }
    std::string text = line ? line : "";
    text += '\n';
    // One write per line, so that lines of two writers never interleave.
    const char* p = text.data();
    std::size_t left = text.size();
    while (left != 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    ::close(fd);
}

void emitLog(const char* line) { state().logSink.get().write(line); }

}  // namespace

// ---- thread classes -------------------------------------------------------

namespace GameTypes {

scrThread::scrThread() : state_(ThreadStateIdle), threadId_(state().nextThreadId++) {}
scrThread::~scrThread() = default;
eThreadState scrThread::Reset(std::uint32_t, void*, std::uint32_t) {
    state_ = ThreadStateIdle;
    return state_;
}
eThreadState scrThread::Run(std::uint32_t) { return state_; }
eThreadState scrThread::Tick(std::uint32_t) { return state_; }
void scrThread::Kill() { state_ = ThreadStateKilled; }

GtaThread::GtaThread() = default;
GtaThread::~GtaThread() = default;

}  // namespace GameTypes

NativeThread::NativeThread() : name_(nullptr) {}

NativeThread::~NativeThread() {
    // A destroyed thread is no longer ticked; the plug-in never unregisters.
    auto& threads = state().threads;
    for (auto it = threads.begin(); it != threads.end();) {
        if (*it == this)
            it = threads.erase(it);
        else
            ++it;
    }
}

GameTypes::eThreadState NativeThread::Reset(std::uint32_t hash, void* args, std::uint32_t argCount) {
    return GtaThread::Reset(hash, args, argCount);
}

GameTypes::eThreadState NativeThread::Run(std::uint32_t) {
    if (state_ == GameTypes::ThreadStateKilled) return state_;
    state_ = GameTypes::ThreadStateRunning;
    ScriptBody();
    return state_;
}

GameTypes::eThreadState NativeThread::Tick(std::uint32_t ops) { return Run(ops); }

void NativeThread::Kill() { GtaThread::Kill(); }
void NativeThread::ScriptBody() {}
void NativeThread::Start() { state_ = GameTypes::ThreadStateRunning; }
void NativeThread::SetName(char* name) { name_ = name; }

void ScriptHookManager::RegisterThread(NativeThread* thread) {
    if (thread == nullptr) return;
    auto& s = state();
    s.threads.push_back(thread);
    thread->Start();
    s.threadObserver.get().threadRegistered(thread);
}

void NativeInvoke::SpeedyInvoke(kestro::NativeContext* context, std::uint32_t hash) {
    if (context == nullptr) return;
    auto& s = state();
    NativeEntry* native = s.natives.find(hash);
    if (native == nullptr) {
        // No native ran, so there is no result: slot 0 reads 0 (false, a
        // null handle), never an argument or whatever the caller's stack
        // held. The rest of the record is left as it was.
        const kestro::NativeSlot none = 0;
        std::memcpy(context->argArea, &none, sizeof none);
        if (s.unknownLogged.insert(hash).second) {
            char line[64];
            std::snprintf(line, sizeof line, "unknown native 0x%08X", hash);
            emitLog(line);
        }
        return;
    }
    context->pendingCount = 0;
    scripthook::NativeCall call(context);
    native->handler(call);
}

void Log::Info(const char* format, ...) {
    char line[scripthook::kMaxLogLine];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(line, sizeof line, format ? format : "", args);
    va_end(args);
    if (n < 0) line[0] = '\0';
    // One line per call: a line break inside the text would split it.
    for (char* p = line; *p; ++p)
        if (*p == '\n' || *p == '\r') *p = ' ';
    emitLog(line);
}

// ---- host side ------------------------------------------------------------

namespace scripthook {

int openLogFile(const char* path, const char** problem) {
    const char* unused = nullptr;
    if (problem == nullptr) problem = &unused;
    *problem = nullptr;
    if (path == nullptr) {
        *problem = "has no name";
        return -1;
    }
    // O_NONBLOCK: opening a FIFO must not wait for a reader.
    const int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0) {
        // ENXIO: a FIFO without a reader, or a device that is not there.
        *problem = (errno == ENXIO || errno == EISDIR) ? "is not a regular file" : "cannot be opened";
        return -1;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        *problem = "is not a regular file";
        return -1;
    }
    // A regular file never blocks; the flag is dropped all the same.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

std::uint32_t nativeHash(std::string_view name) { return kestro::jenkinsLowerCaseHash(name); }

void NativeCall::setIntResult(std::int32_t value) {
    kestro::NativeSlot v = static_cast<std::uint32_t>(value);
    std::memcpy(ctx_->argArea, &v, sizeof v);
}

void NativeCall::setBoolResult(bool value) {
    kestro::NativeSlot v = value ? 1u : 0u;
    std::memcpy(ctx_->argArea, &v, sizeof v);
}

void NativeCall::pushVector(float* dest, float x, float y, float z) {
    std::uint32_t i = ctx_->pendingCount;
    if (i >= static_cast<std::uint32_t>(kestro::kNativePendingVectors)) return;
    ctx_->pendingDest[i] = dest;
    ctx_->pendingVec[i] = kestro::NativeVector{x, y, z, 0};
    ctx_->pendingCount = i + 1;
}

void registerNative(std::uint32_t hash, std::string name, NativeHandler handler) {
    state().natives.set(hash, NativeEntry{std::move(name), std::move(handler)});
}

void clearNatives() {
    state().natives.clear();
    state().unknownLogged.clear();
}

bool hasNative(std::uint32_t hash) { return state().natives.find(hash) != nullptr; }

const std::vector<NativeThread*>& registeredThreads() { return state().threads; }

void forgetThreads() { state().threads.clear(); }

void setThreadObserver(std::shared_ptr<ThreadObserver> observer) { state().threadObserver.install(std::move(observer)); }

void tickThreads() {
    auto& s = state();
    // Copy: a thread may be destroyed (and so removed) by the tick itself.
    std::vector<NativeThread*> threads = s.threads;
    for (NativeThread* t : threads) {
        s.current = t;
        t->ScriptBody();
    }
    s.current = nullptr;
}

NativeThread* currentThread() { return state().current; }

void setLogSink(std::shared_ptr<LogSink> sink) { state().logSink.install(std::move(sink)); }

}  // namespace scripthook
