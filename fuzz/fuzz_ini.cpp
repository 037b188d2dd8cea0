// libFuzzer target for the settings reader: any file text, section and key
// must be looked up without a fault; a value found is a piece of one line of
// the text, and every value reads as a number or as "no number" without a
// fault.
//
// Input layout: the first byte splits the rest into section, key and file
// text (section and key at most 63 bytes each), so that the fuzzer can match
// names it finds in the text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/settings/Ini.h"

using namespace kestro::platform;

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string_view all(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::size_t sectionLength = (data[0] & 0x0F) * 4 % 64;
    const std::size_t keyLength = (data[0] >> 4) * 4 % 64;
    std::string_view rest = all;
    const std::string_view section = rest.substr(0, sectionLength);
    rest.remove_prefix(section.size());
    const std::string_view key = rest.substr(0, keyLength);
    rest.remove_prefix(key.size());
    const std::string_view content = rest;

    for (std::string_view s : {section, std::string_view("Defaults")}) {
        for (std::string_view k : {key, std::string_view("Volume"), std::string_view("Url")}) {
            std::optional<std::string> value = iniLookup(content, s, k);
            if (!value) continue;
            // A value never spans lines and is never longer than the text.
            check(value->find('\n') == std::string::npos);
            check(value->size() <= content.size());
            check(content.find(*value) != std::string_view::npos);
            std::optional<std::int32_t> n = iniParseInt(*value);
            if (n) check(value->find_first_not_of(" \t\r\n\f\v") != std::string::npos);
        }
    }
    // The number reader ignores blanks around the number.
    std::string padded = " \t";
    padded.append(content);
    padded += "\r\n ";
    check(iniParseInt(padded) == iniParseInt(content));
    return 0;
}
