// The libmpv back ends (the song device and the stream player,
// platform/audio/mpv/) live in a library of their own, libkestrompv.so, in
// the folder of this platform library. Mapping it maps libmpv and the two
// hundred libraries libmpv needs (about 100 ms here), so neither the
// platform library, nor the plug-in, nor the host links it: the host loads
// it on a thread of its own while its first ticks run.
//
// AudioBackEnds does that load and hands out stand-ins for the two back
// ends, to be installed at once (setMciInterpreter, setStreamPlayer). A
// stand-in forwards every call to the real back end once it is there; a
// call made before that waits for it (the first song start right after
// start-up), at most kBackEndWaitMs in all: when the load takes longer, or
// fails (reported through the diagnostics), the song device answers
// MCIERR_CANNOT_LOAD_DRIVER and the stream player cannot be created, as
// when libmpv cannot be set up, without waiting again.
//
// Threads: the stand-ins are called on the script thread; the load runs on
// a thread of its own, which makes the back ends (their libmpv cores) too.
// The back ends are torn down on the thread that drops the last stand-in
// (their own bounded teardown), after the load's thread has ended.
#pragma once

#include <memory>
#include <string>

#include "platform/audio/AudioOutput.h"
#include "platform/audio/Mci.h"
#include "platform/audio/StreamPlayer.h"

namespace kestro::platform {

inline constexpr int kBackEndWaitMs = 3000;
inline constexpr const char* kBackEndLibrary = "libkestrompv.so";

// What libkestrompv.so exports (as "kestroAudioBackEnds").
struct AudioBackEndEntry {
    std::shared_ptr<MciInterpreter> (*makeSongDevice)(const AudioOutput& output, bool extraFormats);
    std::shared_ptr<StreamPlayer> (*makeStreamPlayer)(const AudioOutput& output);
};
using AudioBackEndEntryFunction = const AudioBackEndEntry* (*)();
inline constexpr const char* kBackEndEntryName = "kestroAudioBackEnds";

class AudioBackEnds {
public:
    // Nothing is loaded before start() (or the first call of a stand-in).
    // `library`: the back ends' library to load; empty: kBackEndLibrary in
    // the platform library's folder.
    // `extraFormats`: the song device takes FLAC, Ogg Vorbis and Opus too
    // (the ExtraFormats setting, platform/audio/mpv/SongFormats.h).
    AudioBackEnds(const AudioOutput& output, bool songDevice, bool streamPlayer, bool extraFormats = false,
                  std::string library = {});
    ~AudioBackEnds();
    AudioBackEnds(const AudioBackEnds&) = delete;
    AudioBackEnds& operator=(const AudioBackEnds&) = delete;

    // Starts the load on its own thread (once).
    void start();
    // The stand-ins (null for a back end not asked for). They keep what
    // they need alive by themselves.
    std::shared_ptr<MciInterpreter> songDevice() const { return songDevice_; }
    std::shared_ptr<StreamPlayer> streamPlayer() const { return streamPlayer_; }

    struct Load;

private:
    std::shared_ptr<Load> load_;
    std::shared_ptr<MciInterpreter> songDevice_;
    std::shared_ptr<StreamPlayer> streamPlayer_;
};

}  // namespace kestro::platform
