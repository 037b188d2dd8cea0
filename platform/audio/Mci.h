// An MCI-style string-command interface for the song device: the plug-in
// sends the exact command strings ("open %s alias Song", "pause song", ...)
// and reads a return code (0 for success) and a decimal reply.
//
// The interpreter behind it is replaceable (tests put a recording double in,
// the host chooses the audio back end). Every command and its outcome is also
// passed to an observer, so that the host can put it in its transcript, and
// so is a failure the device learnt later (mciTakeLateFailure).
#pragma once

#include <cstdint>
#include <functional>
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

class MciInterpreter {
public:
    virtual ~MciInterpreter() = default;
    // Runs one command. `reply` (may be null when `replySize` is 0) receives
    // a zero-terminated reply of at most replySize - 1 characters.
    virtual MciError send(const char* command, char* reply, unsigned replySize) = 0;
    // Fills `text` with the text for `error`; returns false for an unknown
    // code (the text is then a generic one).
    virtual bool errorText(MciError error, char* text, unsigned textSize);
    // A failure of the open song that the device learnt after its commands
    // had returned (the file passed the open's checks but then failed to
    // load or to decode), handed over once; 0 when there is none. Never
    // waits. A device that learns everything within its commands has none.
    virtual MciError takeLateFailure() { return 0; }
};

// The commands the plug-in sends.
MciError mciSendString(const char* command, char* reply, unsigned replySize);
bool mciGetErrorString(MciError error, char* text, unsigned textSize);
// The installed interpreter's late failure (MciInterpreter::takeLateFailure);
// one that is not 0 is also passed to the observer, as the command
// kLateFailureCommand.
MciError mciTakeLateFailure();
inline constexpr const char* kLateFailureCommand = "(late failure)";

// Installs the interpreter used from now on (null: the built-in one that has
// no audio devices and answers every device command with an error).
void setMciInterpreter(std::shared_ptr<MciInterpreter> interpreter);

using MciObserver = std::function<void(const char* command, MciError result, const char* reply)>;
void setMciObserver(MciObserver observer);

// The platform's texts for the codes above; shared by every interpreter.
const char* mciStandardErrorText(MciError error);

}  // namespace kestro::platform
