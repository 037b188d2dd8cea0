#include "playback/MciSongPlayer.h"

#include <climits>

#include "game/Natives.h"
#include "platform/audio/Mci.h"
#include "playback/RadioHandover.h"
#include "plugin/CustomThread.h"
#include "plugin/PlayerState.h"
#include "scripthook/ScriptHook.h"

namespace kestro {

namespace {
MciResult send(const char* command, char* reply, unsigned replySize) {
    return platform::mciSendString(command, reply, replySize);
}

void resetPlaybackFlags() {
    playerState.songActive = 0;
    endPlaybackPauses();
}
}  // namespace

std::int32_t readReplyNumber(const char* reply) {
    if (reply == nullptr) return 0;
    const char* p = reply;
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\f' || *p == '\v') ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    long long value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + (*p - '0');
        if (value > INT_MAX) value = static_cast<long long>(INT_MAX) + 1;  // saturate, no overflow
    }
    if (negative) value = -value;
    if (value > INT_MAX) value = INT_MAX;
    return static_cast<std::int32_t>(value);
}

MciResult openAndPlay(const char* path, std::int32_t* lengthMs) {
    char command[1024];
    char reply[kMciReplySize];
    reply[0] = '\0';
    FormatText1024(command, "open %s alias Song", path ? path : "");
    send(command, reply, sizeof reply);
    send("set song time format milliseconds", reply, sizeof reply);
    send("set song seek exactly on", reply, sizeof reply);
    reply[0] = '\0';
    send("status song length", reply, sizeof reply);
    if (lengthMs) *lengthMs = readReplyNumber(reply);
    send("set song seek exactly off", reply, sizeof reply);
    MciResult result = send("play song", reply, sizeof reply);
    setVolume(playerState.volume);
    return result;
}

MciResult pauseSong() { return send("pause song", nullptr, 0); }
MciResult resumeSong() { return send("resume song", nullptr, 0); }

MciResult setTimeFormatMs() {
    char reply[kMciReplySize] = "";
    return send("set song time format milliseconds", reply, sizeof reply);
}

MciResult queryPosition(std::int32_t* positionMs) {
    char reply[kMciReplySize] = "";
    MciResult result = send("status song position wait", reply, sizeof reply);
    if (positionMs) *positionMs = readReplyNumber(reply);
    return result;
}

MciResult playFrom(std::int32_t positionMs) {
    char number[1024];
    char command[1024];
    char reply[kMciReplySize] = "";
    FormatText1024(number, "%i", positionMs);
    FormatText1024(command, "play song from %s", number);
    return send(command, reply, sizeof reply);
}

std::int32_t queryVolume() {
    char reply[kMciVolumeReplySize] = "";
    send("status song volume", reply, sizeof reply);
    return readReplyNumber(reply);
}

MciResult takeLateFailure() { return platform::mciTakeLateFailure(); }

void setVolume(std::int32_t level) {
    char number[1024];
    char command[1024];
    FormatText1024(number, "%i", level);
    FormatText1024(command, "setaudio song volume to %s", number);
    send(command, nullptr, 0);
}

void closeDevice() { send("close song", nullptr, 0); }

void closeSong(CustomThread& thread) {
    closeDevice();
    resetPlaybackFlags();
    thread.playerMode = Idle;
    playerState.startTime = static_cast<std::int32_t>(gameTimer());
}

void stopSongAndRestoreRadio(CustomThread& thread) {
    thread.playerMode = Idle;
    closeDevice();
    resetPlaybackFlags();
    giveRadioBack();
    restAfterStopOnFoot(thread);
}

void ReportMciError(MciResult error) {
    char text[kMciErrorTextSize];
    text[0] = '\0';
    platform::mciGetErrorString(error, text, sizeof text);
    text[sizeof text - 1] = '\0';
    Log::Info("%s", text);
    const SongEntry* song = playerState.currentSong;
    Log::Info("-%s", song ? song->path : "");
}

}  // namespace kestro
