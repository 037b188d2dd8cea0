#include "platform/audio/Mci.h"

#include "platform/system/Seam.h"
#include "platform/system/Text.h"

#include <cstdio>
#include <cstring>

namespace kestro::platform {

namespace {

// Used until the host installs an audio back end: there are no devices, so
// every command fails the way a command for an unknown device fails.
class NoDeviceInterpreter : public MciInterpreter {
public:
    MciError send(const char*, char* reply, unsigned replySize) override {
        copyBounded(reply, replySize, "");
        return MCIERR_INVALID_DEVICE_NAME;
    }
};

class NoObserver : public MciObserver {
public:
    void commandSent(const char*, MciError, const char*) override {}
};

Seam<MciInterpreter>& interpreter() {
    static Seam<MciInterpreter> seam{SeamDefault<NoDeviceInterpreter>{}};
    return seam;
}

Seam<MciObserver>& observer() {
    static Seam<MciObserver> seam{SeamDefault<NoObserver>{}};
    return seam;
}

}  // namespace

const char* mciStandardErrorText(MciError error) {
    switch (error) {
        case MCIERR_INVALID_DEVICE_ID:
            return "Invalid device ID. Use the ID given to the device when the device was opened.";
        case MCIERR_UNRECOGNIZED_KEYWORD:
            return "The driver cannot recognize the specified command parameter.";
        case MCIERR_UNRECOGNIZED_COMMAND:
            return "The driver cannot recognize the specified command.";
        case MCIERR_HARDWARE:
            return "There is a problem with your media device. Make sure it is working correctly or contact the device manufacturer.";
        case MCIERR_INVALID_DEVICE_NAME:
            return "The specified device is not open or is not recognized by MCI.";
        case MCIERR_CANNOT_LOAD_DRIVER:
            return "The specified device driver will not load properly.";
        case MCIERR_MISSING_PARAMETER:
            return "The specified command requires a parameter. Please supply one.";
        case MCIERR_FILE_NOT_FOUND:
            return "The specified file cannot be found. Make sure the path and filename are correct.";
        case MCIERR_OUTOFRANGE:
            return "The specified parameter is out of range for the specified command.";
        case MCIERR_DUPLICATE_ALIAS:
            return "The specified alias is already being used in this application. Use a unique alias.";
        case MCIERR_DEVICE_OPEN:
            return "The device name is already being used as an alias by this application. Use a unique alias.";
        case MCIERR_MISSING_COMMAND_STRING:
            return "No command was specified.";
        case MCIERR_BAD_INTEGER:
            return "An integer in the command was invalid or missing.";
        case MCIERR_DEVICE_NOT_READY:
            return "The device driver is not ready. Wait a moment before trying again.";
        case MCIERR_BAD_CONSTANT:
            return "The value specified for a parameter is unknown.";
        case MCIERR_MISSING_DEVICE_NAME:
            return "The specified command requires an alias, file, driver, or device name. Please supply one.";
        case MCIERR_BAD_TIME_FORMAT:
            return "The specified value for the time format is invalid.";
        case MCIERR_NO_CLOSING_QUOTE:
            return "A closing quotation mark is missing.";
        case MCIERR_INVALID_FILE:
            return "The specified file cannot be played on the specified MCI device. The file may be corrupt, not in the correct format, or no file handler available for this format.";
        case MCIERR_FILENAME_REQUIRED:
            return "A valid filename must be specified.";
        case MCIERR_EXTRA_CHARACTERS:
            return "Cannot specify extra characters after a string enclosed in quotation marks.";
        default:
            return nullptr;
    }
}

bool MciInterpreter::errorText(MciError error, char* text, unsigned textSize) {
    const char* t = mciStandardErrorText(error);
    copyBounded(text, textSize, t ? t : "Unknown error.");
    return t != nullptr;
}

MciError mciSendString(const char* command, char* reply, unsigned replySize) {
    const char* cmd = command ? command : "";
    MciError rc = interpreter().get().send(cmd, reply, replySize);
    observer().get().commandSent(cmd, rc, (reply && replySize) ? reply : "");
    return rc;
}

MciError mciTakeLateFailure() {
    const MciError rc = interpreter().get().takeLateFailure();
    if (rc != 0) observer().get().commandSent(kLateFailureCommand, rc, "");
    return rc;
}

bool mciGetErrorString(MciError error, char* text, unsigned textSize) {
    return interpreter().get().errorText(error, text, textSize);
}

void setMciInterpreter(std::shared_ptr<MciInterpreter> implementation) { interpreter().install(std::move(implementation)); }

void setMciObserver(std::shared_ptr<MciObserver> implementation) { observer().install(std::move(implementation)); }

}  // namespace kestro::platform
