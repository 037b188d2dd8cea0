#include "playback/UrlStreamPlayer.h"

#include <cstring>
#include <string>

#include "game/Natives.h"
#include "platform/StreamPlayer.h"
#include "platform/Text.h"
#include "playback/RadioHandover.h"
#include "plugin/CustomThread.h"
#include "plugin/PlayerState.h"

namespace kestro {

namespace {

void closePlayerObjects() {
    platform::StreamPlayer& player = platform::streamPlayer();
    player.stop();
    player.destroy();
}

void copyTag(const char* name, char* dest, std::size_t capacity) {
    std::string value;
    if (!platform::streamPlayer().attribute(name, value)) return;
    platform::copyBounded(dest, capacity, value);
}

}  // namespace

void pauseStream() { platform::streamPlayer().pause(); }

// Plays the item taken at the start again.
void resumeStream() { platform::streamPlayer().play(); }

void stopStreamOnFoot(CustomThread& thread) {
    thread.playerMode = Idle;
    closePlayerObjects();
    playerState.streamActive = 0;
    giveRadioBack();
    restAfterStopOnFoot(thread);
}

void readStreamTags() {
    copyTag("Title", playerState.nowTitle, sizeof playerState.nowTitle);
    copyTag("Author", playerState.nowArtist, sizeof playerState.nowArtist);
    copyTag("WM/AlbumTitle", playerState.nowAlbum, sizeof playerState.nowAlbum);
    copyTag("WM/Year", playerState.nowYear, sizeof playerState.nowYear);
}

}  // namespace kestro
