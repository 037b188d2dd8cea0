#include "settings/Settings.h"

#include "platform/settings/Ini.h"
#include "plugin/PlayerState.h"

namespace kestro {

namespace {
std::int32_t readInt(const char* key, std::int32_t defaultValue) {
    return platform::iniReadInt(kSettingsSection, key, defaultValue, kSettingsFile);
}
}  // namespace

void readLoadTimeSettings() {
    // The sixteen reads share one read of the file.
    platform::IniReadBatch batch;
    PlayerState& s = playerState;
    s.PauseKey = readInt("PauseKey", 179);
    s.DisplayKey = readInt("DisplayKey", 85);
    s.PreviousKey = readInt("PreviousKey", 177);
    s.NextKey = readInt("NextKey", 176);
    s.FforwardKey = readInt("FforwardKey", 99);
    s.FrewindKey = readInt("FrewindKey", 97);
    s.StopKey = readInt("StopKey", 178);
    s.RandomKey = readInt("RandomKey", 82);
    s.displayOn = readInt("Display", 1);
    s.DisplayTitle = readInt("DisplayTitle", 1);
    s.OnFootEnabled = readInt("OnFootEnabled", 1);
    s.VolumeUpKey = readInt("VolumeUpKey", 105);
    s.VolumeDownKey = readInt("VolumeDownKey", 103);
    s.EnableUrl = readInt("EnableUrl", 84);
    s.volume = readInt("Volume", 500);
    s.ExtraFormats = readInt("ExtraFormats", 0);
}

bool extraFormatsOn() { return playerState.ExtraFormats == 1; }

void readStreamUrl() {
    platform::iniReadString(kSettingsSection, "Url", "", playerState.streamUrl,
                            sizeof playerState.streamUrl, kSettingsFile);
}

void readShortcutDirSetting(char* buffer) {
    platform::iniReadString(kSettingsSection, "ShortCutDir", "", buffer, kSettingTextSize,
                            kSettingsFile);
}

}  // namespace kestro
