// Test tones for the benchmarks, made once per run in a temporary folder:
// 30 s of 440 Hz in each accepted format: mp3 (lame, 128 kbit/s), wav,
// aif and au (sox), wma and m4a (ffmpeg, 128 kbit/s).
#pragma once

#include <string>

namespace kestro::bench {

// The folder holding the tones (also sets LC_NUMERIC to "C", which libmpv
// needs, and silences the platform's diagnostics).
const std::string& mediaDir();
// 0: the mp3, 1: the wav, 2: wma, 3: aif, 4: au, 5: m4a; 6: flac, 7: ogg
// (Vorbis), 8: opus (ffmpeg).
inline constexpr int kMediaFormats = 6;
// With the three the ExtraFormats setting adds (flac, ogg, opus), after them.
inline constexpr int kAllMediaFormats = 9;
std::string mediaFile(int which);
// The extension of mediaFile(which).
const char* mediaFormat(int which);

}  // namespace kestro::bench
