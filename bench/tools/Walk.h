// The benchmark tools' folder walk: depth first in listing order, names
// starting with "." skipped, every other file handed to `onFile`.
#pragma once

#include <dirent.h>

#include <string>

template <class OnFile>
void walkFiles(const std::string& root, OnFile&& onFile) {
    DIR* dir = opendir(root.c_str());
    if (!dir) return;
    while (struct dirent* de = readdir(dir)) {
        if (de->d_name[0] == '.') continue;
        const std::string path = root + "/" + de->d_name;
        if (de->d_type == DT_DIR) {
            walkFiles(path, onFile);
            continue;
        }
        onFile(path);
    }
    closedir(dir);
}
