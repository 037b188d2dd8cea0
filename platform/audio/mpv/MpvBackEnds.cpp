// The entry point of libkestrompv.so (platform/audio/AudioBackEnds.h).
#include "platform/audio/AudioBackEnds.h"
#include "platform/audio/mpv/MpvMciDevice.h"
#include "platform/audio/mpv/MpvStreamPlayer.h"

extern "C" __attribute__((visibility("default"))) const kestro::platform::AudioBackEndEntry* kestroAudioBackEnds() {
    static const kestro::platform::AudioBackEndEntry entry = {&kestro::platform::makeMpvMciDevice,
                                                              &kestro::platform::makeMpvStreamPlayer};
    return &entry;
}
