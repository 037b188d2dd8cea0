// An MCI-style string-command interface for the song device: the plug-in
// sends the exact command strings ("open %s alias Song", "pause song", ...)
// and reads a return code (0 for success) and a decimal reply.
//
// Two seams (installed as platform/system/Seam.h says): the interpreter that
// answers the commands (setMciInterpreter; the default has no devices), and
// an observer that hears every command and its outcome (setMciObserver; the
// host transcribes them; the default hears nothing), and also a failure the
// device learnt later (mciTakeLateFailure).
#pragma once

#include <cstdint>
#include <memory>

namespace kestro::platform {

using MciError = std::uint32_t;

// Error codes of this interface (the values the Windows interface uses).
inline constexpr MciError MCIERR_INVALID_DEVICE_ID = 257;
inline constexpr MciError MCIERR_UNRECOGNIZED_KEYWORD = 259;
inline constexpr MciError MCIERR_UNRECOGNIZED_COMMAND = 261;
inline constexpr MciError MCIERR_HARDWARE = 262;
inline constexpr MciError MCIERR_INVALID_DEVICE_NAME = 263;
inline constexpr MciError MCIERR_FILE_NOT_FOUND = 275;
inline constexpr MciError MCIERR_DUPLICATE_ALIAS = 289;
inline constexpr MciError MCIERR_MISSING_PARAMETER = 273;
inline constexpr MciError MCIERR_OUTOFRANGE = 282;
inline constexpr MciError MCIERR_CANNOT_LOAD_DRIVER = 266;
inline constexpr MciError MCIERR_DEVICE_OPEN = 265;
inline constexpr MciError MCIERR_MISSING_COMMAND_STRING = 267;
inline constexpr MciError MCIERR_BAD_INTEGER = 270;
inline constexpr MciError MCIERR_DEVICE_NOT_READY = 276;
inline constexpr MciError MCIERR_BAD_CONSTANT = 290;
inline constexpr MciError MCIERR_MISSING_DEVICE_NAME = 292;
inline constexpr MciError MCIERR_BAD_TIME_FORMAT = 293;
inline constexpr MciError MCIERR_NO_CLOSING_QUOTE = 294;
inline constexpr MciError MCIERR_INVALID_FILE = 296;
inline constexpr MciError MCIERR_FILENAME_REQUIRED = 304;
inline constexpr MciError MCIERR_EXTRA_CHARACTERS = 305;

// The song device. Its contract:
//   - Threads: send() and errorText() run on the thread that calls
//     mciSendString / mciGetErrorString: the plug-in's script thread, one
//     call at a time. Threads of the interpreter's own never call back into
//     the caller; it reads what they hand over without waiting.
//   - Blocking: send() never waits for anything that can stall (a sound
//     server, libmpv's core, a slow disk), with one exception: "open" of a
//     file whose header states no length may wait for the file to load, for
//     at most 2 s (kOpenTimeoutMs of the device on libmpv), since the
//     plug-in reads the length right after. errorText() and
//     takeLateFailure() never wait; takeLateFailure() is called on the
//     same thread as send().
//   - Failures: send() returns 0 or an MCIERR_ code; a failed command leaves
//     the reply empty. An unknown or malformed command is a failure, never a
//     crash or a partial effect.
//   - Ownership: `command` is the caller's, valid during the call. `reply`
//     (null only when replySize is 0) and `text` are the caller's buffers:
//     the interpreter writes at most size - 1 characters and the zero.
//   - Lifetime: the seam owns the interpreter. When it is replaced its
//     destructor runs on the installer's thread and may wait for its audio
//     to stop, boundedly (about 2 s for a core that will not stop).
class MciInterpreter {
public:
    virtual ~MciInterpreter() = default;
    virtual MciError send(const char* command, char* reply, unsigned replySize) = 0;
    // Fills `text` with the text for `error`; false for an unknown code (the
    // text is then a generic one). The default gives mciStandardErrorText.
    virtual bool errorText(MciError error, char* text, unsigned textSize);
    // A failure of the open song that the device learnt after its commands
    // had returned (the file passed the open's checks but then failed to
    // load or to decode), handed over once; 0 when there is none. Never
    // waits. A device that learns everything within its commands has none.
    virtual MciError takeLateFailure() { return 0; }
};

// Hears every command after it ran. Its contract:
//   - Threads: commandSent() runs on the thread that called mciSendString,
//     right after the interpreter answered; it must not send commands.
//   - Blocking: it must not wait (it runs inside the plug-in's tick).
//   - Ownership: the three texts are valid during the call only; `reply` is
//     "" when there was none.
class MciObserver {
public:
    virtual ~MciObserver() = default;
    virtual void commandSent(const char* command, MciError result, const char* reply) = 0;
};

// The commands the plug-in sends (a null command is sent as "").
MciError mciSendString(const char* command, char* reply, unsigned replySize);
bool mciGetErrorString(MciError error, char* text, unsigned textSize);
// The installed interpreter's late failure (MciInterpreter::takeLateFailure);
// one that is not 0 is also passed to the observer, as the command
// kLateFailureCommand.
MciError mciTakeLateFailure();
inline constexpr const char* kLateFailureCommand = "(late failure)";

// Null: the built-in interpreter that has no audio devices and answers
// every command with MCIERR_INVALID_DEVICE_NAME.
void setMciInterpreter(std::shared_ptr<MciInterpreter> interpreter);
// Null: no observer.
void setMciObserver(std::shared_ptr<MciObserver> observer);

// The platform's texts for the codes above; shared by every interpreter.
const char* mciStandardErrorText(MciError error);

}  // namespace kestro::platform
