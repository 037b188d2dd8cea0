// A helper process for the hostile-song tests, run under strace by them:
// it plays REFERENCE on the real song device (null output), so that its
// memory is that of a process playing a song, then tries FILE and prints one
// line of what happened:
//
//   kestro_song_probe [--bare] REFERENCE FILE [REPEATS]
//   -> "open=RC play=RC length=MS grown_kb=N"
//
// FILE is opened REPEATS times (default 1); each successful open is played
// for a second, each failed one is followed by 200 ms in which a core that
// went on loading something would do so. With --bare, FILE is loaded by a
// bare libmpv core with the song core's options and no check of its
// content (open=0 when it loaded, 1 when not), so that what the options
// alone refuse is seen. grown_kb: the peak resident size above the size
// while the reference played. The device's diagnostic lines go to stderr.
#include <mpv/client.h>

#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "platform/audio/mpv/MpvMciDevice.h"

using namespace kestro::platform;
using Clock = std::chrono::steady_clock;

namespace {

long statusKb(const char* key) {
    std::FILE* f = std::fopen("/proc/self/status", "r");
    if (!f) return -1;
    char line[256];
    long value = -1;
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, key, std::strlen(key)) == 0) value = std::atol(line + std::strlen(key));
    }
    std::fclose(f);
    return value;
}

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

MciError send(MciInterpreter& d, const std::string& command, long* number = nullptr) {
    char reply[64] = "";
    const MciError rc = d.send(command.c_str(), reply, sizeof reply);
    if (number) *number = std::atol(reply);
    return rc;
}

// Loads `file` on a core with the song core's options; true when it loaded
// within the open's bound.
bool bareLoad(const char* file) {
    mpv_handle* h = mpv_create();
    for (const auto& [name, value] : mpvSharedOptions()) mpv_set_option_string(h, name, value);
    for (const auto& [name, value] : mpvSongOptions()) mpv_set_option_string(h, name, value);
    mpv_set_option_string(h, "ao", "null");
    mpv_set_option_string(h, "pause", "yes");
    bool loaded = false;
    if (mpv_initialize(h) >= 0) {
        const char* cmd[] = {"loadfile", file, "replace", nullptr};
        mpv_command(h, cmd);
        const auto end = Clock::now() + std::chrono::milliseconds(kOpenTimeoutMs);
        // A redirect (a playlist, an archive) goes on to its entries.
        for (bool done = false; !done && Clock::now() < end;) {
            const mpv_event* e = mpv_wait_event(h, 0.05);
            const auto* ended = e->event_id == MPV_EVENT_END_FILE ? static_cast<const mpv_event_end_file*>(e->data) : nullptr;
            loaded = e->event_id == MPV_EVENT_FILE_LOADED;
            done = loaded || (ended && ended->reason != MPV_END_FILE_REASON_REDIRECT);
        }
        sleepMs(200);
    }
    mpv_terminate_destroy(h);
    return loaded;
}

}  // namespace

int main(int argc, char** argv) {
    const bool bare = argc > 1 && std::strcmp(argv[1], "--bare") == 0;
    if (argc < 3 + bare) {
        std::fprintf(stderr, "usage: kestro_song_probe [--bare] REFERENCE FILE [REPEATS]\n");
        return 2;
    }
    const std::string reference = argv[1 + bare], file = argv[2 + bare];
    const int repeats = argc > 3 + bare ? std::atoi(argv[3 + bare]) : 1;
    std::setlocale(LC_NUMERIC, "C");
    AudioOutput null;
    null.kind = AudioOutput::Kind::Null;

    long openRc = -1, playRc = -1, length = -1, grownKb = -1;
    {
        auto d = makeMpvMciDevice(null);
        if (send(*d, "open \"" + reference + "\" alias Ref") != 0 || send(*d, "play Ref") != 0) return 3;
        sleepMs(200);
        send(*d, "close Ref");
        const long playingKb = statusKb("VmHWM:");
        for (int i = 0; i < repeats; ++i) {
            if (bare) {
                openRc = bareLoad(file.c_str()) ? 0 : 1;
                continue;
            }
            openRc = send(*d, "open \"" + file + "\" alias Song");
            if (openRc != 0) {
                sleepMs(200);
                continue;
            }
            send(*d, "status Song length", &length);
            playRc = send(*d, "play Song");
            sleepMs(1000);
            send(*d, "close Song");
        }
        grownKb = statusKb("VmHWM:") - playingKb;
    }  // the device's teardown reports a core that does not stop in time
    std::printf("open=%ld play=%ld length=%ld grown_kb=%ld\n", openRc, playRc, length, grownKb);
    return 0;
}
