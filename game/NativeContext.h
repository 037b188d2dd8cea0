// The record handed to NativeInvoke::SpeedyInvoke for every game-native call.
//
// Its layout is a binary format shared with the script hook. On a process
// with 32-bit pointers it is exactly 164 bytes:
//   0 resultPtr, 4 argCount, 8 argPtr, 12 pendingCount, 16 pendingDest[4],
//   32 pendingVec[4] (16 bytes each), 96 argArea (68 bytes).
// On a process with wider pointers the fields keep their order and the
// pointer fields widen. Argument slots hold pointers too (texts, out-values),
// so a slot is as wide as a pointer: on x86-64 a slot is 8 bytes, and the
// argument area keeps its 17 slots. A 32-bit value sits in the low four
// bytes of its slot (little-endian), so a boolean true still starts with the
// bytes 01 00 00 00.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestro {

// One argument slot: a pointer's width.
using NativeSlot = std::uintptr_t;

inline constexpr int kNativeArgSlots = 17;
inline constexpr int kNativePendingVectors = 4;

struct NativeVector {
    float x;
    float y;
    float z;
    std::uint32_t unused;
};

struct NativeContext {
    void* resultPtr;
    std::uint32_t argCount;
    void* argPtr;
    std::uint32_t pendingCount;
    float* pendingDest[kNativePendingVectors];
    NativeVector pendingVec[kNativePendingVectors];
    unsigned char argArea[kNativeArgSlots * sizeof(NativeSlot)];
};

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(void*) == 4);
static_assert(offsetof(NativeContext, resultPtr) == 0);
static_assert(offsetof(NativeContext, argCount) == 4);
static_assert(offsetof(NativeContext, argPtr) == 8);
static_assert(offsetof(NativeContext, pendingCount) == 12);
static_assert(offsetof(NativeContext, pendingDest) == 16);
static_assert(offsetof(NativeContext, pendingVec) == 32);
static_assert(offsetof(NativeContext, argArea) == 96);
static_assert(sizeof(NativeContext) == 164);
#else
static_assert(sizeof(void*) == 8);
static_assert(offsetof(NativeContext, resultPtr) == 0);
static_assert(offsetof(NativeContext, argCount) == 8);
static_assert(offsetof(NativeContext, argPtr) == 16);
static_assert(offsetof(NativeContext, pendingCount) == 24);
static_assert(offsetof(NativeContext, pendingDest) == 32);
static_assert(offsetof(NativeContext, pendingVec) == 64);
static_assert(offsetof(NativeContext, argArea) == 128);
static_assert(sizeof(NativeContext) == 128 + 17 * 8);
#endif
static_assert(sizeof(NativeVector) == 16);
static_assert(offsetof(NativeVector, y) == 4 && offsetof(NativeVector, z) == 8);

}  // namespace kestro
