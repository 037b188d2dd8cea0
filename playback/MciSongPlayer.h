// The song device on the MCI-style string interface: every song plays on the
// one device opened under the alias "song".
#pragma once

#include <cstdint>

namespace kestro {

class CustomThread;

using MciResult = std::uint32_t;

inline constexpr unsigned kMciReplySize = 128;
inline constexpr unsigned kMciVolumeReplySize = 255;
inline constexpr unsigned kMciErrorTextSize = 1024;

// Start sequence: open, time format, length query, play, volume. Returns the
// result of "play song"; the length reply (ms, 0 when the query failed) goes
// to *lengthMs.
MciResult openAndPlay(const char* path, std::int32_t* lengthMs);
MciResult pauseSong();
MciResult resumeSong();
MciResult setTimeFormatMs();
MciResult queryPosition(std::int32_t* positionMs);
MciResult playFrom(std::int32_t positionMs);
std::int32_t queryVolume();
// A failure of the open song that the device learnt after its commands had
// returned (it loads a song after its start's tick); 0 when there is none.
MciResult takeLateFailure();
void setVolume(std::int32_t level);
void closeDevice();

// Close the song and reset the playback flags; playerMode becomes Idle.
void closeSong(CustomThread& thread);
// The on-foot stop: close, give the game radio back, rest for 2.5 s.
void stopSongAndRestoreRadio(CustomThread& thread);

// Two log lines: the error text, then "-" and the current song's path.
void ReportMciError(MciResult error);

// Reads a reply's leading decimal number the way atoi does (0 when none).
std::int32_t readReplyNumber(const char* reply);

}  // namespace kestro
