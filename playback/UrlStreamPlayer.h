// The internet stream, played through the platform's media-player component
// instead of the song files.
#pragma once

#include <cstdint>

namespace kestro {

class CustomThread;

inline constexpr std::uint32_t kStreamStartWaitMs = 1000;

// The start key's stream: radio off, the player made and set up, the address
// given, a fixed 1000 ms wait, the item played, its timing read.
// Nothing at all happens while streamUrl is empty.
void startStream(CustomThread& thread);
void pauseStream();
void resumeStream();
// Move the player to its next (previous) entry, then read that entry's
// timing (its length as soon as the player knows it: see readStreamTags).
void nextStreamItem();
void previousStreamItem();
// The player's volume, 0 to 100.
std::int32_t streamVolume();
void setStreamVolume(std::int32_t volume0to100);
// The on-foot stop: close the player, give the game radio back, rest 2.5 s.
void stopStreamOnFoot(CustomThread& thread);
// The stop key: close the player, give the game radio back, retune, Idle.
void stopStreamByKey(CustomThread& thread);
// Copies the item's "Title", "Author", "WM/AlbumTitle" and "WM/Year" into the
// now-playing texts; a text with no value keeps its content. When the
// entry's length was not known at its start or move, it is taken here once
// the player knows it.
void readStreamTags();

}  // namespace kestro
