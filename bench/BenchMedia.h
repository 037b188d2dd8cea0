// Test tones for the benchmarks, made once per run in a temporary folder:
// 30 s of 440 Hz, as mp3 (lame, 128 kbit/s) and as wav (sox).
#pragma once

#include <string>

namespace kestro::bench {

// The folder holding the tones (also sets LC_NUMERIC to "C", which libmpv
// needs, and silences the platform's diagnostics).
const std::string& mediaDir();
// 0: the mp3, 1: the wav.
std::string mediaFile(int which);

}  // namespace kestro::bench
