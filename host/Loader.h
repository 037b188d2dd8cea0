// Loads the plug-in library the way the platform loader would: the library
// is mapped (its static initialisation runs), then its exported entry
// routine DllMain is called with "process attach"; at the end DllMain gets
// "process detach" and the library is unmapped (its static destruction
// runs).
#pragma once

#include <string>

namespace kestro::host {

// Reason codes of the entry routine.
inline constexpr unsigned long kProcessDetach = 0;
inline constexpr unsigned long kProcessAttach = 1;
inline constexpr unsigned long kThreadAttach = 2;
inline constexpr unsigned long kThreadDetach = 3;

class PluginLoader {
public:
    using EntryPoint = int (*)(void* instance, unsigned long reason, void* reserved);

    PluginLoader() = default;
    ~PluginLoader();  // unloads a loaded plug-in
    PluginLoader(const PluginLoader&) = delete;
    PluginLoader& operator=(const PluginLoader&) = delete;

    // Maps the library and calls DllMain with process attach. On failure
    // (library not loadable, no DllMain, DllMain refusing the attach)
    // nothing stays loaded and `error` says why. A refused attach is
    // followed by process detach, as on the platform.
    bool load(const std::string& path, std::string& error);
    // The two halves of load, for a caller that reports each step: map
    // finds DllMain (on failure nothing stays mapped), attach calls it with
    // process attach and keeps the result. A refused attach leaves the
    // library mapped; the caller then unloads it.
    bool map(const std::string& path, std::string& error);
    int attach();
    bool loaded() const { return handle_ != nullptr; }
    // An exported symbol of the loaded library, or null.
    void* symbol(const char* name) const;
    const std::string& path() const { return path_; }

    // Calls DllMain with any reason; returns its result (0 when nothing is
    // loaded).
    int callEntry(unsigned long reason);
    // The result of the attach call of the last load.
    int attachResult() const { return attachResult_; }

    // DllMain with process detach, then unmaps the library. Returns the
    // detach result (0 when nothing was loaded). `stillMapped` tells
    // whether the system kept the library mapped after the unmap (its
    // static destruction then has not run).
    int unload(bool* stillMapped = nullptr);
    // Unmaps the library without calling DllMain (for a caller that has
    // called it with process detach itself).
    void unmap(bool* stillMapped = nullptr);

private:
    void* handle_ = nullptr;
    EntryPoint entry_ = nullptr;
    std::string path_;
    int attachResult_ = 0;
};

}  // namespace kestro::host
