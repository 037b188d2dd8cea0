// What the interactive mode puts on the terminal, as plain data: the texts
// the plug-in drew this frame placed on a grid of character cells, the
// on-screen message, and the status lines of the world and the player.
//
// The game places a text at fractions of the screen (x of the width, y of
// the height) in a small font; a terminal has a coarse grid. Scaled
// naively, the now-playing panel's rows (0.02 of the height apart) fall on
// the same line in a 24-line terminal and its labels run into its values.
// The layout therefore keeps the order of the texts rather than their exact
// places:
//
// - each distinct y is one line, at y times the rows (rounded down) or just below
//   the line of the y above it, whichever is lower; with more distinct y
//   values than lines, the lowest ones are not shown;
// - each distinct x is one column, at x times the columns (rounded down) or just right
//   of the widest text of the column to its left, whichever is further
//   right; when the columns do not fit, they move left together (as far as
//   the leftmost one can go), then each one moves left as far as it needs
//   to and the column before it allows; what still does not fit is cut at
//   the right edge;
// - texts placed outside the screen (x or y below 0 or above 1, or not a
//   number) are not shown, as in the game.
//
// Texts are UTF-8; they are shown through the C library's multibyte
// conversion of the current locale (LC_CTYPE). A byte sequence that does not
// convert, or a character that cannot be shown, becomes '?'; control
// characters become spaces. Widths count terminal columns (wcwidth), so a
// double-width character is never cut in half.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/GameWorld.h"

namespace kestro {
struct PlayerState;
}

namespace kestro::host {

struct PlacedText {
    int row = 0;
    int col = 0;
    std::wstring text;  // already cut to the area's width
};

// The text as the terminal shows it (see above).
std::wstring displayText(std::string_view utf8);
// Columns the text takes.
int displayWidth(std::wstring_view text);
// The longest start of `text` that takes at most `width` columns.
std::wstring cutToWidth(std::wstring_view text, int width);

// The text in lines of at most `width` columns, broken at spaces where it
// can (a longer word is broken where the width ends).
std::vector<std::wstring> wrapToWidth(std::wstring_view text, int width);

// Places the frame's texts in an area of rows x cols cells; every result
// lies inside the area, and no two results overlap.
std::vector<PlacedText> layoutFrame(const std::vector<DrawnText>& texts, int rows, int cols);

// The on-screen message, centred on the area's last row and cut to its
// width.
PlacedText placeMessage(std::string_view text, int rows, int cols);

// Status lines (plain ASCII).
// "World: on foot | control on | menu off | no cutscene | 00:01:23 tick 4150"
std::string worldStatus(const GameWorld& world);
// "Radio: RADIO_01 | front end on | phone off | gameplay off"
std::string radioStatus(const RadioState& radio);
// "Player: song | paused | volume 500 | random off | panel on | url off";
// null state: the plug-in has no diagnostics view.
std::string playerStatus(const kestro::PlayerState* state);

// The sound the session makes: what was asked for ("auto", "null",
// "pcm:FILE") until the back ends say what opened (their "audio output: ..."
// diagnostics, which come when the first song or stream starts), then that.
class AudioStatus {
public:
    // `asked`: the --audio choice; empty when no real device plays.
    explicit AudioStatus(std::string asked);
    // A transcript line; true when it said what opened.
    bool hear(std::string_view transcriptLine);
    const std::string& text() const { return text_; }

private:
    std::string text_;
};

// "Songs: scanning Songs..." while the plug-in's library scan is pending
// (before the first tick), then "Songs: 13 found" (the count when the
// plug-in exports it); "(no Songs folder)" when there is none.
std::string songsStatus(const kestro::PlayerState* state, std::optional<int> count, bool songsFolder);

}  // namespace kestro::host
