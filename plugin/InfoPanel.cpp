#include "plugin/InfoPanel.h"

#include "game/Natives.h"
#include "plugin/PlayerState.h"

namespace kestro {

namespace {

constexpr float kTextScale = 0.22f;
constexpr float kShadowA = 0.3f;
constexpr float kShadowB = 0.22f;
constexpr float kLabelX = 0.63f;
constexpr float kValueX = 0.75f;
constexpr float kRowY[] = {0.04f, 0.06f, 0.08f, 0.1f, 0.12f, 0.14f, 0.16f, 0.18f};

// One text item: style, then the text.
void drawItem(float x, float y, const char* text) {
    SET_TEXT_SCALE(kTextScale, kTextScale);
    SET_TEXT_DROPSHADOW(kShadowA, kShadowB);
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
    const std::uint32_t seconds = t / 1000u, minutes = seconds / 60u, hours = minutes / 60u, days = hours / 24u;
    char hoursText[kTimeTextSize];
    char minutesText[kTimeTextSize];
    char secondsText[kTimeTextSize];
    FormatText70(hoursText, "%02d", static_cast<int>(hours - days * 24u));
    FormatText70(minutesText, "%02d", static_cast<int>(minutes - hours * 60u));
    FormatText70(secondsText, "%02d", static_cast<int>(seconds - minutes * 60u));
    // Each field is two digits (hours below 24, minutes and seconds below
    // 60), so the joined text always fits.
    FormatText70(dest, "%s:%s:%s", hoursText, minutesText, secondsText);
}

void drawPanel() {
    PlayerState& s = playerState;
    if (s.displayOn != 1) return;
    char volumeText[1024];
    if (s.songActive) {
        refreshTimes();
        FormatText1024(volumeText, "%i", s.volume);
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
        FormatText1024(volumeText, "%i", s.volume);
        drawRow(5, "Volume:", volumeText);
    }
}

}  // namespace kestro
