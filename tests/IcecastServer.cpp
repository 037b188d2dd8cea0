#include "IcecastServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <vector>

#include <taglib/tbytevector.h>

namespace kestro::testing {

namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    return a;
}

// Binds 127.0.0.1:0 and returns the socket (or -1); `port` gets the port.
int bindLoopback(int& port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback(0);
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        if (fd >= 0) ::close(fd);
        return -1;
    }
    port = ntohs(a.sin_port);
    return fd;
}

bool sendAll(int fd, const std::string& data) {
    for (std::size_t done = 0; done < data.size();) {
        ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Percent-encodes every byte outside [A-Za-z0-9-_.~].
std::string urlEncode(const std::string& text) {
    std::string out;
    char buf[4];
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out += static_cast<char>(c);
        } else {
            std::snprintf(buf, sizeof buf, "%%%02X", c);
            out += buf;
        }
    }
    return out;
}

// Starts `argv` with its output appended to `log`; the child's pid or -1.
pid_t spawn(const std::vector<std::string>& argv, const std::string& log) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        int in = ::open("/dev/null", O_RDONLY);
        if (out >= 0) {
            ::dup2(out, 1);
            ::dup2(out, 2);
        }
        if (in >= 0) ::dup2(in, 0);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    return pid;
}

// SIGTERM, then SIGKILL when the child has not ended within 3 s.
void stopChild(pid_t pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    for (const auto end = Clock::now() + std::chrono::seconds(3); Clock::now() < end;) {
        if (::waitpid(pid, nullptr, WNOHANG) == pid) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

// Passwords of their own for every server, so that a source client or an
// admin request can never be served by another test's server that took the
// same port in between.
std::string uniqueSecret(const char* what) {
    static std::atomic<unsigned> serial{0};
    return std::string(what) + "-" + std::to_string(::getpid()) + "-" + std::to_string(++serial) + "-" +
           std::to_string(Clock::now().time_since_epoch().count() % 1000000007);
}

std::string tail(const std::string& path) {
    const std::string all = readFile(path);
    return all.size() > 600 ? all.substr(all.size() - 600) : all;
}

}  // namespace

int closedPort() {
    int port = 0;
    int fd = bindLoopback(port);
    if (fd >= 0) ::close(fd);
    return port;
}

std::string IcecastServer::unavailableReason() {
    for (const char* tool : {"icecast2", "ffmpeg"})
        if (std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) != 0)
            return std::string(tool) + " is not installed (scripts/setup.sh installs it)";
    return "";
}

IcecastServer::IcecastServer() {
    error_ = unavailableReason();
    if (!error_.empty()) return;
    adminPassword_ = uniqueSecret("admin");
    sourcePassword_ = uniqueSecret("source");
    // The port is free when it is picked but not held: another server (a
    // test running in parallel) may take it before icecast2 binds it. Then
    // icecast2 cannot listen, or the port answers with another server's
    // passwords: try again on another port.
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (start()) return;
        stopChild(pid_);
        pid_ = -1;
    }
}

bool IcecastServer::start() {
    int fd = bindLoopback(port_);
    if (fd < 0) {
        error_ = "no free port";
        return false;
    }
    ::close(fd);

    // Icecast will not run as root: as root it drops to nobody, which
    // must be able to write its logs.
    const bool root = ::geteuid() == 0;
    if (root) ::chmod(dir_.path().c_str(), 0777);
    std::ofstream(dir_ / "icecast.xml")
        << "<icecast>\n"
        << "  <limits><sources>10</sources><queue-size>524288</queue-size><burst-size>65535</burst-size></limits>\n"
        << "  <authentication><source-password>" << sourcePassword_ << "</source-password>"
        << "<admin-user>admin</admin-user><admin-password>" << adminPassword_ << "</admin-password>"
        << "</authentication>\n"
        << "  <hostname>127.0.0.1</hostname>\n"
        << "  <listen-socket><port>" << port_ << "</port><bind-address>127.0.0.1</bind-address></listen-socket>\n"
        << "  <paths><basedir>/usr/share/icecast2</basedir><logdir>" << dir_.path() << "</logdir>"
        << "<webroot>/usr/share/icecast2/web</webroot><adminroot>/usr/share/icecast2/admin</adminroot></paths>\n"
        << "  <logging><accesslog>access.log</accesslog><errorlog>error.log</errorlog><loglevel>3</loglevel>"
        << "</logging>\n"
        << "  <security><chroot>0</chroot>"
        << (root ? "<changeowner><user>nobody</user><group>nogroup</group></changeowner>" : "") << "</security>\n"
        << "</icecast>\n";

    pid_ = spawn({"icecast2", "-c", dir_ / "icecast.xml"}, dir_ / "icecast.out");
    for (const auto end = Clock::now() + std::chrono::seconds(20); Clock::now() < end;) {
        if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            error_ = "icecast2 exited at start; see " + dir_ / "icecast.out";
            return false;
        }
        // Ours when it takes our admin password.
        const std::string r = admin("/admin/stats");
        if (r.find(" 200 ") != std::string::npos) {
            error_.clear();
            return true;
        }
        if (r.find(" 401 ") != std::string::npos) {
            error_ = "another server answers on port " + std::to_string(port_);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    error_ = "icecast2 did not listen within 20 s";
    return false;
}

IcecastServer::~IcecastServer() {
    for (auto& [mount, pid] : sources_) stopChild(pid);
    stopChild(pid_);
}

std::string IcecastServer::url(const std::string& mount) const {
    return "http://127.0.0.1:" + std::to_string(port_) + mount;
}

bool IcecastServer::startSource(const std::string& mount, int hz) {
    if (!running()) return false;
    const std::string target = "icecast://source:" + sourcePassword_ + "@127.0.0.1:" + std::to_string(port_) + mount;
    // A loaded machine can take seconds to start ffmpeg; a client that gave
    // up (its connection refused or dropped) is started again.
    const auto end = Clock::now() + std::chrono::seconds(30);
    while (Clock::now() < end) {
        stopSource(mount);
        pid_t pid = spawn({"ffmpeg", "-nostdin", "-v", "error", "-re", "-f", "lavfi", "-i",
                           "sine=frequency=" + std::to_string(hz) + ":sample_rate=44100", "-ac", "2", "-c:a",
                           "libmp3lame", "-b:a", "128k", "-content_type", "audio/mpeg", "-ice_name", "Kestro test",
                           "-f", "mp3", target},
                          dir_ / "source.out");
        if (pid <= 0) return false;
        sources_[mount] = pid;
        while (Clock::now() < end) {
            if (admin("/admin/listmounts").find("mount=\"" + mount + "\"") != std::string::npos) return true;
            if (::waitpid(pid, nullptr, WNOHANG) == pid) {
                sources_.erase(mount);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    error_ = "the source client did not connect to " + mount + "; ffmpeg: " + tail(dir_ / "source.out") +
             "; icecast: " + tail(dir_ / "error.log");
    return false;
}

void IcecastServer::stopSource(const std::string& mount) {
    if (auto it = sources_.find(mount); it != sources_.end()) {
        stopChild(it->second);
        sources_.erase(it);
    }
}

bool IcecastServer::setTitle(const std::string& mount, const std::string& title) {
    const std::string r = admin("/admin/metadata?mount=" + urlEncode(mount) + "&mode=updinfo&charset=UTF-8&song=" +
                                urlEncode(title));
    return r.find("200 OK") != std::string::npos || r.find("Metadata update successful") != std::string::npos;
}

int IcecastServer::listeners(const std::string& mount) {
    const std::string r = admin("/admin/listclients?mount=" + urlEncode(mount));
    const std::size_t p = r.find("<Listeners>");
    if (r.find("200 OK") == std::string::npos || p == std::string::npos) return -1;
    return std::atoi(r.c_str() + p + 11);
}

std::string IcecastServer::admin(const std::string& pathAndQuery) {
    if (!running()) return "";
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return "";
    timeval tv{3, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    const sockaddr_in a = loopback(port_);
    const TagLib::ByteVector auth = TagLib::ByteVector(("admin:" + adminPassword_).c_str()).toBase64();
    std::string response;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0 &&
        sendAll(fd, "GET " + pathAndQuery + " HTTP/1.0\r\nHost: 127.0.0.1\r\nAuthorization: Basic " +
                        std::string(auth.data(), auth.size()) + "\r\n\r\n")) {
        char buf[4096];
        ssize_t n;
        while (response.size() < (1u << 20) && (n = ::recv(fd, buf, sizeof buf, 0)) > 0) response.append(buf, n);
    }
    ::close(fd);
    return response;
}

// --- the stub ----------------------------------------------------------------

StubHttpServer::StubHttpServer(Mode mode, std::string mp3, std::string icyTitle)
    : mode_(mode), mp3_(std::move(mp3)), icyTitle_(std::move(icyTitle)) {
    listenFd_ = bindLoopback(port_);
    if (listenFd_ < 0 || ::listen(listenFd_, 8) != 0) return;
    thread_ = std::thread([this] {
        std::vector<int> held;  // the Silent mode's clients, never answered
        std::vector<std::thread> streams;
        while (!stop_) {
            pollfd p{listenFd_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            int client = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) continue;
            if (mode_ == Mode::Silent) {
                held.push_back(client);
                continue;
            }
            streams.emplace_back([this, client] {
                serve(client);
                ::close(client);
            });
        }
        for (std::thread& t : streams) t.join();
        for (int fd : held) ::close(fd);
    });
}

StubHttpServer::~StubHttpServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (listenFd_ >= 0) ::close(listenFd_);
}

std::string StubHttpServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void StubHttpServer::serve(int client) {
    // Read the request head (bounded), then answer as the mode says.
    std::string request;
    char buf[2048];
    const auto end = Clock::now() + std::chrono::seconds(3);
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536 && Clock::now() < end) {
        pollfd p{client, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        ssize_t n = ::recv(client, buf, sizeof buf, 0);
        if (n <= 0) return;
        request.append(buf, n);
    }
    ++requests_;
    if (mode_ == Mode::SelfListing) {
        const std::size_t from = request.find(' ') + 1, to = request.find(' ', from);
        const std::string body = "#EXTM3U\n" + url(request.substr(from, to - from)) + "\n";
        sendAll(client, "HTTP/1.0 200 OK\r\nContent-Type: audio/x-mpegurl\r\nContent-Length: " +
                            std::to_string(body.size()) + "\r\n\r\n" + body);
        return;
    }
    if (mode_ == Mode::Html) {
        const std::string body = "<!DOCTYPE html><html><head><title>Not a stream</title></head>"
                                 "<body><p>This is a web page.</p></body></html>";
        sendAll(client, "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
                            std::to_string(body.size()) + "\r\n\r\n" + body);
        return;
    }
    const bool icy = mode_ == Mode::IcyTitle && request.find("Icy-MetaData: 1") != std::string::npos;
    const std::size_t metaint = 8192;
    if (!sendAll(client, std::string("HTTP/1.0 200 OK\r\nContent-Type: audio/mpeg\r\nicy-name: Kestro stub\r\n") +
                             (icy ? "icy-metaint: 8192\r\n" : "") + "\r\n") ||
        mp3_.empty())
        return;

    // ICY metadata: a length byte (in 16-byte units, at most 255) and the
    // padded "StreamTitle='...';" text, after every `metaint` audio bytes.
    std::string meta = "StreamTitle='" + icyTitle_ + "';";
    if (meta.size() > 255 * 16) meta.resize(255 * 16);
    const std::size_t blocks = (meta.size() + 15) / 16;
    meta.resize(blocks * 16, '\0');
    meta.insert(meta.begin(), static_cast<char>(blocks));

    std::size_t pos = 0, sent = 0, sinceMeta = 0;
    while (!stop_) {
        if (mode_ == Mode::CloseMidStream && sent >= 16384) return;
        std::size_t chunk = std::min<std::size_t>(icy ? metaint - sinceMeta : 4096, 4096);
        chunk = std::min(chunk, mp3_.size() - pos);
        if (!sendAll(client, mp3_.substr(pos, chunk))) return;
        pos = (pos + chunk) % mp3_.size();
        sent += chunk;
        sinceMeta += chunk;
        if (icy && sinceMeta == metaint) {
            if (!sendAll(client, meta)) return;
            sinceMeta = 0;
        }
        // 4096 bytes every 250 ms would be 128 kb/s in real time; go a
        // little faster so the player's cache fills.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

}  // namespace kestro::testing
