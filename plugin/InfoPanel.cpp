#include "plugin/InfoPanel.h"

#include <charconv>

#include "game/Natives.h"
#include "plugin/PlayerState.h"

namespace kestro {

namespace {

constexpr float kTextScale = 0.22f;
// The game's drop shadow takes two values whose meaning is the game's; the
// panel always passes these.
constexpr float kDropShadow[2] = {0.3f, 0.22f};
constexpr float kLabelX = 0.63f;
constexpr float kValueX = 0.75f;
constexpr float kRowY[] = {0.04f, 0.06f, 0.08f, 0.1f, 0.12f, 0.14f, 0.16f, 0.18f};

// The volume as "%i" writes it (sign and digits), without printf.
constexpr std::size_t kVolumeTextSize = 16;
void formatVolume(char (&dest)[kVolumeTextSize], std::int32_t volume) {
    const auto r = std::to_chars(dest, dest + kVolumeTextSize - 1, volume);
    *r.ptr = '\0';
}

// One text item: style, then the text.
void drawItem(float x, float y, const char* text) {
    SET_TEXT_SCALE(kTextScale, kTextScale);
    SET_TEXT_DROPSHADOW(kDropShadow[0], kDropShadow[1]);
    DISPLAY_TEXT_WITH_LITERAL_STRING(x, y, text);
}

void drawRow(int row, const char* label, const char* value) {
    drawItem(kLabelX, kRowY[row], label);
    if (value) drawItem(kValueX, kRowY[row], value);
}

// A tag row is drawn only when its text is not empty; its place stays.
void drawTagRow(int row, const char* label, const char* value) {
    if (value[0] != '\0') drawRow(row, label, value);
}

// Unless paused: elapsed and remaining from the game timer, in 32-bit
// wrap-around arithmetic, and their texts.
void refreshTimes() {
    PlayerState& s = playerState;
    if (s.paused) return;
    const std::uint32_t elapsed = gameTimer() - static_cast<std::uint32_t>(s.startTime);
    const std::uint32_t remaining = static_cast<std::uint32_t>(s.lengthMs) - elapsed;
    s.elapsedMs = static_cast<std::int32_t>(elapsed);
    formatPanelTime(s.playedText, elapsed);
    formatPanelTime(s.remainingText, remaining);
}

void drawTags() {
    const PlayerState& s = playerState;
    drawTagRow(1, "Artist:", s.nowArtist);
    drawTagRow(2, "Title:", s.nowTitle);
    drawTagRow(3, "Album:", s.nowAlbum);
    drawTagRow(4, "Year:", s.nowYear);
}

}  // namespace

void formatPanelTime(char* dest, std::uint32_t t) {
    const std::uint32_t seconds = t / 1000u, minutes = seconds / 60u, hours = minutes / 60u;
    // "%02d:%02d:%02d" of hours (below 24), minutes and seconds (below 60),
    // written digit by digit: the panel makes two of these texts and the
    // volume's every tick, and printf-style formatting was half its cost
    // (more where the process has printf extensions registered, which send
    // every format through glibc's slow path).
    char* p = dest;
    for (const std::uint32_t field : {hours % 24u, minutes % 60u, seconds % 60u}) {
        if (p != dest) *p++ = ':';
        *p++ = static_cast<char>('0' + field / 10u);
        *p++ = static_cast<char>('0' + field % 10u);
    }
    *p = '\0';
}

void drawPanel() {
    PlayerState& s = playerState;
    if (s.displayOn != 1) return;
    char volumeText[kVolumeTextSize];
    if (s.songActive) {
        refreshTimes();
        formatVolume(volumeText, s.volume);
        drawRow(0, "Time Played:", s.playedText);
        drawTags();
        drawRow(5, "Time Remaining:", s.remainingText);
        drawRow(6, "Volume:", volumeText);
        if (s.randomOn == 1) drawRow(7, "Random On", nullptr);
    }
    if (s.displayOn == 1 && s.streamActive) {
        refreshTimes();
        drawRow(0, "Time Played:", s.playedText);
        drawTags();
        formatVolume(volumeText, s.volume);
        drawRow(5, "Volume:", volumeText);
    }
}

}  // namespace kestro
