#include "host/Devices.h"

#include <cstdlib>
#include <string_view>
#include <utility>

#include "host/Transcript.h"
#include "platform/system/Text.h"

namespace kestro::host {

namespace {

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return out;
}

// A rule names a command exactly, or its start when it ends in "*"; letters
// compare without regard to case, as the device's commands do.
bool matches(std::string_view rule, std::string_view command) {
    if (!rule.empty() && rule.back() == '*') {
        rule.remove_suffix(1);
        return command.size() >= rule.size() && platform::equalNoCaseAscii(command.substr(0, rule.size()), rule);
    }
    return platform::equalNoCaseAscii(rule, command);
}

// The path an open command names, without its quotes: "open P alias Song".
std::string openedPath(const std::string& command) {
    const std::string c = lower(command);
    if (c.compare(0, 5, "open ") != 0) return {};
    const std::size_t alias = c.rfind(" alias ");
    if (alias == std::string::npos || alias < 5) return {};
    std::string path = command.substr(5, alias - 5);
    if (path.size() >= 2 && path.front() == '"' && path.back() == '"') path = path.substr(1, path.size() - 2);
    return path;
}

}  // namespace

platform::MciError ScriptedMci::send(const char* text, char* reply, unsigned replySize) {
    const std::string command = text ? text : "";
    const std::string c = lower(command);
    std::string answer;
    platform::MciError code = 0;
    if (std::string path = openedPath(command); !path.empty()) {
        opened_ = path;
        lateFailure_ = 0;
    }
    if (c == "close song") lateFailure_ = 0;
    if (c.compare(0, 24, "setaudio song volume to ") == 0) volume_ = std::atoi(command.c_str() + 24);
    if (c == "status song volume") answer = std::to_string(volume_);
    if (c == "status song length" || c == "status song position wait") answer = "0";
    for (auto it = rules_.rbegin(); it != rules_.rend(); ++it) {
        if (!matches(it->command, command) || (!it->unplayable.empty() && it->unplayable != opened_)) continue;
        code = it->code;
        answer = code == 0 ? it->reply : std::string();  // a failed command has no reply
        if (it->once) rules_.erase(std::next(it).base());
        break;
    }
    platform::copyBounded(reply, replySize, answer);
    if (c == "play song" && code == 0) {
        for (auto it = failLater_.rbegin(); it != failLater_.rend(); ++it) {
            if (it->first != opened_) continue;
            lateFailure_ = it->second;
            break;
        }
    }
    return code;
}

platform::MciError ScriptedMci::takeLateFailure() { return std::exchange(lateFailure_, 0); }

void ScriptedMci::setFailLater(const std::string& path, platform::MciError code) {
    failLater_.emplace_back(path, code);
}

void ScriptedMci::setReply(const std::string& command, const std::string& text, bool once) {
    rules_.push_back(Rule{command, text, 0, once, {}});
}

void ScriptedMci::setFailure(const std::string& command, platform::MciError code, bool once) {
    rules_.push_back(Rule{command, {}, code, once, {}});
}

void ScriptedMci::setUnplayable(const std::string& path) {
    rules_.push_back(Rule{"play song", {}, platform::MCIERR_INVALID_FILE, false, path});
}

void ScriptedMci::clear() {
    rules_.clear();
    failLater_.clear();
}

bool ScriptedStream::create() {
    const bool ok = !failCreate_;
    failCreate_ = false;
    return ok;
}

bool ScriptedStream::attribute(const char* name, std::string& value) {
    auto it = tags_.find(name ? name : "");
    if (it == tags_.end()) return false;
    value = it->second;
    return true;
}

namespace {

class TranscribedStream : public platform::StreamPlayer {
public:
    TranscribedStream(std::shared_ptr<platform::StreamPlayer> inner, Transcript& t)
        : inner_(std::move(inner)), t_(t) {}
    bool create() override {
        const bool ok = inner_->create();
        note(ok ? "create" : "create failed");
        return ok;
    }
    void destroy() override {
        note("destroy");
        inner_->destroy();
    }
    void setUrl(const std::string& url) override {
        note("url", url);
        inner_->setUrl(url);
    }
    void setLoop(bool on) override {
        note("loop", on ? "1" : "0");
        inner_->setLoop(on);
    }
    void setAutoStart(bool on) override {
        note("autostart", on ? "1" : "0");
        inner_->setAutoStart(on);
    }
    void setVolume(int v) override {
        note("volume", std::to_string(v));
        inner_->setVolume(v);
    }
    int volume() override { return inner_->volume(); }
    void play() override {
        note("play");
        inner_->play();
    }
    void pause() override {
        note("pause");
        inner_->pause();
    }
    void stop() override {
        note("stop");
        inner_->stop();
    }
    void next() override {
        note("next");
        inner_->next();
    }
    void previous() override {
        note("previous");
        inner_->previous();
    }
    double durationSeconds() override { return inner_->durationSeconds(); }
    bool attribute(const char* name, std::string& value) override { return inner_->attribute(name, value); }

private:
    void note(const char* op, const std::string& argument = {}) {
        if (argument.empty())
            t_.text("stream", op);
        else
            t_.text("stream", std::string(op) + " " + argument.substr(0, Transcript::kMaxLine / 2));
    }
    std::shared_ptr<platform::StreamPlayer> inner_;
    Transcript& t_;
};

}  // namespace

std::shared_ptr<platform::StreamPlayer> transcribedStream(std::shared_ptr<platform::StreamPlayer> inner,
                                                          Transcript& transcript) {
    return std::make_shared<TranscribedStream>(std::move(inner), transcript);
}

}  // namespace kestro::host
