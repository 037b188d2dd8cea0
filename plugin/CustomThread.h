// The plug-in's one script thread. The script hook calls ScriptBody once per
// script tick; everything the player does happens inside it.
#pragma once

#include <cstdint>

#include "scripthook/ScriptHook.h"

namespace kestro {

class CustomThread : public NativeThread {
public:
    CustomThread();
    ~CustomThread() override;
    void ScriptBody() override;

    std::int32_t playerMode;  // a PlayerMode value
};

}  // namespace kestro
