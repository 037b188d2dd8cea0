// The settings file "./Kestro.ini", section "Defaults": fifteen integers read
// while the plug-in loads, then ExtraFormats; two texts read at run time.
#pragma once

#include <cstdint>

namespace kestro {

inline constexpr const char* kSettingsFile = "./Kestro.ini";
inline constexpr const char* kSettingsSection = "Defaults";
inline constexpr std::uint32_t kSettingTextSize = 1024;

// The fifteen load-time reads, in key order, then ExtraFormats, into the
// player state.
void readLoadTimeSettings();

// The run-time text reads: "Url" into playerState.streamUrl, and
// "ShortCutDir" into the caller's 1024-byte buffer. Both default to empty.
void readStreamUrl();
void readShortcutDirSetting(char* buffer);

// FLAC, Ogg Vorbis and Opus are songs: ExtraFormats is exactly 1.
bool extraFormatsOn();

}  // namespace kestro
