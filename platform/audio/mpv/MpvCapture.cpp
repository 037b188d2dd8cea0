#include "platform/audio/mpv/MpvCapture.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <ladspa.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/system/Diagnostics.h"
#include "platform/audio/mpv/WavCaptureFile.h"

namespace kestro::platform {

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned kRate = kCaptureRate;
// Frames a ring holds: about three seconds, far more than what a run keeps
// in it (the latency and the tap's lead over the output).
constexpr std::size_t kRingFrames = 1u << 17;
// The writer's step: it wakes this often and writes the frames then due.
constexpr auto kWriterStep = std::chrono::milliseconds(10);
// How often the writer rewrites the WAV header of a regular file.
constexpr auto kHeaderEvery = std::chrono::milliseconds(500);

// Chunks a ring remembers the arrival of (a tap's chunk is about 1000
// frames, so far more than the frames a ring holds).
constexpr std::size_t kRingChunks = 1u << 12;

std::int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// One producer (the core's audio thread, through the tap) and one consumer
// (the file's writer): interleaved stereo float frames, and when each chunk
// of them arrived.
//
// The writer plays a ring out as a sound card plays its buffer: a run of
// frames starts kRealtimeCaptureLatencyMs after its first chunk arrived and
// goes on at 44100 frames a second while frames keep coming. When the ring
// runs dry (a pause, a stop, or a core late by more than the latency) the
// run ends, and the next run starts that long after its own first chunk. So
// the capture keeps the gaps between runs as they were, and a core that is
// a little late never shifts what follows.
class FrameRing {
public:
    FrameRing() : data_(kRingFrames * 2), chunks_(kRingChunks) {}

    // Appends what fits; returns the frames that did not.
    std::size_t push(const float* left, const float* right, std::size_t frames, float gain) {
        const std::size_t head = head_.load(std::memory_order_relaxed);
        const std::size_t tail = tail_.load(std::memory_order_acquire);
        const std::size_t chunkHead = chunkHead_.load(std::memory_order_relaxed);
        if (chunkHead - chunkTail_.load(std::memory_order_acquire) >= kRingChunks) return frames;
        const std::size_t room = kRingFrames - (head - tail);
        const std::size_t n = std::min(room, frames);
        if (n == 0) return frames;
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t at = ((head + i) % kRingFrames) * 2;
            data_[at] = left[i] * gain;
            data_[at + 1] = right[i] * gain;
        }
        chunks_[chunkHead % kRingChunks] = Chunk{head, nowNs()};
        chunkHead_.store(chunkHead + 1, std::memory_order_release);
        head_.store(head + n, std::memory_order_release);
        return frames - n;
    }

    // Adds this ring's share of the `frames` output frames that start at
    // the wall time `startNs` into `mix` (interleaved).
    void mixInto(float* mix, std::size_t frames, std::int64_t startNs) {
        const std::int64_t latencyNs = std::int64_t{kRealtimeCaptureLatencyMs} * 1000000;
        std::size_t pos = 0;
        while (pos < frames) {
            std::size_t tail = tail_.load(std::memory_order_relaxed);
            const std::size_t head = head_.load(std::memory_order_acquire);
            if (tail == head) {
                running_ = false;  // dry: the run ends
                return;
            }
            if (!running_) {
                // The chunk that holds the oldest frame: the last one that
                // starts at or before it.
                const std::size_t chunkHead = chunkHead_.load(std::memory_order_acquire);
                std::size_t chunkTail = chunkTail_.load(std::memory_order_relaxed);
                while (chunkHead - chunkTail > 1 && chunks_[(chunkTail + 1) % kRingChunks].first <= tail) ++chunkTail;
                chunkTail_.store(chunkTail, std::memory_order_release);
                const std::int64_t due = chunks_[chunkTail % kRingChunks].arrivedNs + latencyNs;
                const std::int64_t at = startNs + static_cast<std::int64_t>(pos) * 1000000000 / kRate;
                if (due > at) {
                    const std::size_t wait = static_cast<std::size_t>((due - startNs) * kRate / 1000000000);
                    if (wait >= frames) return;
                    pos = std::max(pos, wait);
                }
                running_ = true;
            }
            const std::size_t n = std::min(head - tail, frames - pos);
            for (std::size_t i = 0; i < n; ++i) {
                const std::size_t at = ((tail + i) % kRingFrames) * 2;
                mix[2 * (pos + i)] += data_[at];
                mix[2 * (pos + i) + 1] += data_[at + 1];
            }
            pos += n;
            tail += n;
            tail_.store(tail, std::memory_order_release);
            // Chunks wholly taken are forgotten.
            const std::size_t chunkHead = chunkHead_.load(std::memory_order_acquire);
            std::size_t chunkTail = chunkTail_.load(std::memory_order_relaxed);
            while (chunkHead - chunkTail > 1 && chunks_[(chunkTail + 1) % kRingChunks].first <= tail) ++chunkTail;
            chunkTail_.store(chunkTail, std::memory_order_release);
        }
    }

private:
    struct Chunk {
        std::size_t first = 0;  // the index of its first frame
        std::int64_t arrivedNs = 0;
    };
    std::vector<float> data_;
    std::atomic<std::size_t> head_{0};
    std::atomic<std::size_t> tail_{0};
    std::vector<Chunk> chunks_;
    std::atomic<std::size_t> chunkHead_{0};
    std::atomic<std::size_t> chunkTail_{0};
    bool running_ = false;  // the writer's: a run is being played out
};

}  // namespace

struct CaptureSource {
    int id = 0;
    std::string path;
    char role[32] = "";
    FrameRing ring;
    std::atomic<float> gain{1.0f};
    std::atomic<std::uint64_t> dropped{0};
    std::atomic<bool> dropReported{false};
};

namespace {

using Source = CaptureSource;

// One capture file and the thread that writes it.
struct Writer {
    std::string path;
    std::mutex lock;  // sources, stop, finished
    std::condition_variable changed;
    std::vector<std::shared_ptr<Source>> sources;
    bool stop = false;
    bool finished = false;
};

struct Registry {
    std::mutex lock;
    int nextId = 1;
    std::map<int, std::shared_ptr<Source>> sources;
    std::map<std::string, std::shared_ptr<Writer>> writers;  // running writers by path
};

Registry& registry() {
    static Registry* r = new Registry;  // used by detached writers up to the process's exit
    return *r;
}

std::shared_ptr<Source> findSource(int id) {
    Registry& r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    auto it = r.sources.find(id);
    return it == r.sources.end() ? nullptr : it->second;
}

bool writeAll(int fd, const unsigned char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// The writer: from `start` on, 44100 frames a second, mixed from the rings.
void runWriter(std::shared_ptr<Writer> w, Clock::time_point start) {
    // A FIFO's open waits for its reader: only this thread waits.
    const int fd = ::open(w->path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    struct stat st;
    const bool regular = fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (fd < 0) diagnostic("capture: cannot write \"%s\": %s", w->path.c_str(), std::strerror(errno));

    std::uint64_t written = 0;
    std::vector<float> mix;
    std::vector<unsigned char> pcm;
    std::vector<std::shared_ptr<Source>> sources;
    auto lastHeader = Clock::now();
    bool failed = fd < 0;
    for (;;) {
        bool stopping;
        {
            std::unique_lock<std::mutex> guard(w->lock);
            w->changed.wait_for(guard, kWriterStep, [&] { return w->stop; });
            stopping = w->stop;
            sources = w->sources;
        }
        // A writer that stops plays out what its rings still hold.
        const auto now = Clock::now() + (stopping ? std::chrono::milliseconds(kRealtimeCaptureLatencyMs + 20)
                                                  : std::chrono::milliseconds(0));
        const double elapsed = std::chrono::duration<double>(now - start).count();
        const std::uint64_t due = elapsed > 0 ? static_cast<std::uint64_t>(elapsed * kRate) : 0;
        const std::int64_t startNs =
            std::chrono::duration_cast<std::chrono::nanoseconds>(start.time_since_epoch()).count();
        while (written < due && !failed) {
            const std::size_t frames = static_cast<std::size_t>(std::min<std::uint64_t>(due - written, kRate / 10));
            mix.assign(frames * 2, 0.0f);
            const std::int64_t blockNs = startNs + static_cast<std::int64_t>(written * 1000000000 / kRate);
            for (const auto& s : sources) s->ring.mixInto(mix.data(), frames, blockNs);
            pcm.resize(frames * 4);
            for (std::size_t i = 0; i < frames * 2; ++i) {
                const float v = std::clamp(mix[i], -1.0f, 1.0f) * 32767.0f;
                const auto s = static_cast<std::int16_t>(std::lrint(v));
                pcm[2 * i] = static_cast<unsigned char>(s & 0xFF);
                pcm[2 * i + 1] = static_cast<unsigned char>((s >> 8) & 0xFF);
            }
            if (!writeAll(fd, pcm.data(), pcm.size())) {
                diagnostic("capture: writing \"%s\" failed: %s; the capture ends here", w->path.c_str(),
                           std::strerror(errno));
                failed = true;
                break;
            }
            written += frames;
        }
        for (const auto& s : sources) {
            if (s->dropped.load() != 0 && !s->dropReported.exchange(true))
                diagnostic("capture: the %s core's audio came faster than \"%s\" was written; frames were dropped",
                           s->role, w->path.c_str());
        }
        if (regular && (stopping || Clock::now() - lastHeader >= kHeaderEvery)) {
            patchWavCapture(w->path);
            lastHeader = Clock::now();
        }
        if (stopping) break;
    }
    if (fd >= 0) ::close(fd);
    std::lock_guard<std::mutex> guard(w->lock);
    w->finished = true;
    w->changed.notify_all();
}

// --- the tap: a LADSPA plug-in with two audio inputs, two audio outputs
// and one control input, the id of its source ---------------------------

struct TapInstance {
    LADSPA_Data* in[2] = {nullptr, nullptr};
    LADSPA_Data* out[2] = {nullptr, nullptr};
    LADSPA_Data* id = nullptr;
    std::shared_ptr<Source> source;
};

LADSPA_Handle tapInstantiate(const LADSPA_Descriptor*, unsigned long) {
    return new (std::nothrow) TapInstance;
}

void tapConnect(LADSPA_Handle handle, unsigned long port, LADSPA_Data* data) {
    auto* t = static_cast<TapInstance*>(handle);
    if (port < 2) t->in[port] = data;
    else if (port < 4) t->out[port - 2] = data;
    else if (port == 4) t->id = data;
}

void tapRun(LADSPA_Handle handle, unsigned long frames) {
    auto* t = static_cast<TapInstance*>(handle);
    for (int c = 0; c < 2; ++c) {
        if (t->in[c] && t->out[c] && t->in[c] != t->out[c])
            std::memmove(t->out[c], t->in[c], frames * sizeof(LADSPA_Data));
    }
    if (!t->source && t->id) t->source = findSource(static_cast<int>(std::lround(*t->id)));
    if (!t->source || !t->in[0] || !t->in[1]) return;
    const std::size_t lost = t->source->ring.push(t->in[0], t->in[1], frames, t->source->gain.load());
    if (lost) t->source->dropped += lost;
}

void tapCleanup(LADSPA_Handle handle) { delete static_cast<TapInstance*>(handle); }

const LADSPA_PortDescriptor kTapPorts[] = {
    LADSPA_PORT_INPUT | LADSPA_PORT_AUDIO,  LADSPA_PORT_INPUT | LADSPA_PORT_AUDIO,
    LADSPA_PORT_OUTPUT | LADSPA_PORT_AUDIO, LADSPA_PORT_OUTPUT | LADSPA_PORT_AUDIO,
    LADSPA_PORT_INPUT | LADSPA_PORT_CONTROL,
};
const char* const kTapPortNames[] = {"In L", "In R", "Out L", "Out R", "Source"};
const LADSPA_PortRangeHint kTapHints[] = {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}};
constexpr const char* kTapLabel = "kestro_capture_tap";

const LADSPA_Descriptor kTapDescriptor = {
    0x4B43,  // unique id
    kTapLabel,
    LADSPA_PROPERTY_HARD_RT_CAPABLE,
    "Kestro capture tap",
    "Kestro",
    "None",
    5,
    kTapPorts,
    kTapPortNames,
    kTapHints,
    nullptr,
    tapInstantiate,
    tapConnect,
    nullptr,
    tapRun,
    nullptr,
    nullptr,
    nullptr,
    tapCleanup,
};

}  // namespace

std::shared_ptr<CaptureSource> registerCaptureSource(const std::string& path, const char* role) {
    if (!startWavCapture(path)) {
        diagnostic("capture: cannot write the capture file \"%s\"", path.c_str());
        return nullptr;
    }
    auto source = std::make_shared<Source>();
    source->path = path;
    std::snprintf(source->role, sizeof source->role, "%s", role ? role : "audio");
    Registry& r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    source->id = r.nextId++;
    r.sources[source->id] = source;
    auto& writer = r.writers[path];
    if (!writer) {
        writer = std::make_shared<Writer>();
        writer->path = path;
        writer->sources.push_back(source);
        const auto start = Clock::now();
        try {
            std::thread(runWriter, writer, start).detach();
        } catch (...) {
            diagnostic("capture: could not start the writer of \"%s\"", path.c_str());
            r.writers.erase(path);
            r.sources.erase(source->id);
            return nullptr;
        }
    } else {
        std::lock_guard<std::mutex> wg(writer->lock);
        writer->sources.push_back(source);
    }
    return source;
}

void unregisterCaptureSource(const CaptureSource& gone) {
    std::shared_ptr<Writer> last;
    {
        Registry& r = registry();
        std::lock_guard<std::mutex> guard(r.lock);
        auto it = r.sources.find(gone.id);
        if (it == r.sources.end()) return;
        const std::shared_ptr<Source> source = it->second;
        r.sources.erase(it);
        auto w = r.writers.find(source->path);
        if (w == r.writers.end()) return;
        std::lock_guard<std::mutex> wg(w->second->lock);
        auto& list = w->second->sources;
        list.erase(std::remove(list.begin(), list.end(), source), list.end());
        if (list.empty()) {
            last = w->second;
            last->stop = true;
            last->changed.notify_all();
            r.writers.erase(w);
        }
    }
    if (last) {
        std::unique_lock<std::mutex> guard(last->lock);
        if (!last->changed.wait_for(guard, std::chrono::milliseconds(1000), [&] { return last->finished; }))
            diagnostic("capture: the writer of \"%s\" did not finish within 1 s", last->path.c_str());
    }
}

void setCaptureGain(CaptureSource& source, double gain) {
    source.gain.store(static_cast<float>(std::clamp(gain, 0.0, 1.0)));
}

std::string captureTapFilter(const CaptureSource& source) {
    // The tap lives in this library: libavfilter loads it by this file's path.
    Dl_info info{};
    if (::dladdr(reinterpret_cast<const void*>(&captureTapFilter), &info) == 0 || info.dli_fname == nullptr) {
        diagnostic("capture: the tap's library cannot be found");
        return "";
    }
    const std::string library = info.dli_fname;
    // The path goes into a filter graph: refuse what its syntax would cut.
    if (library.empty() || library[0] != '/' || library.find_first_of("'[]:,;=\\%\"") != std::string::npos) {
        diagnostic("capture: the tap's library path \"%s\" cannot be put in a filter graph", library.c_str());
        return "";
    }
    return "lavfi=[aformat=sample_fmts=fltp:sample_rates=44100:channel_layouts=stereo,ladspa=file=" + library +
           ":plugin=" + kTapLabel + ":controls=c0=" + std::to_string(source.id) + "]";
}

}  // namespace kestro::platform

// The entry point libavfilter's LADSPA loader looks up.
extern "C" __attribute__((visibility("default"))) const LADSPA_Descriptor* ladspa_descriptor(unsigned long index) {
    return index == 0 ? &kestro::platform::kTapDescriptor : nullptr;
}
