// The 24 game natives the plug-in calls: name, hash and the number of
// argument slots each reads. This table is the one list of them: the
// plug-in's wrappers (game/Natives.h) take their hashes from it, and the
// host (host/Natives.cpp) registers its handlers by it.
//
// A native's hash is the Jenkins one-at-a-time hash of its name in lower
// case; the hashes are written out so that they can be looked up, and the
// compiler checks each against its name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kestro {

enum class NativeId : std::uint8_t {
    GET_PLAYER_ID,
    GET_PLAYER_CHAR,
    IS_PLAYER_CONTROL_ON,
    IS_CHAR_IN_ANY_CAR,
    IS_CHAR_ON_FOOT,
    GET_CAR_CHAR_IS_USING,
    DISPLAY_TEXT_WITH_LITERAL_STRING,
    PRINT_STRING_WITH_LITERAL_STRING_NOW,
    SET_TEXT_SCALE,
    SET_TEXT_DROPSHADOW,
    DISABLE_FRONTEND_RADIO,
    ENABLE_FRONTEND_RADIO,
    IS_RADIO_RETUNING,
    GET_GAME_TIMER,
    IS_FRONTEND_FADING,
    SETTIMERA,
    TIMERA,
    GENERATE_RANDOM_INT_IN_RANGE,
    SET_MOBILE_PHONE_RADIO_STATE,
    SET_MOBILE_RADIO_ENABLED_DURING_GAMEPLAY,
    GET_CUTSCENE_TIME,
    HAS_CUTSCENE_FINISHED,
    RETUNE_RADIO_TO_STATION_NAME,
    RETUNE_RADIO_UP,
};

struct NativeInfo {
    NativeId id;
    const char* name;
    std::uint32_t hash;
    std::uint32_t argCount;  // argument slots the native reads
};

// In NativeId order.
inline constexpr NativeInfo kNativeTable[] = {
    {NativeId::GET_PLAYER_ID, "GET_PLAYER_ID", 0x1CC648EA, 0},
    {NativeId::GET_PLAYER_CHAR, "GET_PLAYER_CHAR", 0x6B86410E, 2},
    {NativeId::IS_PLAYER_CONTROL_ON, "IS_PLAYER_CONTROL_ON", 0x618857F2, 1},
    {NativeId::IS_CHAR_IN_ANY_CAR, "IS_CHAR_IN_ANY_CAR", 0x74C3E7A5, 1},
    {NativeId::IS_CHAR_ON_FOOT, "IS_CHAR_ON_FOOT", 0x84BD7342, 1},
    {NativeId::GET_CAR_CHAR_IS_USING, "GET_CAR_CHAR_IS_USING", 0x73EA87E1, 2},
    {NativeId::DISPLAY_TEXT_WITH_LITERAL_STRING, "DISPLAY_TEXT_WITH_LITERAL_STRING", 0x247F4D85, 4},
    {NativeId::PRINT_STRING_WITH_LITERAL_STRING_NOW, "PRINT_STRING_WITH_LITERAL_STRING_NOW", 0x40D7612D, 4},
    {NativeId::SET_TEXT_SCALE, "SET_TEXT_SCALE", 0xB6E15B23, 2},
    {NativeId::SET_TEXT_DROPSHADOW, "SET_TEXT_DROPSHADOW", 0xE6587517, 5},
    {NativeId::DISABLE_FRONTEND_RADIO, "DISABLE_FRONTEND_RADIO", 0x88ECCAB4, 0},
    {NativeId::ENABLE_FRONTEND_RADIO, "ENABLE_FRONTEND_RADIO", 0x370C9EE0, 0},
    {NativeId::IS_RADIO_RETUNING, "IS_RADIO_RETUNING", 0xCF29097B, 0},
    {NativeId::GET_GAME_TIMER, "GET_GAME_TIMER", 0xA4EA0691, 1},
    {NativeId::IS_FRONTEND_FADING, "IS_FRONTEND_FADING", 0x8FF6232C, 0},
    {NativeId::SETTIMERA, "SETTIMERA", 0x35785333, 1},
    {NativeId::TIMERA, "TIMERA", 0x45C8C188, 0},
    {NativeId::GENERATE_RANDOM_INT_IN_RANGE, "GENERATE_RANDOM_INT_IN_RANGE", 0xC37DF274, 3},
    {NativeId::SET_MOBILE_PHONE_RADIO_STATE, "SET_MOBILE_PHONE_RADIO_STATE", 0xE1E0ED34, 1},
    {NativeId::SET_MOBILE_RADIO_ENABLED_DURING_GAMEPLAY, "SET_MOBILE_RADIO_ENABLED_DURING_GAMEPLAY", 0x990085F0, 1},
    {NativeId::GET_CUTSCENE_TIME, "GET_CUTSCENE_TIME", 0x53F5B5AB, 0},
    {NativeId::HAS_CUTSCENE_FINISHED, "HAS_CUTSCENE_FINISHED", 0x5DED14B4, 0},
    {NativeId::RETUNE_RADIO_TO_STATION_NAME, "RETUNE_RADIO_TO_STATION_NAME", 0x6E7E4D33, 1},
    {NativeId::RETUNE_RADIO_UP, "RETUNE_RADIO_UP", 0xB68CAB02, 0},
};

inline constexpr std::size_t kNativeCount = std::size(kNativeTable);

constexpr const NativeInfo& nativeInfo(NativeId id) { return kNativeTable[static_cast<std::size_t>(id)]; }

// Jenkins one-at-a-time over the name with ASCII letters taken in lower case.
constexpr std::uint32_t jenkinsLowerCaseHash(std::string_view name) {
    std::uint32_t h = 0;
    for (char c : name) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u >= 'A' && u <= 'Z') u = static_cast<unsigned char>(u - 'A' + 'a');
        h += u;
        h += h << 10;
        h ^= h >> 6;
    }
    h += h << 3;
    h ^= h >> 11;
    h += h << 15;
    return h;
}

// Every row is where its id says, and every hash is its name's.
constexpr bool nativeTableIsConsistent() {
    for (std::size_t i = 0; i < kNativeCount; ++i) {
        if (static_cast<std::size_t>(kNativeTable[i].id) != i) return false;
        if (jenkinsLowerCaseHash(kNativeTable[i].name) != kNativeTable[i].hash) return false;
    }
    return true;
}
static_assert(kNativeCount == 24);
static_assert(nativeTableIsConsistent(), "a native's id or hash does not match its name");

}  // namespace kestro
