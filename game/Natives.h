// The plug-in's layer over the script hook's native invocation: one wrapper
// per game native, all built on CallNative, and the bounded text formatting.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "game/NativeContext.h"
#include "game/NativeTable.h"

namespace kestro {

// Native hashes, from the one table of natives (game/NativeTable.h).
namespace hash {
inline constexpr std::uint32_t GET_PLAYER_ID = nativeInfo(NativeId::GET_PLAYER_ID).hash;
inline constexpr std::uint32_t GET_PLAYER_CHAR = nativeInfo(NativeId::GET_PLAYER_CHAR).hash;
inline constexpr std::uint32_t IS_PLAYER_CONTROL_ON = nativeInfo(NativeId::IS_PLAYER_CONTROL_ON).hash;
inline constexpr std::uint32_t IS_CHAR_IN_ANY_CAR = nativeInfo(NativeId::IS_CHAR_IN_ANY_CAR).hash;
inline constexpr std::uint32_t IS_CHAR_ON_FOOT = nativeInfo(NativeId::IS_CHAR_ON_FOOT).hash;
inline constexpr std::uint32_t GET_CAR_CHAR_IS_USING = nativeInfo(NativeId::GET_CAR_CHAR_IS_USING).hash;
inline constexpr std::uint32_t DISPLAY_TEXT_WITH_LITERAL_STRING = nativeInfo(NativeId::DISPLAY_TEXT_WITH_LITERAL_STRING).hash;
inline constexpr std::uint32_t PRINT_STRING_WITH_LITERAL_STRING_NOW = nativeInfo(NativeId::PRINT_STRING_WITH_LITERAL_STRING_NOW).hash;
inline constexpr std::uint32_t SET_TEXT_SCALE = nativeInfo(NativeId::SET_TEXT_SCALE).hash;
inline constexpr std::uint32_t SET_TEXT_DROPSHADOW = nativeInfo(NativeId::SET_TEXT_DROPSHADOW).hash;
inline constexpr std::uint32_t DISABLE_FRONTEND_RADIO = nativeInfo(NativeId::DISABLE_FRONTEND_RADIO).hash;
inline constexpr std::uint32_t ENABLE_FRONTEND_RADIO = nativeInfo(NativeId::ENABLE_FRONTEND_RADIO).hash;
inline constexpr std::uint32_t IS_RADIO_RETUNING = nativeInfo(NativeId::IS_RADIO_RETUNING).hash;
inline constexpr std::uint32_t GET_GAME_TIMER = nativeInfo(NativeId::GET_GAME_TIMER).hash;
inline constexpr std::uint32_t IS_FRONTEND_FADING = nativeInfo(NativeId::IS_FRONTEND_FADING).hash;
inline constexpr std::uint32_t SETTIMERA = nativeInfo(NativeId::SETTIMERA).hash;
inline constexpr std::uint32_t TIMERA = nativeInfo(NativeId::TIMERA).hash;
inline constexpr std::uint32_t GENERATE_RANDOM_INT_IN_RANGE = nativeInfo(NativeId::GENERATE_RANDOM_INT_IN_RANGE).hash;
inline constexpr std::uint32_t SET_MOBILE_PHONE_RADIO_STATE = nativeInfo(NativeId::SET_MOBILE_PHONE_RADIO_STATE).hash;
inline constexpr std::uint32_t SET_MOBILE_RADIO_ENABLED_DURING_GAMEPLAY = nativeInfo(NativeId::SET_MOBILE_RADIO_ENABLED_DURING_GAMEPLAY).hash;
inline constexpr std::uint32_t GET_CUTSCENE_TIME = nativeInfo(NativeId::GET_CUTSCENE_TIME).hash;
inline constexpr std::uint32_t HAS_CUTSCENE_FINISHED = nativeInfo(NativeId::HAS_CUTSCENE_FINISHED).hash;
inline constexpr std::uint32_t RETUNE_RADIO_TO_STATION_NAME = nativeInfo(NativeId::RETUNE_RADIO_TO_STATION_NAME).hash;
inline constexpr std::uint32_t RETUNE_RADIO_UP = nativeInfo(NativeId::RETUNE_RADIO_UP).hash;
}  // namespace hash

// Argument encoding into one slot.
inline void encodeNativeArg(NativeContext& ctx, int slot, std::int32_t value) {
    NativeSlot v = static_cast<std::uint32_t>(value);
    std::memcpy(ctx.argArea + slot * sizeof(NativeSlot), &v, sizeof v);
}
inline void encodeNativeArg(NativeContext& ctx, int slot, float value) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    NativeSlot v = bits;
    std::memcpy(ctx.argArea + slot * sizeof(NativeSlot), &v, sizeof v);
}
// A boolean: the whole slot is cleared, then its first byte set to 0 or 1.
inline void encodeNativeArg(NativeContext& ctx, int slot, bool value) {
    unsigned char* p = ctx.argArea + slot * sizeof(NativeSlot);
    std::memset(p, 0, sizeof(NativeSlot));
    p[0] = value ? 1 : 0;
}
inline void encodeNativeArg(NativeContext& ctx, int slot, const void* pointer) {
    NativeSlot v = reinterpret_cast<NativeSlot>(pointer);
    std::memcpy(ctx.argArea + slot * sizeof(NativeSlot), &v, sizeof v);
}

// Copies the vector results recorded by the native, from the highest index
// down, each to the three floats at its destination.
void copyBackNativeResults(NativeContext& ctx);

// Hands the prepared context to the script hook, then copies back.
void invokeNative(NativeContext& ctx, std::uint32_t nativeHash);

// Calls one native: fills a fresh context on the stack, invokes it and
// returns slot 0 (the native's result, if it has one).
template <class... Args>
NativeSlot CallNative(std::uint32_t nativeHash, Args... args) {
    static_assert(sizeof...(Args) <= kNativeArgSlots);
    // The whole record starts cleared: a native that leaves slot 0 alone (or
    // a hash no native answers) gives 0, never what the stack held before.
    // It is cleared part by part: cleared as one block of 264 bytes, it is
    // cleared with "rep stos", whose start-up cost made a call three times
    // as slow (17 ns against 6 ns; the panel makes 45 calls a tick).
    NativeContext ctx;
    std::memset(&ctx, 0, offsetof(NativeContext, pendingDest));
    std::memset(ctx.pendingDest, 0, sizeof ctx.pendingDest);
    std::memset(ctx.pendingVec, 0, sizeof ctx.pendingVec);
    std::memset(ctx.argArea, 0, sizeof ctx.argArea);
    ctx.resultPtr = ctx.argArea;
    ctx.argPtr = ctx.argArea;
    ctx.argCount = sizeof...(Args);
    ctx.pendingCount = 0;
    int slot = 0;
    (encodeNativeArg(ctx, slot++, args), ...);
    invokeNative(ctx, nativeHash);
    NativeSlot result;
    std::memcpy(&result, ctx.argArea, sizeof result);
    return result;
}

// CallNative for one native of the table, by id: the compiler checks that
// the call fills exactly the argument slots the native reads.
template <NativeId id, class... Args>
NativeSlot CallNativeOf(Args... args) {
    static_assert(sizeof...(Args) == nativeInfo(id).argCount, "wrong number of arguments for this native");
    return CallNative(nativeInfo(id).hash, args...);
}

inline bool nativeBool(NativeSlot result) { return (result & 0xFFu) != 0; }
inline std::int32_t nativeInt(NativeSlot result) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(result));
}

// The wrappers. Fixed arguments are set here; argCount is always the full
// count of the native.
std::int32_t GET_PLAYER_ID();
void GET_PLAYER_CHAR(std::int32_t playerIndex, std::int32_t* character);
bool IS_PLAYER_CONTROL_ON(std::int32_t playerIndex);
bool IS_CHAR_IN_ANY_CAR(std::int32_t character);
bool IS_CHAR_ON_FOOT(std::int32_t character);
void GET_CAR_CHAR_IS_USING(std::int32_t character, std::int32_t* vehicle);
void DISPLAY_TEXT_WITH_LITERAL_STRING(float x, float y, const char* text);
void PRINT_STRING_WITH_LITERAL_STRING_NOW(const char* text);
void SET_TEXT_SCALE(float width, float height);
void SET_TEXT_DROPSHADOW(float a, float b);
void DISABLE_FRONTEND_RADIO();
void ENABLE_FRONTEND_RADIO();
bool IS_RADIO_RETUNING();
void GET_GAME_TIMER(std::uint32_t* time);
bool IS_FRONTEND_FADING();
void SETTIMERA();
std::int32_t TIMERA();
void GENERATE_RANDOM_INT_IN_RANGE(std::int32_t upperBound, std::int32_t* value);
void SET_MOBILE_PHONE_RADIO_STATE(bool on);
void SET_MOBILE_RADIO_ENABLED_DURING_GAMEPLAY(bool enabled);
std::int32_t GET_CUTSCENE_TIME();
bool HAS_CUTSCENE_FINISHED();
void RETUNE_RADIO_TO_STATION_NAME();
void RETUNE_RADIO_UP();

// Convenience reads used across the plug-in.
std::uint32_t gameTimer();
std::int32_t playerCharacter();

// Bounded printf-style formatting into texts of 70, 1000 and 1024 bytes. An
// over-long result is cut at the capacity (the terminating zero included).
void FormatText70(char* dest, const char* format, ...) __attribute__((format(printf, 2, 3)));
void FormatText1000(char* dest, const char* format, ...) __attribute__((format(printf, 2, 3)));
void FormatText1024(char* dest, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace kestro
