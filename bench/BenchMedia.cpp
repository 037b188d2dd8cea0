#include "BenchMedia.h"

#include <stdlib.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>

#include "platform/system/Diagnostics.h"

namespace kestro::bench {

namespace {

// The benchmarks' back ends say nothing worth a line in their figures.
class Quiet : public platform::DiagnosticSink {
public:
    void report(const char*) override {}
};

}  // namespace

const std::string& mediaDir() {
    static std::string dir = [] {
        char tmpl[] = "/tmp/kestro-mpvbench-XXXXXX";
        std::string d = mkdtemp(tmpl) ? tmpl : "/tmp";
        std::string sine = " synth 30 sine 440 vol 0.5";
        int rc = std::system(("sox -n -r 44100 -c 2 -b 16 " + d + "/tone.wav" + sine + " 2>/dev/null").c_str());
        // From the file, not a pipe: lame then knows the length and writes
        // its Xing header, as encoders usually do.
        rc |= std::system(("lame --quiet -b 128 " + d + "/tone.wav " + d + "/tone.mp3").c_str());
        // The other accepted formats, 30 s of the same tone each.
        const std::string ff = "ffmpeg -nostdin -v error -y -f lavfi -i 'sine=frequency=440:duration=30:sample_rate=44100' "
                               "-af volume=0.5 ";
        rc |= std::system((ff + "-c:a wmav2 -b:a 128k -f asf " + d + "/tone.wma").c_str());
        rc |= std::system(("sox -n -r 44100 -c 2 -b 16 -t aiff " + d + "/tone.aif" + sine + " 2>/dev/null").c_str());
        rc |= std::system(("sox -n -r 44100 -c 1 -b 16 -t au " + d + "/tone.au" + sine + " 2>/dev/null").c_str());
        rc |= std::system((ff + "-c:a aac -b:a 128k -f ipod " + d + "/tone.m4a").c_str());
        // The formats the ExtraFormats setting adds.
        rc |= std::system((ff + "-ac 2 -c:a flac " + d + "/tone.flac").c_str());
        rc |= std::system((ff + "-ac 2 -c:a libvorbis -q:a 4 " + d + "/tone.ogg").c_str());
        rc |= std::system((ff + "-ac 2 -c:a libopus -b:a 128k " + d + "/tone.opus").c_str());
        if (rc != 0) std::fprintf(stderr, "bench: sox/lame/ffmpeg failed\n");
        std::setlocale(LC_NUMERIC, "C");
        if (!std::getenv("KESTRO_BENCH_VERBOSE")) platform::setDiagnosticSink(std::make_shared<Quiet>());
        return d;
    }();
    return dir;
}

const char* mediaFormat(int which) {
    static const char* const kFormats[] = {"mp3", "wav", "wma", "aif", "au", "m4a", "flac", "ogg", "opus"};
    static_assert(sizeof kFormats / sizeof kFormats[0] == kAllMediaFormats);
    return which >= 0 && which < kAllMediaFormats ? kFormats[which] : "mp3";
}

std::string mediaFile(int which) { return mediaDir() + "/tone." + mediaFormat(which); }

}  // namespace kestro::bench
