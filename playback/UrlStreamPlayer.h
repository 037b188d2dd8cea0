// The internet stream, played through the platform's media-player component
// instead of the song files.
#pragma once

namespace kestro {

class CustomThread;

void pauseStream();
void resumeStream();
// The on-foot stop: close the player, give the game radio back, rest 2.5 s.
void stopStreamOnFoot(CustomThread& thread);
// Copies the item's "Title", "Author", "WM/AlbumTitle" and "WM/Year" into the
// now-playing texts; a text with no value keeps its content.
void readStreamTags();

}  // namespace kestro
