#include "platform/audio/AudioBackEnds.h"

#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "platform/system/Diagnostics.h"
#include "platform/system/Text.h"

namespace kestro::platform {

namespace {

using Clock = std::chrono::steady_clock;

// The back ends' library: in this library's folder (the build's, or where
// both were installed), else by name.
std::string backEndLibraryPath() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<const void*>(&backEndLibraryPath), &info) != 0 && info.dli_fname != nullptr) {
        const std::string self = info.dli_fname;
        const std::size_t slash = self.rfind('/');
        if (slash != std::string::npos) return self.substr(0, slash + 1) + kBackEndLibrary;
    }
    return kBackEndLibrary;
}

}  // namespace

struct AudioBackEnds::Load {
    Load(const AudioOutput& o, bool song, bool stream, bool extra, std::string library)
        : output(o), wantSong(song), wantStream(stream), extraFormats(extra), path(library.empty() ? backEndLibraryPath() : std::move(library)) {}
    ~Load() {
        if (thread.joinable()) thread.join();
        streamPlayer.reset();
        songDevice.reset();
    }

    void start() {
        std::lock_guard<std::mutex> guard(lock);
        if (started) return;
        started = true;
        try {
            thread = std::thread([this] { run(); });
        } catch (...) {
            diagnostic("audio back ends: no thread to load them on");
            finished = true;
            ready.store(true, std::memory_order_release);
        }
    }

    // The load's thread.
    void run() {
        std::shared_ptr<MciInterpreter> song;
        std::shared_ptr<StreamPlayer> stream;
        // Never unloaded: libmpv's threads and the capture's tap (which
        // libavfilter loads by this library's path) may outlive any owner.
        if (void* library = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE)) {
            const auto entry = reinterpret_cast<AudioBackEndEntryFunction>(::dlsym(library, kBackEndEntryName));
            const AudioBackEndEntry* backEnds = entry ? entry() : nullptr;
            if (backEnds == nullptr) {
                diagnostic("audio back ends: %s has no %s", path.c_str(), kBackEndEntryName);
            } else {
                if (wantSong) song = backEnds->makeSongDevice(output, extraFormats);
                if (wantStream) stream = backEnds->makeStreamPlayer(output);
            }
        } else {
            const char* why = ::dlerror();
            diagnostic("audio back ends: cannot load %s: %s", path.c_str(), why ? why : "unknown error");
        }
        {
            std::lock_guard<std::mutex> guard(lock);
            songDevice = std::move(song);
            streamPlayer = std::move(stream);
            finished = true;
            ready.store(true, std::memory_order_release);
        }
        done.notify_all();
    }

    // The script thread: true once the back ends are there, or their load
    // ended; waits kBackEndWaitMs in all at most (then never again).
    bool wait() {
        if (ready.load(std::memory_order_acquire)) return true;
        if (gaveUp) return false;
        start();
        std::unique_lock<std::mutex> guard(lock);
        if (deadline == Clock::time_point{}) deadline = Clock::now() + std::chrono::milliseconds(kBackEndWaitMs);
        if (done.wait_until(guard, deadline, [this] { return finished; })) return true;
        gaveUp = true;
        diagnostic("audio back ends: not loaded within %d ms; no sound until they are", kBackEndWaitMs);
        return false;
    }

    MciInterpreter* song() { return wait() ? songDevice.get() : nullptr; }
    StreamPlayer* stream() { return wait() ? streamPlayer.get() : nullptr; }
    // The back end if it is there now, never waiting.
    MciInterpreter* songIfReady() const {
        return ready.load(std::memory_order_acquire) ? songDevice.get() : nullptr;
    }

    const AudioOutput output;
    const bool wantSong;
    const bool wantStream;
    const bool extraFormats;
    const std::string path;
    std::mutex lock;
    std::condition_variable done;
    std::thread thread;
    bool started = false;
    bool finished = false;
    std::atomic<bool> ready{false};  // finished, the two below final
    std::shared_ptr<MciInterpreter> songDevice;
    std::shared_ptr<StreamPlayer> streamPlayer;
    // The script thread's.
    Clock::time_point deadline{};
    bool gaveUp = false;
};

namespace {

class SongDeviceStandIn : public MciInterpreter {
public:
    explicit SongDeviceStandIn(std::shared_ptr<AudioBackEnds::Load> load) : load_(std::move(load)) {}
    MciError send(const char* command, char* reply, unsigned replySize) override {
        if (MciInterpreter* d = load_->song()) return d->send(command, reply, replySize);
        copyBounded(reply, replySize, "");
        return MCIERR_CANNOT_LOAD_DRIVER;
    }
    bool errorText(MciError error, char* text, unsigned textSize) override {
        if (MciInterpreter* d = load_->songIfReady()) return d->errorText(error, text, textSize);
        return MciInterpreter::errorText(error, text, textSize);
    }
    // No song can be open before a command reached the device.
    MciError takeLateFailure() override {
        MciInterpreter* d = load_->songIfReady();
        return d ? d->takeLateFailure() : 0;
    }

private:
    std::shared_ptr<AudioBackEnds::Load> load_;
};

class StreamPlayerStandIn : public StreamPlayer {
public:
    explicit StreamPlayerStandIn(std::shared_ptr<AudioBackEnds::Load> load)
        : load_(std::move(load)), silent_(makeSilentStreamPlayer()) {}
    bool create() override {
        StreamPlayer* p = load_->stream();
        return p && p->create();
    }
    void destroy() override { player().destroy(); }
    void setUrl(const std::string& url) override { player().setUrl(url); }
    void setLoop(bool on) override { player().setLoop(on); }
    void setAutoStart(bool on) override { player().setAutoStart(on); }
    void setVolume(int volume0to100) override { player().setVolume(volume0to100); }
    int volume() override { return player().volume(); }
    void play() override { player().play(); }
    void pause() override { player().pause(); }
    void stop() override { player().stop(); }
    void next() override { player().next(); }
    void previous() override { player().previous(); }
    double durationSeconds() override { return player().durationSeconds(); }
    bool attribute(const char* name, std::string& value) override { return player().attribute(name, value); }

private:
    StreamPlayer& player() {
        StreamPlayer* p = load_->stream();
        return p ? *p : *silent_;
    }
    std::shared_ptr<AudioBackEnds::Load> load_;
    std::shared_ptr<StreamPlayer> silent_;  // until, or unless, the real one is there
};

}  // namespace

AudioBackEnds::AudioBackEnds(const AudioOutput& output, bool songDevice, bool streamPlayer, bool extraFormats,
                             std::string library)
    : load_(std::make_shared<Load>(output, songDevice, streamPlayer, extraFormats, std::move(library))) {
    if (songDevice) songDevice_ = std::make_shared<SongDeviceStandIn>(load_);
    if (streamPlayer) streamPlayer_ = std::make_shared<StreamPlayerStandIn>(load_);
}

AudioBackEnds::~AudioBackEnds() = default;

void AudioBackEnds::start() { load_->start(); }

}  // namespace kestro::platform
