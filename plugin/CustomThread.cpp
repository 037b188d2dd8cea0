#include "plugin/CustomThread.h"

#include "plugin/PlayerState.h"

namespace kestro {

namespace {
// The hook keeps a pointer to the name and never writes through it.
char kThreadName[] = "Kestro";
}  // namespace

CustomThread::CustomThread() : playerMode(Idle) { SetName(kThreadName); }

CustomThread::~CustomThread() = default;

}  // namespace kestro
