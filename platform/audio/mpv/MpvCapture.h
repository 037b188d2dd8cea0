// The real-time WAV capture: what the libmpv cores play, written to a WAV
// file at the pace of the wall clock, as a sound card would hear it.
//
// Each core plays on the null output (its clock is the wall clock) and
// passes its decoded audio, on its own thread, through a tap: a LADSPA
// filter that this library itself provides, inserted by libmpv's lavfi
// bridge at the end of the core's audio filters. The tap converts nothing
// and keeps nothing: it copies the frames, scaled by the core's gain, into
// the core's ring. One writer thread per capture file takes 44100 frames a
// second from every ring of that file, each run of frames a fixed latency
// after it came, mixes them (silence where a ring is empty: a paused or
// stopped core) and appends them as 16-bit stereo PCM.
//
// What the capture then holds follows what was asked: a pause leaves
// silence from then on, a seek continues from the target, a volume change
// changes the amplitude from then on, a stop ends the song. The tap sees a
// frame about 60 ms before libmpv counts it as played (the null output's
// buffer), and the writer writes it kRealtimeCaptureLatencyMs after that,
// so the capture's timeline runs a constant 190 ms behind the positions
// libmpv reports; a frame decoded but dropped by a seek or a stop (at most
// 60 ms) is in the capture too.
//
// Nothing here waits on libmpv or on the file: a tap whose ring is full
// drops frames (counted, reported once), and a writer that cannot write (a
// FIFO nobody reads) holds only its own thread.
#pragma once

#include <memory>
#include <string>

namespace kestro::platform {

// A run of a core's frames is written this long after its first frames
// came, so that frames are there when they are due even when a loaded
// machine runs the core late (a core that falls further behind leaves a
// short silence, as a sound card's underrun would). The capture's own clock
// starts when its first core registers.
inline constexpr int kRealtimeCaptureLatencyMs = 250;

// One core's share of a capture: its ring, the gain its tap applies, its id
// (the value the tap is given to find it).
struct CaptureSource;

// Registers one core as a source of the capture `path`, starting the
// file's writer if it is the first source. Null when the capture cannot be
// made (the reason went to the diagnostics).
std::shared_ptr<CaptureSource> registerCaptureSource(const std::string& path, const char* role);
// The core is gone: its ring is no longer read. When it was the file's last
// source, the writer writes up to now, brings the header up to date and
// stops; this waits for that at most about one second.
void unregisterCaptureSource(const CaptureSource& source);
// The gain (0 to 1) applied by the tap to the frames that pass from now on:
// one atomic store, no lock (the tap reads it on libmpv's audio thread).
void setCaptureGain(CaptureSource& source, double gain);

// The libmpv audio filter ("af" option) that puts the tap of `source` at the
// end of a core's filters; "" when the tap cannot be loaded (the reason
// went to the diagnostics).
std::string captureTapFilter(const CaptureSource& source);

}  // namespace kestro::platform
