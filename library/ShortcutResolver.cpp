#include "library/ShortcutResolver.h"

#include <cstring>
#include <string>

#include "platform/files/Paths.h"
#include "platform/files/ShellLink.h"
#include "platform/system/Text.h"

namespace kestro {

char shortcutTarget[kShortcutTargetSize];

int resolveShortcut(const char* path) {
    shortcutTarget[0] = '\0';
    std::string local;
    if (!platform::mapPath(path, local)) return platform::kShellLinkUnreadable;
    std::string target;
    int status = platform::readShellLinkFile(local.c_str(), target);
    if (status != platform::kShellLinkOk) return status;
    // A target that does not fit is no target: it is never stored cut.
    if (target.size() < sizeof shortcutTarget) platform::copyBounded(shortcutTarget, target);
    return status;
}

bool shortcutTargetExists() {
    return shortcutTarget[0] != '\0' && platform::pathExists(shortcutTarget);
}

bool shortcutTargetIsFolder() {
    return shortcutTarget[0] != '\0' && platform::pathIsFolder(shortcutTarget);
}

}  // namespace kestro
