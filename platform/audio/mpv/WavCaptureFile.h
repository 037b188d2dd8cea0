// The WAV file both captures write (platform/audio/AudioOutput.h, "pcm:"
// and "pcm-realtime:"): one fixed format, so that every core of the
// process appends the same raw PCM to one file, and the RIFF header kept
// up to date with what is on disk.
#pragma once

#include <string>

namespace kestro::platform {

// 16-bit signed, 44100 Hz, stereo.
inline constexpr unsigned kCaptureRate = 44100;
inline constexpr unsigned kCaptureChannels = 2;
inline constexpr unsigned kCaptureBytesPerSample = 2;

// Creates the capture `path` with an empty WAV header the first time this
// process uses it (a FIFO or device is left as it is: another process reads
// the raw PCM, and opening it could block). False when it cannot be
// written. The headers of the captures created are brought up to date at
// the process's exit too.
bool startWavCapture(const std::string& path);
// Rewrites the RIFF header of `path` (a capture this process started) to
// cover the file's current size; nothing for any other file.
void patchWavCapture(const std::string& path);

}  // namespace kestro::platform
