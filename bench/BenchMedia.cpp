#include "BenchMedia.h"

#include <stdlib.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>

#include "platform/Diagnostics.h"

namespace kestro::bench {

const std::string& mediaDir() {
    static std::string dir = [] {
        char tmpl[] = "/tmp/kestro-mpvbench-XXXXXX";
        std::string d = mkdtemp(tmpl) ? tmpl : "/tmp";
        std::string sine = " synth 30 sine 440 vol 0.5";
        int rc = std::system(("sox -n -r 44100 -c 2 -b 16 " + d + "/tone.wav" + sine + " 2>/dev/null").c_str());
        // From the file, not a pipe: lame then knows the length and writes
        // its Xing header, as encoders usually do.
        rc |= std::system(("lame --quiet -b 128 " + d + "/tone.wav " + d + "/tone.mp3").c_str());
        if (rc != 0) std::fprintf(stderr, "bench: sox/lame failed\n");
        std::setlocale(LC_NUMERIC, "C");
        platform::setDiagnosticSink([](const char*) {});
        return d;
    }();
    return dir;
}

std::string mediaFile(int which) { return mediaDir() + (which == 0 ? "/tone.mp3" : "/tone.wav"); }

}  // namespace kestro::bench
