// The script-hook component as a plug-in sees it: the thread classes, thread
// registration, native invocation and the log. This library stands in for the
// closed component that loads plug-ins into the game; it knows nothing about
// music.
#pragma once

#include <cstdint>

#include "game/NativeContext.h"

namespace GameTypes {

enum eThreadState : std::uint32_t {
    ThreadStateIdle = 0,
    ThreadStateRunning = 1,
    ThreadStateKilled = 2,
};

// Root of the script thread hierarchy. Virtual slots, in order: destructor,
// Reset, Run, Tick, Kill (NativeThread adds ScriptBody and Start).
class scrThread {
public:
    scrThread();
    virtual ~scrThread();
    virtual eThreadState Reset(std::uint32_t hash, void* args, std::uint32_t argCount);
    virtual eThreadState Run(std::uint32_t opsToExecute);
    virtual eThreadState Tick(std::uint32_t opsToExecute);
    virtual void Kill();

protected:
    eThreadState state_;
    std::uint32_t threadId_;
};

class GtaThread : public scrThread {
public:
    GtaThread();
    ~GtaThread() override;
};

}  // namespace GameTypes

class NativeThread : public GameTypes::GtaThread {
public:
    NativeThread();
    ~NativeThread() override;

    GameTypes::eThreadState Reset(std::uint32_t hash, void* args, std::uint32_t argCount) override;
    GameTypes::eThreadState Run(std::uint32_t opsToExecute) override;
    GameTypes::eThreadState Tick(std::uint32_t opsToExecute) override;
    void Kill() override;
    virtual void ScriptBody();
    virtual void Start();

    // The hook keeps the pointer; it never writes through it.
    void SetName(char* name);
    const char* Name() const { return name_; }

private:
    char* name_;
};

class ScriptHookManager {
public:
    static void RegisterThread(NativeThread* thread);
};

class NativeInvoke {
public:
    static void SpeedyInvoke(kestro::NativeContext* context, std::uint32_t hash);
};

class Log {
public:
    // printf-style; one line per call in the host's log.
    static void Info(const char* format, ...) __attribute__((format(printf, 1, 2)));
};
