// libFuzzer target for the host's scenario parser: any file must parse or be
// refused without a fault, the refusal names the file and a line within it
// and stays short, and every command parsed keeps its value in its range.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "host/Scenario.h"

using namespace kestro::host;

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

bool inRange(const Command& c) {
    switch (c.kind) {
    case CommandKind::Tick: return c.value >= 0 && c.value <= kMaxTicksPerCommand;
    case CommandKind::Wait: return c.value >= 0 && c.value <= kMaxWaitMs;
    case CommandKind::Press:
    case CommandKind::Hold:
    case CommandKind::Release: return c.value >= 1 && c.value <= 255;
    case CommandKind::Vehicle: return c.value != 0 && c.value >= INT32_MIN && c.value <= INT32_MAX;
    case CommandKind::Control:
    case CommandKind::Fading: return c.value == 0 || c.value == 1;
    case CommandKind::Random: return c.value >= INT32_MIN && c.value <= INT32_MAX;
    default: return c.value == 0;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::istringstream in(text);
    std::vector<Command> commands;
    std::string error;
    const bool ok = parseScenario(in, "f.scn", commands, error);
    if (!ok) {
        check(commands.empty());
        check(error.rfind("f.scn:", 0) == 0);
        // The offending word is shown cut: an error line stays short.
        check(error.size() < 200);
        check(error.find('\n') == std::string::npos);
        return 0;
    }
    int previousLine = 0;
    for (const Command& c : commands) {
        check(inRange(c));
        check(c.line > previousLine);
        previousLine = c.line;
        check(!c.text.empty() && c.text.find('#') == std::string::npos);
        check(c.text.front() != ' ' && c.text.back() != ' ');
        // The echoed command parses again to the same command.
        std::optional<Command> again;
        std::string againError;
        check(parseScenarioLine(c.text, c.line, again, againError) && again);
        check(again->kind == c.kind && again->value == c.value && again->text == c.text);
    }
    // Each key the parser accepts has a name that parses back to it.
    for (std::size_t i = 0; i + 1 < size && i < 64; i += 2) {
        std::optional<int> key = parseKey(std::string_view(text).substr(i, data[i + 1] % 20));
        if (key) check(parseKey(keyName(*key)) == key);
    }
    return 0;
}
