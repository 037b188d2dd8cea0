// Test servers for the stream player, all on 127.0.0.1 at a free port:
//
// IcecastServer  a real Icecast (Debian's icecast2) with its configuration
//                and logs in a temporary folder of its own, fed by real
//                source clients (ffmpeg sending a sine tone as mp3). The
//                destructor stops every child process it started. Each
//                server has passwords of its own, so a port taken by a server
//                started in parallel is noticed and given up for another.
// StubHttpServer a small server that misbehaves in one chosen way.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>

#include "TestUtil.h"

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
    std::string url(const std::string& mount) const;

    // Starts ffmpeg sending a `hz` sine tone (mp3, 128 kb/s, real time) to
    // `mount` and waits (at most 30 s, starting ffmpeg again when it gave
    // up) until the server lists the mount.
    bool startSource(const std::string& mount, int hz);
    // Sets the mount's stream title through the admin interface.
    bool setTitle(const std::string& mount, const std::string& title);
    // Listeners the server counts on `mount` (-1 when it cannot tell).
    int listeners(const std::string& mount);

private:
    bool start();
    void stopSource(const std::string& mount);
    // An authenticated admin request: the whole response, "" on failure.
    std::string admin(const std::string& pathAndQuery);

    TempDir dir_;  // its configuration and logs
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
        SelfListing,     // an M3U playlist whose one entry is the address asked for
    };
    // `mp3`: the bytes of an mp3 file the streaming modes send.
    explicit StubHttpServer(Mode mode, std::string mp3 = {}, std::string icyTitle = {});
    ~StubHttpServer();
    StubHttpServer(const StubHttpServer&) = delete;
    StubHttpServer& operator=(const StubHttpServer&) = delete;

    std::string url(const std::string& path = "/stream") const;
    // The requests answered so far.
    int requests() const { return requests_.load(); }

private:
    void serve(int client);

    Mode mode_;
    std::string mp3_;
    std::string icyTitle_;
    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> requests_{0};
    std::thread thread_;
};

// A port on 127.0.0.1 that nothing listens on (just freed).
int closedPort();

}  // namespace kestro::testing
