#include "host/Natives.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "host/GameWorld.h"
#include "host/Transcript.h"
#include "scripthook/HookHost.h"

namespace kestro::host {

namespace {

constexpr NativeInfo kNatives[] = {
    {"GET_PLAYER_ID", 0x1CC648EA, 0},
    {"GET_PLAYER_CHAR", 0x6B86410E, 2},
    {"IS_PLAYER_CONTROL_ON", 0x618857F2, 1},
    {"IS_CHAR_IN_ANY_CAR", 0x74C3E7A5, 1},
    {"IS_CHAR_ON_FOOT", 0x84BD7342, 1},
    {"GET_CAR_CHAR_IS_USING", 0x73EA87E1, 2},
    {"DISPLAY_TEXT_WITH_LITERAL_STRING", 0x247F4D85, 4},
    {"PRINT_STRING_WITH_LITERAL_STRING_NOW", 0x40D7612D, 4},
    {"SET_TEXT_SCALE", 0xB6E15B23, 2},
    {"SET_TEXT_DROPSHADOW", 0xE6587517, 5},
    {"DISABLE_FRONTEND_RADIO", 0x88ECCAB4, 0},
    {"ENABLE_FRONTEND_RADIO", 0x370C9EE0, 0},
    {"IS_RADIO_RETUNING", 0xCF29097B, 0},
    {"GET_GAME_TIMER", 0xA4EA0691, 1},
    {"IS_FRONTEND_FADING", 0x8FF6232C, 0},
    {"SETTIMERA", 0x35785333, 1},
    {"TIMERA", 0x45C8C188, 0},
    {"GENERATE_RANDOM_INT_IN_RANGE", 0xC37DF274, 3},
    {"SET_MOBILE_PHONE_RADIO_STATE", 0xE1E0ED34, 1},
    {"SET_MOBILE_RADIO_ENABLED_DURING_GAMEPLAY", 0x990085F0, 1},
    {"GET_CUTSCENE_TIME", 0x53F5B5AB, 0},
    {"HAS_CUTSCENE_FINISHED", 0x5DED14B4, 0},
    {"RETUNE_RADIO_TO_STATION_NAME", 0x6E7E4D33, 1},
    {"RETUNE_RADIO_UP", 0xB68CAB02, 0},
};

const char* onOff(bool on) { return on ? "on" : "off"; }

// Everything the handlers share.
struct Game {
    GameWorld& world;
    Transcript* transcript;

    // "radio NATIVE ARG station=S frontend=on phone=off gameplay=off"
    void radioEvent(const char* native, const std::string& argument) {
        if (!transcript) return;
        const RadioState& r = world.radio();
        transcript->event("radio", "%s %s station=%s frontend=%s phone=%s gameplay=%s", native,
                          argument.empty() ? "-" : argument.c_str(),
                          GameWorld::stationName(r.station).c_str(), onOff(r.frontendEnabled),
                          onOff(r.mobilePhoneRadio), onOff(r.mobileRadioDuringGameplay));
    }
};

using Handler = void (*)(Game&, scripthook::NativeCall&);

template <class T>
void writeOut(scripthook::NativeCall& call, int slot, T value) {
    if (T* out = call.outArg<T>(slot)) std::memcpy(out, &value, sizeof value);
}

const char* trueFalse(bool b) { return b ? "true" : "false"; }

Handler handlerFor(std::uint32_t hash) {
    switch (hash) {
    case 0x1CC648EA:  // GET_PLAYER_ID
        return [](Game& g, scripthook::NativeCall& c) { c.setIntResult(g.world.playerId()); };
    case 0x6B86410E:  // GET_PLAYER_CHAR
        return [](Game& g, scripthook::NativeCall& c) {
            writeOut<std::int32_t>(c, 1, c.intArg(0) == g.world.playerId() ? g.world.playerChar() : 0);
        };
    case 0x618857F2:  // IS_PLAYER_CONTROL_ON
        return [](Game& g, scripthook::NativeCall& c) {
            c.setBoolResult(c.intArg(0) == g.world.playerId() && g.world.control());
        };
    case 0x74C3E7A5:  // IS_CHAR_IN_ANY_CAR
        return [](Game& g, scripthook::NativeCall& c) {
            c.setBoolResult(c.intArg(0) == g.world.playerChar() && g.world.inVehicle());
        };
    case 0x84BD7342:  // IS_CHAR_ON_FOOT
        return [](Game& g, scripthook::NativeCall& c) {
            c.setBoolResult(c.intArg(0) == g.world.playerChar() && !g.world.inVehicle());
        };
    case 0x73EA87E1:  // GET_CAR_CHAR_IS_USING
        return [](Game& g, scripthook::NativeCall& c) {
            writeOut<std::int32_t>(c, 1, c.intArg(0) == g.world.playerChar() ? g.world.vehicle() : 0);
        };
    case 0x247F4D85:  // DISPLAY_TEXT_WITH_LITERAL_STRING
        return [](Game& g, scripthook::NativeCall& c) {
            const DrawnText* d = g.world.displayText(c.floatArg(0), c.floatArg(1), c.textArg(3));
            if (!d || !g.transcript || !g.transcript->traceDraw()) return;
            char scale[64] = "-";
            char shadow[96] = "-";
            if (d->hasScale) std::snprintf(scale, sizeof scale, "%g,%g", d->scaleX, d->scaleY);
            if (d->hasShadow)
                std::snprintf(shadow, sizeof shadow, "%g,%g,%d,%d,%d", d->shadowA, d->shadowB,
                              d->shadowFlags[0], d->shadowFlags[1], d->shadowFlags[2]);
            g.transcript->event("draw", "%g %g scale=%s shadow=%s%s%s", d->x, d->y, scale, shadow,
                                d->text.empty() ? "" : " ", d->text.c_str());
        };
    case 0x40D7612D:  // PRINT_STRING_WITH_LITERAL_STRING_NOW
        return [](Game& g, scripthook::NativeCall& c) {
            std::string text = boundedText(c.textArg(1));
            g.world.showMessage(text.c_str(), c.intArg(2));
            if (g.transcript)
                g.transcript->event("message", "%d%s%s", c.intArg(2), text.empty() ? "" : " ", text.c_str());
        };
    case 0xB6E15B23:  // SET_TEXT_SCALE
        return [](Game& g, scripthook::NativeCall& c) { g.world.setTextScale(c.floatArg(0), c.floatArg(1)); };
    case 0xE6587517:  // SET_TEXT_DROPSHADOW
        return [](Game& g, scripthook::NativeCall& c) {
            g.world.setTextDropShadow(c.floatArg(0), c.floatArg(1), c.boolArg(2), c.boolArg(3), c.boolArg(4));
        };
    case 0x88ECCAB4:  // DISABLE_FRONTEND_RADIO
        return [](Game& g, scripthook::NativeCall&) {
            g.world.radio().frontendEnabled = false;
            g.radioEvent("DISABLE_FRONTEND_RADIO", "");
        };
    case 0x370C9EE0:  // ENABLE_FRONTEND_RADIO
        return [](Game& g, scripthook::NativeCall&) {
            g.world.radio().frontendEnabled = true;
            g.radioEvent("ENABLE_FRONTEND_RADIO", "");
        };
    case 0xCF29097B:  // IS_RADIO_RETUNING
        return [](Game& g, scripthook::NativeCall& c) { c.setBoolResult(g.world.radioRetuning()); };
    case 0xA4EA0691:  // GET_GAME_TIMER
        return [](Game& g, scripthook::NativeCall& c) { writeOut<std::uint32_t>(c, 0, g.world.gameTime()); };
    case 0x8FF6232C:  // IS_FRONTEND_FADING
        return [](Game& g, scripthook::NativeCall& c) { c.setBoolResult(g.world.fading()); };
    case 0x35785333:  // SETTIMERA
        return [](Game& g, scripthook::NativeCall& c) {
            g.world.setTimerA(scripthook::currentThread(), c.intArg(0));
        };
    case 0x45C8C188:  // TIMERA
        return [](Game& g, scripthook::NativeCall& c) {
            c.setIntResult(g.world.timerA(scripthook::currentThread()));
        };
    case 0xC37DF274:  // GENERATE_RANDOM_INT_IN_RANGE
        return [](Game& g, scripthook::NativeCall& c) {
            std::int32_t lower = c.intArg(0), upper = c.intArg(1);
            std::int32_t value = g.world.randomInRange(lower, upper);
            writeOut<std::int32_t>(c, 2, value);
            if (g.transcript) g.transcript->event("random", "%d %d %d", lower, upper, value);
        };
    case 0xE1E0ED34:  // SET_MOBILE_PHONE_RADIO_STATE
        return [](Game& g, scripthook::NativeCall& c) {
            g.world.radio().mobilePhoneRadio = c.boolArg(0);
            g.radioEvent("SET_MOBILE_PHONE_RADIO_STATE", trueFalse(c.boolArg(0)));
        };
    case 0x990085F0:  // SET_MOBILE_RADIO_ENABLED_DURING_GAMEPLAY
        return [](Game& g, scripthook::NativeCall& c) {
            g.world.radio().mobileRadioDuringGameplay = c.boolArg(0);
            g.radioEvent("SET_MOBILE_RADIO_ENABLED_DURING_GAMEPLAY", trueFalse(c.boolArg(0)));
        };
    case 0x53F5B5AB:  // GET_CUTSCENE_TIME
        return [](Game& g, scripthook::NativeCall& c) { c.setIntResult(g.world.cutsceneTime()); };
    case 0x5DED14B4:  // HAS_CUTSCENE_FINISHED
        return [](Game& g, scripthook::NativeCall& c) { c.setBoolResult(g.world.cutsceneFinished()); };
    case 0x6E7E4D33:  // RETUNE_RADIO_TO_STATION_NAME
        return [](Game& g, scripthook::NativeCall& c) {
            std::string name = boundedText(c.textArg(0), 256);
            g.world.retuneTo(name.c_str());
            g.radioEvent("RETUNE_RADIO_TO_STATION_NAME", name.empty() ? std::string("\"\"") : name);
        };
    case 0xB68CAB02:  // RETUNE_RADIO_UP
        return [](Game& g, scripthook::NativeCall&) {
            g.world.retuneUp();
            g.radioEvent("RETUNE_RADIO_UP", "");
        };
    default:
        return nullptr;
    }
}

}  // namespace

std::span<const NativeInfo> gameNatives() { return kNatives; }

void registerGameNatives(GameWorld& world, Transcript* transcript) {
    for (const NativeInfo& info : kNatives) {
        Handler handler = handlerFor(info.hash);
        if (!handler) continue;
        scripthook::registerNative(
            info.hash, info.name,
            [game = Game{world, transcript}, handler, info](scripthook::NativeCall& call) mutable {
                if (call.argCount() < info.argCount) {
                    if (game.transcript)
                        game.transcript->event("native-error", "%s expects %u arguments, got %u", info.name,
                                               info.argCount, call.argCount());
                    return;
                }
                handler(game, call);
            });
    }
}

}  // namespace kestro::host
