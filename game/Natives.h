// The plug-in's layer over the script hook's native invocation: one wrapper
// per game native, all built on CallNative, and the bounded text formatting.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "game/NativeContext.h"

namespace kestro {

// Native hashes: Jenkins one-at-a-time of the lower-case native name.
namespace hash {
inline constexpr std::uint32_t GET_PLAYER_ID = 0x1CC648EA;
inline constexpr std::uint32_t GET_PLAYER_CHAR = 0x6B86410E;
inline constexpr std::uint32_t IS_PLAYER_CONTROL_ON = 0x618857F2;
inline constexpr std::uint32_t IS_CHAR_IN_ANY_CAR = 0x74C3E7A5;
inline constexpr std::uint32_t IS_CHAR_ON_FOOT = 0x84BD7342;
inline constexpr std::uint32_t GET_CAR_CHAR_IS_USING = 0x73EA87E1;
inline constexpr std::uint32_t DISPLAY_TEXT_WITH_LITERAL_STRING = 0x247F4D85;
inline constexpr std::uint32_t PRINT_STRING_WITH_LITERAL_STRING_NOW = 0x40D7612D;
inline constexpr std::uint32_t SET_TEXT_SCALE = 0xB6E15B23;
inline constexpr std::uint32_t SET_TEXT_DROPSHADOW = 0xE6587517;
inline constexpr std::uint32_t DISABLE_FRONTEND_RADIO = 0x88ECCAB4;
inline constexpr std::uint32_t ENABLE_FRONTEND_RADIO = 0x370C9EE0;
inline constexpr std::uint32_t IS_RADIO_RETUNING = 0xCF29097B;
inline constexpr std::uint32_t GET_GAME_TIMER = 0xA4EA0691;
inline constexpr std::uint32_t IS_FRONTEND_FADING = 0x8FF6232C;
inline constexpr std::uint32_t SETTIMERA = 0x35785333;
inline constexpr std::uint32_t TIMERA = 0x45C8C188;
inline constexpr std::uint32_t GENERATE_RANDOM_INT_IN_RANGE = 0xC37DF274;
inline constexpr std::uint32_t SET_MOBILE_PHONE_RADIO_STATE = 0xE1E0ED34;
inline constexpr std::uint32_t SET_MOBILE_RADIO_ENABLED_DURING_GAMEPLAY = 0x990085F0;
inline constexpr std::uint32_t GET_CUTSCENE_TIME = 0x53F5B5AB;
inline constexpr std::uint32_t HAS_CUTSCENE_FINISHED = 0x5DED14B4;
inline constexpr std::uint32_t RETUNE_RADIO_TO_STATION_NAME = 0x6E7E4D33;
inline constexpr std::uint32_t RETUNE_RADIO_UP = 0xB68CAB02;
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
    NativeContext ctx;
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
