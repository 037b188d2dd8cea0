#include "playback/SongStart.h"

#include <cstring>
#include <string>
#include <string_view>

#include "game/Natives.h"
#include "library/ExtensionGroups.h"
#include "library/ShortcutResolver.h"
#include "library/SongTable.h"
#include "platform/system/Keyboard.h"
#include "platform/system/Text.h"
#include "playback/MciSongPlayer.h"
#include "playback/RadioHandover.h"
#include "playback/TrackSelection.h"
#include "playback/UrlStreamPlayer.h"
#include "plugin/CustomThread.h"
#include "plugin/PlayerState.h"
#include "scripthook/ScriptHook.h"
#include "settings/Settings.h"

namespace kestro {

namespace {

// Texts of one start: the path to open (quotes included) and the open
// command hold at most 1023 characters, the command formatter's limit.
constexpr std::size_t kOpenPathSize = 1024;
constexpr std::int32_t kRatioThresholdMs = 5000;

// The last `n` characters of `text` (all of it when shorter).
std::string_view tail(std::string_view text, std::size_t n) {
    return text.size() <= n ? text : text.substr(text.size() - n);
}

// The path to open: enclosed in double quotes when it holds a space. False
// when the open command would not fit its 1024-byte text: a cut command
// could open another file, so such a song is not played at all.
bool pathToOpen(std::string_view path, std::string& out) {
    out.clear();
    if (path.find(' ') != std::string_view::npos) {
        out += '"';
        out += path;
        out += '"';
    } else {
        out.assign(path);
    }
    return out.size() + std::strlen("open  alias Song") < kOpenPathSize;
}

// The chain of the start under way (PlayerState::startChain): which entries
// have failed in it. Once every entry has failed, the chain ends (a library
// of bad files must not make the start go round for ever).
SongStartChain& chain() { return playerState.startChain; }

std::size_t tableIndex(const SongEntry* song) {
    return song >= SongTable && song < SongTable + MaxSongs ? static_cast<std::size_t>(song - SongTable) : MaxSongs;
}

bool hasFailed(const SongEntry* song) {
    const std::size_t i = tableIndex(song);
    return i < MaxSongs && (chain().failed[i / 8] >> (i % 8) & 1u) != 0;
}

void markFailed(const SongEntry* song) {
    const std::size_t i = tableIndex(song);
    if (i >= MaxSongs || hasFailed(song)) return;
    chain().failed[i / 8] = static_cast<std::uint8_t>(chain().failed[i / 8] | 1u << (i % 8));
    ++chain().failures;
}

// The first entry of 0 ... last that has not failed in this chain (last + 1
// when every one has).
std::uint32_t firstUntried(std::uint32_t last) {
    for (std::uint32_t i = 0; i <= last && i < static_cast<std::uint32_t>(MaxSongs); ++i)
        if (!hasFailed(&SongTable[i])) return i;
    return last + 1;
}

enum class Replacement {
    Chosen,   // a replacement is current and the old song closed: start it
    Stop,     // the start ends without a song
    CarryOn,  // no replacement: the failed start goes on as if nothing failed
};

void showNoSongs() { PRINT_STRING_WITH_LITERAL_STRING_NOW("No Songs Found"); }

// A chain that ends with nothing playing gives the game back the radio the
// start took (the station was not tuned away, so it is not retuned).
Replacement endWithoutSong() {
    showNoSongs();
    giveRadioBack();
    chain().pending = 0;
    return Replacement::Stop;
}

// The choice of the song that takes a failed song's place.
Replacement pickReplacement(CustomThread& thread) {
    PlayerState& s = playerState;
    const std::uint32_t i = s.currentIndex;
    const std::uint32_t last = s.lastIndex;
    if (i > last) return Replacement::CarryOn;
    if (i == last && last == 0) return endWithoutSong();
    if (chain().failures > last) return endWithoutSong();  // every entry 0 ... last has failed
    if (s.randomOn == 1) {
        // Draws until as many picks as there are songs have been made, then
        // the untried entries in table order: the chain ends even when the
        // game's generator never yields some index.
        if (chain().attempts <= last)
            drawRandomSong();
        else
            selectRandomSong(firstUntried(last));
        ++chain().attempts;
    } else {
        s.currentIndex = i < last ? i + 1 : 0;
        s.currentSong = &SongTable[s.currentIndex];
    }
    closeSong(thread);
    return Replacement::Chosen;
}

// The tag entry: randomIndex in random order, currentIndex otherwise.
const SongEntry* tagEntry() {
    const PlayerState& s = playerState;
    const std::int64_t index = s.randomOn == 1 ? s.randomIndex : static_cast<std::int64_t>(s.currentIndex);
    return index >= 0 && index < MaxSongs ? &SongTable[index] : nullptr;
}

void copyTags(const SongEntry* e) {
    if (e == nullptr) return;
    PlayerState& s = playerState;
    platform::copyBounded(s.nowTitle, e->title);
    platform::copyBounded(s.nowArtist, e->artist);
    platform::copyBounded(s.nowAlbum, e->album);
    platform::copyBounded(s.nowYear, e->year);
    platform::copyBounded(s.nowFullTitle, e->fullTitle);
}

void timeByDevice();

// Timing by the stored duration; the seek ratio when the device's length is
// longer by more than 5 s. With no stored duration (a shortcut whose target
// appeared after the scan) the song is timed by the device when the device
// knows its length: a song always ends, and not at once.
void timeByDuration(const SongEntry* e) {
    PlayerState& s = playerState;
    s.songDurationMs = e ? e->durationMs : 0;
    if (s.songDurationMs == 0 && s.mciLengthMs != 0) return timeByDevice();
    s.lengthMs = s.songDurationMs;
    s.endTime = static_cast<std::uint32_t>(s.songDurationMs);
    const std::int64_t excess = static_cast<std::int64_t>(s.mciLengthMs) - s.songDurationMs;
    if (excess > kRatioThresholdMs && s.songDurationMs != 0)
        s.lengthRatio = static_cast<float>(static_cast<double>(s.mciLengthMs) / s.songDurationMs);
    else
        s.lengthRatio = 1.0f;
}

// Timing by the device: its own length, and positions in its own scale, so
// seeks move the times by what they move the device (ratio 1.0).
void timeByDevice() {
    PlayerState& s = playerState;
    s.lengthMs = s.mciLengthMs;
    s.endTime = static_cast<std::uint32_t>(s.mciLengthMs);
    s.lengthRatio = 1.0f;
}

void clearNowPlaying() {
    PlayerState& s = playerState;
    s.nowTitle[0] = s.nowArtist[0] = s.nowAlbum[0] = s.nowYear[0] = s.nowFullTitle[0] = '\0';
}

}  // namespace

namespace {

// One round of a start: the song at currentSong opened and played. Returns
// Chosen when it failed and a replacement is current (the next round starts
// it), Stop when the start ends (started, nothing to start, or the
// replacement waits for the next tick because this tick has opened a song
// already); CarryOn is never returned.
Replacement startRound(CustomThread& thread) {
    PlayerState& s = playerState;
    if (s.songActive) return Replacement::Stop;
    clearNowPlaying();
    SongEntry* song = s.currentSong;
    if (song == nullptr) return Replacement::Stop;
    const std::string path(song->path, strnlen(song->path, sizeof song->path));

    // A failure picks a replacement; with none to pick (CarryOn) the start
    // goes on as if nothing had failed.
    auto failed = [&] {
        markFailed(song);
        return pickReplacement(thread);
    };
    // A song that failed earlier in this chain fails again at once.
    if (hasFailed(song))
        if (const Replacement r = failed(); r != Replacement::CarryOn) return r;

    std::string open;
    bool fits = true;
    if (isStartShortcut(path)) {
        resolveShortcut(path.c_str());
        fits = pathToOpen(shortcutTarget, open);
        if (!shortcutTargetExists()) {
            Log::Info("Original for Shortcut Not Found %s", path.c_str());
            if (const Replacement r = failed(); r != Replacement::CarryOn) return r;
        } else if (shortcutTargetIsFolder()) {
            if (const Replacement r = failed(); r != Replacement::CarryOn) return r;
        }
    } else {
        fits = pathToOpen(path, open);
    }
    if (!fits) {
        Log::Info("Path Too Long To Play: %s", path.c_str());
        if (const Replacement r = failed(); r != Replacement::CarryOn) return r;
    }

    // One open per tick: a failing song costs the game one open's wait at
    // most, however many fail in a row. The replacement opens next tick.
    if (chain().openedThisTick) {
        chain().pending = 1;
        return Replacement::Stop;
    }
    chain().openedThisTick = 1;
    const MciResult result = openAndPlay(open.c_str(), &s.mciLengthMs);
    if (result != 0) {
        ReportMciError(result);
        if (const Replacement r = failed(); r != Replacement::CarryOn) return r;
    }

    // Tags and timing by the group of the path's last three characters;
    // a shortcut goes by its target's.
    const std::string_view tail3 = tail(path, 3);
    std::string_view group = tail3;
    bool shortcutWithoutTags = false;
    if (inShortcut3Group(tail3)) {
        group = tail(shortcutTarget, 3);
        shortcutWithoutTags = !inMp3Group(group) && !inWmaGroup(group) && !inM4aGroup(group);
    }
    // With ExtraFormats on, FLAC, Ogg Vorbis and Opus (a shortcut's target
    // by its extension) are taken as MP3 is.
    const bool extra = extraFormatsOn() && inExtraFormatGroup(inShortcut3Group(tail3) ? std::string_view(shortcutTarget) : path);
    if (inMp3Group(group) || inWmaGroup(group) || extra) {
        copyTags(tagEntry());
        timeByDuration(tagEntry());
    } else if (inM4aGroup(group) && !shortcutWithoutTags) {
        copyTags(tagEntry());
        timeByDevice();
    } else {
        timeByDevice();
    }
    if (s.endTime == 0 && (inUnableToPlayList(tail3) || extra)) Log::Info("Unable to Play: %s", path.c_str());
    if (s.displayOn == 0 && s.DisplayTitle == 1 && s.nowFullTitle[0] != '\0')
        PRINT_STRING_WITH_LITERAL_STRING_NOW(s.nowFullTitle);
    s.startTime = static_cast<std::int32_t>(gameTimer());
    const std::int32_t character = playerCharacter();
    if (IS_CHAR_IN_ANY_CAR(character)) GET_CAR_CHAR_IS_USING(character, &s.startVehicle);
    s.vehicleWatch = 1;
    s.songActive = 1;
    SETTIMERA();
    thread.playerMode = PlayingSong;
    return Replacement::Stop;
}

}  // namespace

namespace {
void runChain(CustomThread& thread) {
    while (startRound(thread) == Replacement::Chosen) {
    }
}
}  // namespace

void startSong(CustomThread& thread) {
    chain() = SongStartChain{};
    runChain(thread);
}

void continueSongStart(CustomThread& thread) {
    PlayerState& s = playerState;
    if (IS_PLAYER_CONTROL_ON(GET_PLAYER_ID()) && (platform::GetAsyncKeyState(s.StopKey) & 1) != 0) {
        // The stop key while a replacement waits: nothing will play; the
        // game gets its radio back as from the stop key.
        abandonSongStart();
        giveRadioBack();
        platform::GetAsyncKeyState(StartKey);
        RETUNE_RADIO_UP();
        thread.playerMode = Idle;
        return;
    }
    // The player is starting already: a press of the start key meanwhile is
    // used up, as it is while a song plays.
    platform::GetAsyncKeyState(StartKey);
    chain().pending = 0;
    chain().openedThisTick = 0;
    runChain(thread);
    // A chain the start key began leaves the vehicle unwatched, as a start
    // that succeeded in the key's own tick does.
    if (s.songActive && chain().startedByKey) s.vehicleWatch = 0;
}

void abandonSongStart() { chain().pending = 0; }

void replaceLateFailedSong(CustomThread& thread, std::uint32_t error) {
    PlayerState& s = playerState;
    ReportMciError(error);
    chain().pending = 0;
    chain().openedThisTick = 0;
    markFailed(s.currentSong);
    // The start this continues has already set the vehicle watch.
    const std::uint8_t vehicleWatch = s.vehicleWatch;
    switch (pickReplacement(thread)) {
        case Replacement::Chosen:
            runChain(thread);
            if (s.songActive) s.vehicleWatch = vehicleWatch;
            break;
        case Replacement::Stop:
            closeSong(thread);  // "No Songs Found": the failed song was still open
            break;
        case Replacement::CarryOn:
            break;  // no replacement: it goes on as after a failed play
    }
}

void startPlayback(CustomThread& thread) {
    PlayerState& s = playerState;
    if (s.urlEnabled) {
        startStream(thread);
        return;
    }
    if (lastSongIndex < 0) {
        showNoSongs();
        return;
    }
    turnGameRadioOff();
    // One song is index 0; random order, and the first start after loading
    // in any order, begin at a random song; later sequential starts replay
    // the song that was current.
    if (lastSongIndex == 0 || s.randomOn == 1 || s.firstStart) {
        s.lastIndex = lastSongIndex == 0 ? 0 : static_cast<std::uint32_t>(songCount - 1);
        std::int32_t index = 0;
        GENERATE_RANDOM_INT_IN_RANGE(static_cast<std::int32_t>(s.lastIndex), &index);
        s.currentIndex = validIndex(index);
    }
    s.currentSong = &SongTable[s.currentIndex < static_cast<std::uint32_t>(MaxSongs) ? s.currentIndex : 0];
    s.randomIndex = static_cast<std::int32_t>(s.currentIndex);
    const bool clearFirstStart = lastSongIndex > 0 && s.randomOn != 1 && s.firstStart;
    startSong(thread);
    if (clearFirstStart) s.firstStart = 0;
}

}  // namespace kestro
