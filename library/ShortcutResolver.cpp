#include "library/ShortcutResolver.h"

#include <cstring>
#include <string>

#include "platform/Paths.h"
#include "platform/ShellLink.h"

namespace kestro {

char shortcutTarget[kShortcutTargetSize];

int resolveShortcut(const char* path) {
    shortcutTarget[0] = '\0';
    std::string target;
    int status = platform::readShellLinkFile(path, target);
    if (status != platform::kShellLinkOk) return status;
    // The reader already cuts at 259 bytes; the bound here keeps the array
    // safe whatever it returns.
    std::size_t len = target.size() < sizeof shortcutTarget - 1 ? target.size() : sizeof shortcutTarget - 1;
    std::memcpy(shortcutTarget, target.data(), len);
    shortcutTarget[len] = '\0';
    return status;
}

bool shortcutTargetExists() {
    return shortcutTarget[0] != '\0' && platform::pathExists(shortcutTarget);
}

bool shortcutTargetIsFolder() {
    return shortcutTarget[0] != '\0' && platform::pathIsFolder(shortcutTarget);
}

}  // namespace kestro
