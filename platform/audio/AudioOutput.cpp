#include "platform/audio/AudioOutput.h"

#include <cstdlib>
#include <mutex>
#include <string_view>

#include "platform/system/Diagnostics.h"

namespace kestro::platform {

namespace {

struct OutputChoice {
    std::mutex lock;
    bool set = false;
    AudioOutput output;
};

OutputChoice& outputChoice() {
    static OutputChoice* c = new OutputChoice;
    return *c;
}

}  // namespace

bool parseAudioOutput(const char* text, AudioOutput& out) {
    if (text == nullptr) return false;
    std::string_view t(text);
    AudioOutput o;
    if (t == "auto") {
        o.kind = AudioOutput::Kind::Auto;
    } else if (t == "null") {
        o.kind = AudioOutput::Kind::Null;
    } else if (t.rfind("pcm:", 0) == 0 && t.size() > 4) {
        o.kind = AudioOutput::Kind::Pcm;
        o.file = std::string(t.substr(4));
    } else if (t.rfind("pcm-realtime:", 0) == 0 && t.size() > 13) {
        o.kind = AudioOutput::Kind::Pcm;
        o.file = std::string(t.substr(13));
        o.realtime = true;
    } else {
        return false;
    }
    out = std::move(o);
    return true;
}

std::string describeAudioOutput(const AudioOutput& output) {
    switch (output.kind) {
        case AudioOutput::Kind::Auto:
            return "auto";
        case AudioOutput::Kind::Null:
            return "null";
        case AudioOutput::Kind::Pcm:
            return (output.realtime ? "pcm-realtime:" : "pcm:") + output.file;
    }
    return "auto";
}

AudioOutput processAudioOutput() {
    OutputChoice& c = outputChoice();
    std::lock_guard<std::mutex> guard(c.lock);
    if (!c.set) {
        c.set = true;
        const char* env = std::getenv("KESTRO_AUDIO");
        if (env && !parseAudioOutput(env, c.output)) {
            diagnostic("KESTRO_AUDIO \"%s\" is not auto, null, pcm:FILE or pcm-realtime:FILE; using auto", env);
        }
    }
    return c.output;
}

void setProcessAudioOutput(const AudioOutput& output) {
    OutputChoice& c = outputChoice();
    std::lock_guard<std::mutex> guard(c.lock);
    c.set = true;
    c.output = output;
}

}  // namespace kestro::platform
