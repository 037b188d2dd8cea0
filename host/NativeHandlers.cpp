#include "host/NativeHandlers.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "host/GameWorld.h"
#include "host/Transcript.h"
#include "scripthook/HookHost.h"

namespace kestro::host {

namespace {

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

Handler handlerFor(NativeId id) {
    switch (id) {
    case NativeId::GET_PLAYER_ID:
        return [](Game& g, scripthook::NativeCall& c) { c.setIntResult(g.world.playerId()); };
    case NativeId::GET_PLAYER_CHAR:
        return [](Game& g, scripthook::NativeCall& c) {
            writeOut<std::int32_t>(c, 1, c.intArg(0) == g.world.playerId() ? g.world.playerChar() : 0);
        };
    case NativeId::IS_PLAYER_CONTROL_ON:
        return [](Game& g, scripthook::NativeCall& c) {
            c.setBoolResult(c.intArg(0) == g.world.playerId() && g.world.control());
        };
    case NativeId::IS_CHAR_IN_ANY_CAR:
        return [](Game& g, scripthook::NativeCall& c) {
            c.setBoolResult(c.intArg(0) == g.world.playerChar() && g.world.inVehicle());
        };
    case NativeId::IS_CHAR_ON_FOOT:
        return [](Game& g, scripthook::NativeCall& c) {
            c.setBoolResult(c.intArg(0) == g.world.playerChar() && !g.world.inVehicle());
        };
    case NativeId::GET_CAR_CHAR_IS_USING:
        return [](Game& g, scripthook::NativeCall& c) {
            writeOut<std::int32_t>(c, 1, c.intArg(0) == g.world.playerChar() ? g.world.vehicle() : 0);
        };
    case NativeId::DISPLAY_TEXT_WITH_LITERAL_STRING:
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
    case NativeId::PRINT_STRING_WITH_LITERAL_STRING_NOW:
        return [](Game& g, scripthook::NativeCall& c) {
            std::string text = boundedText(c.textArg(1));
            g.world.showMessage(text.c_str(), c.intArg(2));
            if (g.transcript)
                g.transcript->event("message", "%d%s%s", c.intArg(2), text.empty() ? "" : " ", text.c_str());
        };
    case NativeId::SET_TEXT_SCALE:
        return [](Game& g, scripthook::NativeCall& c) { g.world.setTextScale(c.floatArg(0), c.floatArg(1)); };
    case NativeId::SET_TEXT_DROPSHADOW:
        return [](Game& g, scripthook::NativeCall& c) {
            g.world.setTextDropShadow(c.floatArg(0), c.floatArg(1), c.boolArg(2), c.boolArg(3), c.boolArg(4));
        };
    case NativeId::DISABLE_FRONTEND_RADIO:
        return [](Game& g, scripthook::NativeCall&) {
            g.world.radio().frontendEnabled = false;
            g.radioEvent("DISABLE_FRONTEND_RADIO", "");
        };
    case NativeId::ENABLE_FRONTEND_RADIO:
        return [](Game& g, scripthook::NativeCall&) {
            g.world.radio().frontendEnabled = true;
            g.radioEvent("ENABLE_FRONTEND_RADIO", "");
        };
    case NativeId::IS_RADIO_RETUNING:
        return [](Game& g, scripthook::NativeCall& c) { c.setBoolResult(g.world.radioRetuning()); };
    case NativeId::GET_GAME_TIMER:
        return [](Game& g, scripthook::NativeCall& c) { writeOut<std::uint32_t>(c, 0, g.world.gameTime()); };
    case NativeId::IS_FRONTEND_FADING:
        return [](Game& g, scripthook::NativeCall& c) { c.setBoolResult(g.world.fading()); };
    case NativeId::SETTIMERA:
        return [](Game& g, scripthook::NativeCall& c) {
            g.world.setTimerA(scripthook::currentThread(), c.intArg(0));
        };
    case NativeId::TIMERA:
        return [](Game& g, scripthook::NativeCall& c) {
            c.setIntResult(g.world.timerA(scripthook::currentThread()));
        };
    case NativeId::GENERATE_RANDOM_INT_IN_RANGE:
        return [](Game& g, scripthook::NativeCall& c) {
            std::int32_t lower = c.intArg(0), upper = c.intArg(1);
            std::int32_t value = g.world.randomInRange(lower, upper);
            writeOut<std::int32_t>(c, 2, value);
            if (g.transcript) g.transcript->event("random", "%d %d %d", lower, upper, value);
        };
    case NativeId::SET_MOBILE_PHONE_RADIO_STATE:
        return [](Game& g, scripthook::NativeCall& c) {
            g.world.radio().mobilePhoneRadio = c.boolArg(0);
            g.radioEvent("SET_MOBILE_PHONE_RADIO_STATE", trueFalse(c.boolArg(0)));
        };
    case NativeId::SET_MOBILE_RADIO_ENABLED_DURING_GAMEPLAY:
        return [](Game& g, scripthook::NativeCall& c) {
            g.world.radio().mobileRadioDuringGameplay = c.boolArg(0);
            g.radioEvent("SET_MOBILE_RADIO_ENABLED_DURING_GAMEPLAY", trueFalse(c.boolArg(0)));
        };
    case NativeId::GET_CUTSCENE_TIME:
        return [](Game& g, scripthook::NativeCall& c) { c.setIntResult(g.world.cutsceneTime()); };
    case NativeId::HAS_CUTSCENE_FINISHED:
        return [](Game& g, scripthook::NativeCall& c) { c.setBoolResult(g.world.cutsceneFinished()); };
    case NativeId::RETUNE_RADIO_TO_STATION_NAME:
        return [](Game& g, scripthook::NativeCall& c) {
            std::string name = boundedText(c.textArg(0), 256);
            g.world.retuneTo(name.c_str());
            g.radioEvent("RETUNE_RADIO_TO_STATION_NAME", name.empty() ? std::string("\"\"") : name);
        };
    case NativeId::RETUNE_RADIO_UP:
        return [](Game& g, scripthook::NativeCall&) {
            g.world.retuneUp();
            g.radioEvent("RETUNE_RADIO_UP", "");
        };
    }
    return nullptr;
}

}  // namespace

std::span<const NativeInfo> gameNatives() { return kNativeTable; }

void registerGameNatives(GameWorld& world, Transcript* transcript) {
    for (const NativeInfo& info : kNativeTable) {
        Handler handler = handlerFor(info.id);
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
