// The sound devices the host can give the plug-in: the song device behind
// the MCI interface and the stream player. Besides the real ones on libmpv,
// scripted ones for exact behaviour tests: they answer from scenario lines
// and play nothing.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>
#include <string>

#include "platform/audio/Mci.h"
#include "platform/audio/StreamPlayer.h"

namespace kestro::host {

class Transcript;

// The scripted song device. Every command succeeds with an empty reply
// unless a rule says otherwise; it keeps the volume last set ("status song
// volume" answers it, 1000 before any) and answers "0" for the length and
// the position. Commands compare without regard to case; a rule's command
// ending in "*" matches every command that begins with what precedes it.
// Of the rules that match a command, the one written last alone decides
// its answer (a reply, a failure, or "unplayable"), and only that rule is
// used up when it holds once. A file may also fail later: after it was
// played, the next query of a late failure gets the code.
class ScriptedMci : public platform::MciInterpreter {
public:
    platform::MciError send(const char* command, char* reply, unsigned replySize) override;

    // From now on `command` answers `text` (reply) or `code` (fail).
    void setReply(const std::string& command, const std::string& text, bool once);
    void setFailure(const std::string& command, platform::MciError code, bool once);
    // "play song" fails with MCIERR_INVALID_FILE after `path` was opened
    // (the path as the open command names it, without its quotes).
    void setUnplayable(const std::string& path);
    // After "play song" succeeded while `path` is the file last opened, the
    // next takeLateFailure() answers `code` (a close or another open
    // forgets it). The rule written last for a path decides.
    void setFailLater(const std::string& path, platform::MciError code);
    void clear();

    platform::MciError takeLateFailure() override;

private:
    struct Rule {
        std::string command;
        std::string reply;
        platform::MciError code = 0;  // 0: answers `reply`
        bool once = false;
        std::string unplayable;       // not empty: matches only while this file is open
    };

    std::vector<Rule> rules_;  // in the order written
    std::vector<std::pair<std::string, platform::MciError>> failLater_;  // in the order written
    platform::MciError lateFailure_ = 0;  // armed by a play, taken by the next query
    std::string opened_;
    std::int32_t volume_ = 1000;
};

// The scripted stream player: it plays nothing; its item's duration, tags
// and whether it can be made at all come from scenario lines.
class ScriptedStream : public platform::SilentStreamPlayer {
public:
    bool create() override;
    double durationSeconds() override { return duration_; }
    bool attribute(const char* name, std::string& value) override;

    void setDuration(double seconds) { duration_ = seconds; }
    void setTag(const std::string& name, const std::string& value) { tags_[name] = value; }
    void removeTag(const std::string& name) { tags_.erase(name); }
    void failCreate() { failCreate_ = true; }

private:
    double duration_ = 0;
    bool failCreate_ = false;
    std::map<std::string, std::string> tags_;
};

// Transcribes every operation on a stream player ("stream OPERATION ARG")
// and passes it on.
std::shared_ptr<platform::StreamPlayer> transcribedStream(std::shared_ptr<platform::StreamPlayer> inner,
                                                          Transcript& transcript);

}  // namespace kestro::host
