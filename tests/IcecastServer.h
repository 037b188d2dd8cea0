// Test servers for the stream player, all on 127.0.0.1 at a free port:
//
// IcecastServer  a real Icecast (Debian's icecast2) with a configuration
//                written to its own temporary folder (logs there too), and
//                real source clients (ffmpeg sending a sine tone as mp3).
//                Started by the constructor, stopped by the destructor, with
//                every child process it started. Each server has passwords
//                of its own and is known by them: a port taken by another
//                server in parallel is given up for another one.
// StubHttpServer a small server that misbehaves in one chosen way (never
//                answers, serves a web page, closes mid-stream, sends an
//                ICY title of its own).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>

namespace kestro::testing {

class IcecastServer {
public:
    // Why the server cannot run here (icecast2 or ffmpeg missing), or "".
    static std::string unavailableReason();

    IcecastServer();
    ~IcecastServer();
    IcecastServer(const IcecastServer&) = delete;
    IcecastServer& operator=(const IcecastServer&) = delete;

    bool running() const { return pid_ > 0; }
    const std::string& error() const { return error_; }
    int port() const { return port_; }
    std::string url(const std::string& mount) const;

    // Starts ffmpeg sending a `hz` sine tone (mp3, 128 kb/s, real time) to
    // `mount` and waits (at most 30 s, starting ffmpeg again when it gave
    // up) until the server lists the mount.
    bool startSource(const std::string& mount, int hz);
    void stopSource(const std::string& mount);

    // Sets the mount's stream title through the admin interface.
    bool setTitle(const std::string& mount, const std::string& title);
    // Listeners the server counts on `mount` (-1 when it cannot tell).
    int listeners(const std::string& mount);
    // An authenticated admin request; the whole response, "" on failure.
    std::string admin(const std::string& pathAndQuery);

private:
    bool start();

    std::string dir_;
    std::string adminPassword_;
    std::string sourcePassword_;
    int port_ = 0;
    pid_t pid_ = -1;
    std::string error_;
    std::map<std::string, pid_t> sources_;
};

class StubHttpServer {
public:
    enum class Mode {
        Silent,          // accepts, reads the request, never answers
        Html,            // answers with a small web page
        CloseMidStream,  // starts an mp3 stream, sends a little, closes
        IcyTitle,        // an endless mp3 stream with the ICY title given
    };
    // `mp3` is the audio the streaming modes send (the bytes of an mp3
    // file); `icyTitle` the title of the IcyTitle mode.
    explicit StubHttpServer(Mode mode, std::string mp3 = {}, std::string icyTitle = {});
    ~StubHttpServer();
    StubHttpServer(const StubHttpServer&) = delete;
    StubHttpServer& operator=(const StubHttpServer&) = delete;

    int port() const { return port_; }
    std::string url(const std::string& path = "/stream") const;

private:
    void serve(int client);

    Mode mode_;
    std::string mp3_;
    std::string icyTitle_;
    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A port on 127.0.0.1 that nothing listens on (just freed).
int closedPort();
// Percent-encodes every byte outside [A-Za-z0-9-_.~].
std::string urlEncode(const std::string& text);

}  // namespace kestro::testing
