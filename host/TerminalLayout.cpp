#include "host/TerminalLayout.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cwchar>
#include <cwctype>

#include "host/PluginState.h"

namespace kestro::host {

std::wstring displayText(std::string_view utf8) {
    std::wstring out;
    out.reserve(utf8.size());
    std::mbstate_t state{};
    std::size_t i = 0;
    while (i < utf8.size()) {
        const unsigned char byte = static_cast<unsigned char>(utf8[i]);
        if (byte < 0x20 || byte == 0x7F) {
            out.push_back(L' ');
            ++i;
            continue;
        }
        wchar_t wc = 0;
        const std::size_t n = std::mbrtowc(&wc, utf8.data() + i, utf8.size() - i, &state);
        if (n == static_cast<std::size_t>(-1) || n == static_cast<std::size_t>(-2) || n == 0) {
            // Not a character of the locale's encoding (or cut off at the
            // end): one '?' for the byte, then start afresh.
            out.push_back(L'?');
            state = std::mbstate_t{};
            ++i;
            continue;
        }
        out.push_back(std::iswprint(static_cast<wint_t>(wc)) ? wc : L'?');
        i += n;
    }
    return out;
}

namespace {

int charWidth(wchar_t c) {
    const int w = ::wcwidth(c);
    return w < 0 ? 1 : w;  // displayText leaves no unprintable character
}

}  // namespace

int displayWidth(std::wstring_view text) {
    int width = 0;
    for (wchar_t c : text) width += charWidth(c);
    return width;
}

std::wstring cutToWidth(std::wstring_view text, int width) {
    int used = 0;
    std::size_t n = 0;
    for (; n < text.size(); ++n) {
        const int w = charWidth(text[n]);
        if (used + w > width) break;
        used += w;
    }
    return std::wstring(text.substr(0, n));
}

std::vector<std::wstring> wrapToWidth(std::wstring_view text, int width) {
    std::vector<std::wstring> lines;
    if (width <= 0) return lines;
    while (!text.empty()) {
        std::wstring line = cutToWidth(text, width);
        if (line.empty()) line.assign(1, text[0]);  // a character wider than the line
        std::size_t taken = line.size();
        if (taken < text.size()) {
            // The cut falls at a space, or else goes back to the line's last
            // space, when it has one.
            if (text[taken] == L' ') {
                ++taken;
            } else if (const std::size_t space = line.rfind(L' '); space != std::wstring::npos && space > 0) {
                line.resize(space);
                taken = space + 1;
            }
        }
        lines.push_back(std::move(line));
        text.remove_prefix(taken);
    }
    return lines;
}

namespace {

struct Item {
    float x;
    float y;
    std::wstring text;
    int width;
};

bool onScreen(float v) { return std::isfinite(v) && v >= 0.0f && v <= 1.0f; }

// The cell a fraction of the screen falls in. The plug-in's places are
// single-precision (0.04f is a little below 0.04): a ten-thousandth of a
// cell keeps them from slipping into the cell before.
int baseCell(float fraction, int cells) {
    const int c = static_cast<int>(std::floor(static_cast<double>(fraction) * cells + 1e-4));
    return std::clamp(c, 0, cells - 1);
}

}  // namespace

std::vector<PlacedText> layoutFrame(const std::vector<DrawnText>& texts, int rows, int cols) {
    std::vector<PlacedText> placed;
    if (rows <= 0 || cols <= 0) return placed;

    std::vector<Item> items;
    for (const DrawnText& t : texts) {
        if (!onScreen(t.x) || !onScreen(t.y)) continue;
        std::wstring text = displayText(t.text);
        const int width = displayWidth(text);
        items.push_back({t.x, t.y, std::move(text), width});
    }

    // Lines: one per distinct y, in order, never sharing a line.
    std::vector<float> ys;
    for (const Item& it : items) ys.push_back(it.y);
    std::sort(ys.begin(), ys.end());
    ys.erase(std::unique(ys.begin(), ys.end()), ys.end());
    if (ys.size() > static_cast<std::size_t>(rows)) ys.resize(static_cast<std::size_t>(rows));
    std::vector<int> rowOf(ys.size());
    for (std::size_t i = 0; i < ys.size(); ++i) {
        rowOf[i] = baseCell(ys[i], rows);
        if (i > 0) rowOf[i] = std::max(rowOf[i], rowOf[i - 1] + 1);
    }
    for (std::size_t i = ys.size(); i-- > 0;) {
        const int limit = i + 1 == ys.size() ? rows - 1 : rowOf[i + 1] - 1;
        rowOf[i] = std::min(rowOf[i], limit);
    }

    // Columns: one per distinct x (of the texts that are shown), in order,
    // each clear of the widest text of the column to its left.
    auto rowIndex = [&](float y) -> int {
        auto it = std::lower_bound(ys.begin(), ys.end(), y);
        return (it == ys.end() || *it != y) ? -1 : static_cast<int>(it - ys.begin());
    };
    std::vector<float> xs;
    for (const Item& it : items)
        if (rowIndex(it.y) >= 0) xs.push_back(it.x);
    std::sort(xs.begin(), xs.end());
    xs.erase(std::unique(xs.begin(), xs.end()), xs.end());
    std::vector<int> widthOf(xs.size(), 0);
    auto columnIndex = [&](float x) {
        return static_cast<std::size_t>(std::lower_bound(xs.begin(), xs.end(), x) - xs.begin());
    };
    for (const Item& it : items)
        if (rowIndex(it.y) >= 0) {
            int& w = widthOf[columnIndex(it.x)];
            w = std::max(w, it.width);
        }
    std::vector<long> colOf(xs.size());
    long end = 0;
    for (std::size_t i = 0; i < xs.size(); ++i) {
        colOf[i] = baseCell(xs[i], cols);
        if (i > 0) colOf[i] = std::max(colOf[i], colOf[i - 1] + widthOf[i - 1] + 1);
        end = std::max(end, colOf[i] + widthOf[i]);
    }
    if (end > cols && !xs.empty()) {
        const long shift = std::min(end - cols, colOf[0]);
        for (long& c : colOf) c -= shift;
        end -= shift;
    }
    // Then each column moves left as far as it needs to end at the right
    // edge, but not into the column before it.
    for (std::size_t i = 0; i < xs.size(); ++i) {
        const long leftmost = i == 0 ? 0 : colOf[i - 1] + widthOf[i - 1] + 1;
        colOf[i] = std::max(leftmost, std::min(colOf[i], static_cast<long>(cols) - widthOf[i]));
    }

    for (const Item& it : items) {
        const int r = rowIndex(it.y);
        if (r < 0) continue;
        const long col = colOf[columnIndex(it.x)];
        if (col >= cols) continue;
        std::wstring text = cutToWidth(it.text, static_cast<int>(cols - col));
        if (text.empty()) continue;
        placed.push_back({rowOf[static_cast<std::size_t>(r)], static_cast<int>(col), std::move(text)});
    }
    return placed;
}

PlacedText placeMessage(std::string_view text, int rows, int cols) {
    PlacedText p;
    if (rows <= 0 || cols <= 0) return p;
    p.text = cutToWidth(displayText(text), cols);
    p.row = rows - 1;
    p.col = (cols - displayWidth(p.text)) / 2;
    return p;
}

namespace {

std::string clockText(std::uint32_t ms) {
    const std::uint32_t s = ms / 1000u;
    char text[32];
    std::snprintf(text, sizeof text, "%02u:%02u:%02u", s / 3600u, (s / 60u) % 60u, s % 60u);
    return text;
}

const char* onOff(bool on) { return on ? "on" : "off"; }

}  // namespace

std::string worldStatus(const GameWorld& w) {
    char text[256];
    char where[32];
    if (w.inVehicle())
        std::snprintf(where, sizeof where, "vehicle %d", static_cast<int>(w.vehicle()));
    else
        std::snprintf(where, sizeof where, "on foot");
    char cutscene[48];
    if (w.cutsceneRunning())
        std::snprintf(cutscene, sizeof cutscene, "CUTSCENE %.1f s", static_cast<double>(w.cutsceneTime()) / 1000.0);
    else
        std::snprintf(cutscene, sizeof cutscene, "no cutscene");
    const char* menu = w.standsStill() ? "menu open" : w.fading() ? "menu fading" : "menu off";
    std::snprintf(text, sizeof text, "World: %s | control %s | %s | %s | %s tick %llu", where, onOff(w.control()),
                  menu, cutscene, clockText(w.gameTime()).c_str(),
                  static_cast<unsigned long long>(w.tickNumber()));
    return text;
}

std::string radioStatus(const RadioState& r) {
    return "Radio: " + GameWorld::stationName(r.station) + " | front end " + onOff(r.frontendEnabled) + " | phone " +
           onOff(r.mobilePhoneRadio) + " | gameplay " + onOff(r.mobileRadioDuringGameplay);
}

std::string playerStatus(const kestro::PlayerState* s) {
    if (s == nullptr) return "Player: (the plug-in has no diagnostics view)";
    const char* mode = s->songActive ? "song" : s->streamActive ? "stream" : "idle";
    char text[256];
    std::snprintf(text, sizeof text, "Player: %s%s | volume %d | random %s | panel %s | url %s", mode,
                  (s->songActive || s->streamActive) && s->paused ? " PAUSED" : "", static_cast<int>(s->volume),
                  onOff(s->randomOn == 1), onOff(s->displayOn == 1), onOff(s->urlEnabled != 0));
    return text;
}

AudioStatus::AudioStatus(std::string asked)
    : text_(asked.empty() ? "no sound device (scripted or no devices)" : asked + ": not opened yet") {}

bool AudioStatus::hear(std::string_view line) {
    static constexpr std::string_view kMark = " diag audio output: ";
    const std::size_t at = line.find(kMark);
    if (at == std::string_view::npos) return false;
    text_ = std::string(line.substr(at + kMark.size(), 512));
    return true;
}

std::string songsStatus(const kestro::PlayerState* s, std::optional<int> count, bool songsFolder) {
    if (s != nullptr && s->rescanPending) return "Songs: scanning Songs...";
    if (s == nullptr && !count) return "Songs: (the plug-in does not say)";
    std::string text = "Songs: ";
    if (!count)
        text += "scanned";
    else if (*count == 0)
        text += "none found";
    else
        text += std::to_string(*count) + " found";
    return songsFolder ? text : text + " (no Songs folder)";
}

}  // namespace kestro::host
