#include "game/Natives.h"

#include <cstdarg>
#include <cstdio>

#include "scripthook/ScriptHook.h"

namespace kestro {

namespace {
// The fixed text-label argument of the two text natives. The hook never
// writes through it.
char kStringLabel[] = "STRING";
char kRadioOff[] = "OFF";
constexpr std::int32_t kMessageDurationMs = 5000;

void formatBounded(char* dest, std::size_t capacity, const char* format, va_list args) {
    if (dest == nullptr || capacity == 0) return;
    int n = std::vsnprintf(dest, capacity, format ? format : "", args);
    if (n < 0) dest[0] = '\0';
}
}  // namespace

void copyBackNativeResults(NativeContext& ctx) {
    // Guard against a count the hook should never leave: four entries exist.
    if (ctx.pendingCount > static_cast<std::uint32_t>(kNativePendingVectors))
        ctx.pendingCount = kNativePendingVectors;
    while (ctx.pendingCount != 0) {
        ctx.pendingCount = ctx.pendingCount - 1;
        const NativeVector& v = ctx.pendingVec[ctx.pendingCount];
        float* dest = ctx.pendingDest[ctx.pendingCount];
        if (dest == nullptr) continue;
        dest[0] = v.x;
        dest[1] = v.y;
        dest[2] = v.z;
    }
}

void invokeNative(NativeContext& ctx, std::uint32_t nativeHash) {
    NativeInvoke::SpeedyInvoke(&ctx, nativeHash);
    copyBackNativeResults(ctx);
}

std::int32_t GET_PLAYER_ID() { return nativeInt(CallNativeOf<NativeId::GET_PLAYER_ID>()); }
void GET_PLAYER_CHAR(std::int32_t playerIndex, std::int32_t* character) {
    CallNativeOf<NativeId::GET_PLAYER_CHAR>(playerIndex, static_cast<const void*>(character));
}
bool IS_PLAYER_CONTROL_ON(std::int32_t playerIndex) {
    return nativeBool(CallNativeOf<NativeId::IS_PLAYER_CONTROL_ON>(playerIndex));
}
bool IS_CHAR_IN_ANY_CAR(std::int32_t character) {
    return nativeBool(CallNativeOf<NativeId::IS_CHAR_IN_ANY_CAR>(character));
}
bool IS_CHAR_ON_FOOT(std::int32_t character) {
    return nativeBool(CallNativeOf<NativeId::IS_CHAR_ON_FOOT>(character));
}
void GET_CAR_CHAR_IS_USING(std::int32_t character, std::int32_t* vehicle) {
    CallNativeOf<NativeId::GET_CAR_CHAR_IS_USING>(character, static_cast<const void*>(vehicle));
}
void DISPLAY_TEXT_WITH_LITERAL_STRING(float x, float y, const char* text) {
    CallNativeOf<NativeId::DISPLAY_TEXT_WITH_LITERAL_STRING>(x, y, static_cast<const void*>(kStringLabel),
               static_cast<const void*>(text));
}
void PRINT_STRING_WITH_LITERAL_STRING_NOW(const char* text) {
    CallNativeOf<NativeId::PRINT_STRING_WITH_LITERAL_STRING_NOW>(static_cast<const void*>(kStringLabel),
               static_cast<const void*>(text), kMessageDurationMs, true);
}
void SET_TEXT_SCALE(float width, float height) { CallNativeOf<NativeId::SET_TEXT_SCALE>(width, height); }
void SET_TEXT_DROPSHADOW(float a, float b) {
    CallNativeOf<NativeId::SET_TEXT_DROPSHADOW>(a, b, false, false, true);
}
void DISABLE_FRONTEND_RADIO() { CallNativeOf<NativeId::DISABLE_FRONTEND_RADIO>(); }
void ENABLE_FRONTEND_RADIO() { CallNativeOf<NativeId::ENABLE_FRONTEND_RADIO>(); }
bool IS_RADIO_RETUNING() { return nativeBool(CallNativeOf<NativeId::IS_RADIO_RETUNING>()); }
void GET_GAME_TIMER(std::uint32_t* time) {
    CallNativeOf<NativeId::GET_GAME_TIMER>(static_cast<const void*>(time));
}
bool IS_FRONTEND_FADING() { return nativeBool(CallNativeOf<NativeId::IS_FRONTEND_FADING>()); }
void SETTIMERA() { CallNativeOf<NativeId::SETTIMERA>(std::int32_t{0}); }
std::int32_t TIMERA() { return nativeInt(CallNativeOf<NativeId::TIMERA>()); }
void GENERATE_RANDOM_INT_IN_RANGE(std::int32_t upperBound, std::int32_t* value) {
    CallNativeOf<NativeId::GENERATE_RANDOM_INT_IN_RANGE>(std::int32_t{0}, upperBound,
               static_cast<const void*>(value));
}
void SET_MOBILE_PHONE_RADIO_STATE(bool on) { CallNativeOf<NativeId::SET_MOBILE_PHONE_RADIO_STATE>(on); }
void SET_MOBILE_RADIO_ENABLED_DURING_GAMEPLAY(bool enabled) {
    CallNativeOf<NativeId::SET_MOBILE_RADIO_ENABLED_DURING_GAMEPLAY>(enabled);
}
std::int32_t GET_CUTSCENE_TIME() { return nativeInt(CallNativeOf<NativeId::GET_CUTSCENE_TIME>()); }
bool HAS_CUTSCENE_FINISHED() { return nativeBool(CallNativeOf<NativeId::HAS_CUTSCENE_FINISHED>()); }
void RETUNE_RADIO_TO_STATION_NAME() {
    CallNativeOf<NativeId::RETUNE_RADIO_TO_STATION_NAME>(static_cast<const void*>(kRadioOff));
}
void RETUNE_RADIO_UP() { CallNativeOf<NativeId::RETUNE_RADIO_UP>(); }

std::uint32_t gameTimer() {
    std::uint32_t t = 0;
    GET_GAME_TIMER(&t);
    return t;
}

std::int32_t playerCharacter() {
    std::int32_t character = 0;
    GET_PLAYER_CHAR(GET_PLAYER_ID(), &character);
    return character;
}

void FormatText70(char* dest, const char* format, ...) {
    va_list args;
    va_start(args, format);
    formatBounded(dest, 70, format, args);
    va_end(args);
}

void FormatText1000(char* dest, const char* format, ...) {
    va_list args;
    va_start(args, format);
    formatBounded(dest, 1000, format, args);
    va_end(args);
}

void FormatText1024(char* dest, const char* format, ...) {
    va_list args;
    va_start(args, format);
    formatBounded(dest, 1024, format, args);
    va_end(args);
}

}  // namespace kestro
