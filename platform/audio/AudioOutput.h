// Where the decoded audio of the libmpv back ends goes, chosen once per
// process: the host sets it from its command line; a plug-in outside the
// host reads KESTRO_AUDIO. Part of the platform library, so that the choice
// can be made and parsed without loading the back ends.
#pragma once

#include <string>

namespace kestro::platform {

struct AudioOutput {
    enum class Kind { Auto, Null, Pcm };
    Kind kind = Kind::Auto;
    std::string file;  // Pcm: the WAV capture file
    // Pcm: the capture is paced to the wall clock (platform/audio/mpv/MpvCapture.h):
    // the cores play in real time on the null output and the capture holds
    // what was heard, pauses, seeks and volume changes included. Otherwise
    // the capture is written as fast as the audio decodes (a 3-minute song
    // in a fraction of a second) and holds every song whole.
    bool realtime = false;
};

// Reads "auto", "null", "pcm:FILE" or "pcm-realtime:FILE". False (and `out`
// untouched) for anything else, including an empty FILE.
bool parseAudioOutput(const char* text, AudioOutput& out);
// The text form of `output` (the inverse of parseAudioOutput).
std::string describeAudioOutput(const AudioOutput& output);

// The process's choice: the last one set, else KESTRO_AUDIO when it parses
// (a value that does not parse is reported once and ignored), else Auto.
AudioOutput processAudioOutput();
void setProcessAudioOutput(const AudioOutput& output);

}  // namespace kestro::platform
