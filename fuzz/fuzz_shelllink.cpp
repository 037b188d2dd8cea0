// libFuzzer target for the shortcut reader: any byte sequence must read
// without a fault, and whatever it yields must be valid UTF-8.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/files/ShellLink.h"
#include "platform/system/Text.h"

using namespace kestro::platform;

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

bool utf8(const std::string& s) {
    return isValidUtf8(reinterpret_cast<const unsigned char*>(s.data()), s.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const int kCodePages[] = {1252, 1251, 1250, 28591};
    setShellLinkAnsiCodePage(kCodePages[size % 4]);

    ShellLinkFields fields;
    bool isLink = parseShellLink(data, size, fields);
    std::string target = shellLinkTarget(fields);
    check(isLink || target.empty());
    check(utf8(target));
    check(utf8(fields.envTarget) && utf8(fields.localPath) && utf8(fields.devicePath) &&
          utf8(fields.networkPath) && utf8(fields.idListPath) && utf8(fields.relativePath));
    check(shellLinkRawPath(data, size) == target);

    // The text helpers on the raw bytes too.
    std::string ansi = decodeAnsi(data, size);
    check(utf8(ansi));
    std::string wide = decodeUtf16le(data, size / 2);
    check(utf8(wide));
    const std::size_t cut = utf8CutLength(wide.data(), wide.size(), 259);
    check(cut <= 259 && utf8(wide.substr(0, cut)));
    return 0;
}
