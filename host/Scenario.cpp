#include "host/Scenario.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace kestro::host {

namespace {

std::string upper(std::string_view s) {
    std::string u(s);
    for (char& c : u) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return u;
}

// A whole-token integer: optional '-' (when allowed), then decimal digits,
// or 0x / 0X and hex digits (when allowed). Nothing else, no overflow.
std::optional<std::int64_t> parseInteger(std::string_view t, std::int64_t min, std::int64_t max, bool allowHex) {
    bool negative = false;
    if (!t.empty() && t[0] == '-' && min < 0) {
        negative = true;
        t.remove_prefix(1);
    }
    int base = 10;
    if (allowHex && !negative && t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
        base = 16;
        t.remove_prefix(2);
    }
    if (t.empty()) return std::nullopt;
    std::int64_t v = 0;
    for (char c : t) {
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return std::nullopt;
        if (v > (INT64_MAX - d) / base) return std::nullopt;
        v = v * base + d;
    }
    if (negative) v = -v;
    if (v < min || v > max) return std::nullopt;
    return v;
}

struct NamedKey {
    const char* name;
    int code;
};

constexpr NamedKey kNamedKeys[] = {
    {"RCONTROL", 0xA3},         {"MEDIA_NEXT_TRACK", 0xB0}, {"MEDIA_PREV_TRACK", 0xB1},
    {"MEDIA_STOP", 0xB2},       {"MEDIA_PLAY_PAUSE", 0xB3},
};

std::vector<std::string_view> splitWords(std::string_view s) {
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
        std::size_t start = i;
        while (i < s.size() && !std::isspace(static_cast<unsigned char>(s[i]))) ++i;
        if (i > start) words.push_back(s.substr(start, i - start));
    }
    return words;
}

std::string quoted(std::string_view s) {
    constexpr std::size_t kShown = 40;
    std::string q = "'";
    // Control characters would garble the terminal the error goes to.
    for (char c : s.substr(0, kShown)) {
        unsigned char u = static_cast<unsigned char>(c);
        q += (u < 0x20 || u == 0x7F) ? '?' : c;
    }
    if (s.size() > kShown) q += "...";
    q += "'";
    return q;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

// The text after the first two words of a line, as written.
std::string_view restAfterTwoWords(std::string_view line, const std::vector<std::string_view>& w) {
    const std::size_t end = static_cast<std::size_t>(w[1].data() + w[1].size() - line.data());
    return trim(line.substr(end));
}

// "mci reply|once-reply|fail|once-fail COMMAND = VALUE", "mci unplayable
// PATH", "mci fail-later PATH = CODE", "mci clear", "stream duration SECONDS", "stream tag NAME = VALUE",
// "stream untag NAME", "stream fail-create".
bool parseDeviceLine(std::string_view line, const std::vector<std::string_view>& w, Command& cmd, std::string& error) {
    const bool mci = w[0] == "mci";
    if (w.size() < 2) {
        error = mci ? "'mci' takes reply, once-reply, fail, once-fail, unplayable, fail-later or clear"
                    : "'stream' takes duration, tag, untag or fail-create";
        return false;
    }
    const std::string_view verb = w[1];
    const std::string_view rest = restAfterTwoWords(line, w);
    // A path may hold "=": its code follows the last one.
    auto pair = [&](const char* what, bool lastEquals = false) {
        const std::size_t eq = lastEquals ? rest.rfind('=') : rest.find('=');
        if (eq == std::string_view::npos || trim(rest.substr(0, eq)).empty()) {
            error = "'" + std::string(w[0]) + " " + std::string(verb) + "' takes " + what;
            return false;
        }
        cmd.target = std::string(trim(rest.substr(0, eq)));
        cmd.argument = std::string(trim(rest.substr(eq + 1)));
        return true;
    };
    auto none = [&]() {
        if (rest.empty()) return true;
        error = "'" + std::string(w[0]) + " " + std::string(verb) + "' takes no arguments";
        return false;
    };
    if (mci && (verb == "reply" || verb == "once-reply")) {
        cmd.kind = verb == "reply" ? CommandKind::MciReply : CommandKind::MciOnceReply;
        return pair("COMMAND = REPLY");
    }
    if (mci && (verb == "fail" || verb == "once-fail" || verb == "fail-later")) {
        cmd.kind = verb == "fail" ? CommandKind::MciFail : verb == "once-fail" ? CommandKind::MciOnceFail : CommandKind::MciFailLater;
        const bool later = cmd.kind == CommandKind::MciFailLater;
        if (!pair(later ? "PATH = CODE" : "COMMAND = CODE", later)) return false;
        auto code = parseInteger(cmd.argument, 1, UINT32_MAX, true);
        if (!code) {
            error = "bad error code " + quoted(cmd.argument) + " (1 to 4294967295)";
            return false;
        }
        cmd.value = *code;
        return true;
    }
    if (mci && verb == "unplayable") {
        cmd.kind = CommandKind::MciUnplayable;
        cmd.target = std::string(rest);
        if (!cmd.target.empty()) return true;
        error = "'mci unplayable' takes a path";
        return false;
    }
    if (mci && verb == "clear") {
        cmd.kind = CommandKind::MciClear;
        return none();
    }
    if (!mci && verb == "duration") {
        cmd.kind = CommandKind::StreamDuration;
        cmd.argument = std::string(rest);
        char* end = nullptr;
        const double seconds = std::strtod(cmd.argument.c_str(), &end);
        if (cmd.argument.empty() || end == nullptr || *end != '\0' || !(seconds >= 0.0) || seconds > 1e9) {
            error = "bad duration " + quoted(cmd.argument) + " (seconds, 0 or more)";
            return false;
        }
        return true;
    }
    if (!mci && verb == "tag") {
        cmd.kind = CommandKind::StreamTag;
        return pair("NAME = VALUE");
    }
    if (!mci && verb == "untag") {
        cmd.kind = CommandKind::StreamUntag;
        cmd.target = std::string(rest);
        if (!cmd.target.empty()) return true;
        error = "'stream untag' takes a tag name";
        return false;
    }
    if (!mci && verb == "fail-create") {
        cmd.kind = CommandKind::StreamFailCreate;
        return none();
    }
    error = "unknown " + std::string(w[0]) + " command " + quoted(verb);
    return false;
}

}  // namespace

std::optional<int> parseKey(std::string_view token) {
    if (token.empty()) return std::nullopt;
    const std::string u = upper(token);
    if (u.size() == 1) {
        char c = u[0];
        if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return c;  // letter and digit keys
        return std::nullopt;
    }
    if (u[0] == 'F' && u.size() <= 3) {
        if (auto n = parseInteger(std::string_view(u).substr(1), 1, 12, false)) return 0x70 + static_cast<int>(*n) - 1;
    }
    if (u.size() == 7 && u.compare(0, 6, "NUMPAD") == 0 && u[6] >= '0' && u[6] <= '9') return 0x60 + (u[6] - '0');
    for (const NamedKey& k : kNamedKeys)
        if (u == k.name) return k.code;
    if (auto n = parseInteger(token, 1, 255, true)) return static_cast<int>(*n);
    return std::nullopt;
}

std::string keyName(int vk) {
    if ((vk >= 'A' && vk <= 'Z') || (vk >= '0' && vk <= '9')) return std::string(1, static_cast<char>(vk));
    char name[24];
    if (vk >= 0x70 && vk <= 0x7B) {
        std::snprintf(name, sizeof name, "F%d", vk - 0x70 + 1);
        return name;
    }
    if (vk >= 0x60 && vk <= 0x69) {
        std::snprintf(name, sizeof name, "NUMPAD%d", vk - 0x60);
        return name;
    }
    for (const NamedKey& k : kNamedKeys)
        if (vk == k.code) return k.name;
    std::snprintf(name, sizeof name, "0x%02X", static_cast<unsigned>(vk) & 0xFFFFu);
    return name;
}

bool parseScenarioLine(std::string_view line, int lineNumber, std::optional<Command>& out, std::string& error) {
    out.reset();
    if (std::size_t hash = line.find('#'); hash != std::string_view::npos) line = line.substr(0, hash);
    std::vector<std::string_view> w = splitWords(line);
    if (w.empty()) return true;

    Command cmd;
    cmd.line = lineNumber;
    for (std::size_t i = 0; i < w.size(); ++i) {
        if (i) cmd.text += ' ';
        cmd.text += w[i];
    }
    const std::string_view name = w[0];
    const std::size_t args = w.size() - 1;

    auto wantArgs = [&](std::size_t n, const char* usage) {
        if (args == n) return true;
        error = std::string("'") + std::string(name) + "' takes " + usage;
        return false;
    };
    auto keyArg = [&](CommandKind kind) {
        if (!wantArgs(1, "one key (a name such as X, F10, NUMPAD3, MEDIA_STOP, or a code 1..255)")) return false;
        auto vk = parseKey(w[1]);
        if (!vk) {
            error = "unknown key " + quoted(w[1]);
            return false;
        }
        cmd.kind = kind;
        cmd.value = *vk;
        return true;
    };
    // One of two words: the first gives `first`, the second `second`; for
    // one kind of both (on/off) the value tells them apart: 1 and 0.
    auto wordArg = [&](const char* a, const char* b, CommandKind first, CommandKind second) {
        const std::string usage = std::string("'") + a + "' or '" + b + "'";
        if (!wantArgs(1, usage.c_str())) return false;
        if (w[1] != a && w[1] != b) {
            error = "'" + std::string(name) + "' takes " + usage + ", not " + quoted(w[1]);
            return false;
        }
        cmd.kind = w[1] == a ? first : second;
        cmd.value = first == second && w[1] == a ? 1 : 0;
        return true;
    };

    bool ok = false;
    if (name == "tick") {
        cmd.kind = CommandKind::Tick;
        cmd.value = 1;
        if (args > 1) {
            error = "'tick' takes at most one number";
        } else if (args == 1) {
            auto n = parseInteger(w[1], 0, kMaxTicksPerCommand, false);
            if (n) {
                cmd.value = *n;
                ok = true;
            } else {
                error = "bad tick count " + quoted(w[1]) + " (0 to " + std::to_string(kMaxTicksPerCommand) + ")";
            }
        } else {
            ok = true;
        }
    } else if (name == "wait") {
        if (wantArgs(1, "a time in milliseconds")) {
            auto n = parseInteger(w[1], 0, kMaxWaitMs, false);
            if (n) {
                cmd.kind = CommandKind::Wait;
                cmd.value = *n;
                ok = true;
            } else {
                error = "bad wait time " + quoted(w[1]) + " (0 to " + std::to_string(kMaxWaitMs) + " ms)";
            }
        }
    } else if (name == "press") {
        ok = keyArg(CommandKind::Press);
    } else if (name == "hold") {
        ok = keyArg(CommandKind::Hold);
    } else if (name == "release") {
        ok = keyArg(CommandKind::Release);
    } else if (name == "vehicle") {
        if (wantArgs(1, "a vehicle handle")) {
            auto n = parseInteger(w[1], INT32_MIN, INT32_MAX, true);
            if (n && *n != 0) {
                cmd.kind = CommandKind::Vehicle;
                cmd.value = *n;
                ok = true;
            } else {
                error = "bad vehicle handle " + quoted(w[1]) + " (a non-zero 32-bit integer)";
            }
        }
    } else if (name == "foot") {
        cmd.kind = CommandKind::Foot;
        ok = wantArgs(0, "no arguments");
    } else if (name == "control") {
        ok = wordArg("on", "off", CommandKind::Control, CommandKind::Control);
    } else if (name == "fading") {
        ok = wordArg("on", "off", CommandKind::Fading, CommandKind::Fading);
    } else if (name == "cutscene") {
        ok = wordArg("start", "end", CommandKind::CutsceneStart, CommandKind::CutsceneEnd);
    } else if (name == "menu") {
        ok = wordArg("open", "close", CommandKind::MenuOpen, CommandKind::MenuClose);
    } else if (name == "screen") {
        cmd.kind = CommandKind::Screen;
        ok = wantArgs(0, "no arguments");
    } else if (name == "retune") {
        cmd.kind = CommandKind::Retune;
        ok = wantArgs(0, "no arguments");
    } else if (name == "random" || name == "random-force") {
        if (wantArgs(1, "a number")) {
            auto n = parseInteger(w[1], INT32_MIN, INT32_MAX, false);
            if (n) {
                cmd.kind = name == "random" ? CommandKind::Random : CommandKind::RandomForce;
                cmd.value = *n;
                ok = true;
            } else {
                error = "bad random value " + quoted(w[1]) + " (a 32-bit integer)";
            }
        }
    } else if (name == "mci" || name == "stream") {
        ok = parseDeviceLine(line, w, cmd, error);
    } else if (name == "quit") {
        cmd.kind = CommandKind::Quit;
        ok = wantArgs(0, "no arguments");
    } else {
        error = "unknown command " + quoted(name);
    }
    if (ok) out = std::move(cmd);
    return ok;
}

bool parseScenario(std::istream& in, const std::string& name, std::vector<Command>& out, std::string& error) {
    out.clear();
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::optional<Command> cmd;
        std::string what;
        if (!parseScenarioLine(line, number, cmd, what)) {
            error = name + ":" + std::to_string(number) + ": " + what;
            out.clear();
            return false;
        }
        if (cmd) out.push_back(std::move(*cmd));
    }
    if (in.bad()) {
        error = name + ": read error";
        out.clear();
        return false;
    }
    return true;
}

}  // namespace kestro::host
