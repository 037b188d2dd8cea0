#include "host/Loader.h"

#include <dlfcn.h>

namespace kestro::host {

namespace {

std::string lastDlError() {
    const char* e = dlerror();
    return e ? e : "unknown error";
}

}  // namespace

PluginLoader::~PluginLoader() { unload(); }

bool PluginLoader::load(const std::string& path, std::string& error) {
    if (!map(path, error)) return false;
    if (attach() == 0) {
        error = "DllMain of " + path + " refused the process attach";
        unload();
        attachResult_ = 0;
        return false;
    }
    return true;
}

bool PluginLoader::map(const std::string& path, std::string& error) {
    if (handle_) {
        error = "a plug-in is already loaded: " + path_;
        return false;
    }
    dlerror();
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        error = "cannot load " + path + ": " + lastDlError();
        return false;
    }
    dlerror();
    void* sym = dlsym(handle, "DllMain");
    if (!sym) {
        error = "no DllMain in " + path;
        dlclose(handle);
        return false;
    }
    handle_ = handle;
    entry_ = reinterpret_cast<EntryPoint>(sym);
    path_ = path;
    attachResult_ = 0;
    return true;
}

int PluginLoader::attach() {
    attachResult_ = callEntry(kProcessAttach);
    return attachResult_;
}

int PluginLoader::callEntry(unsigned long reason) {
    if (!handle_ || !entry_) return 0;
    return entry_(handle_, reason, nullptr);
}

int PluginLoader::unload(bool* stillMapped) {
    if (stillMapped) *stillMapped = false;
    if (!handle_) return 0;
    int result = callEntry(kProcessDetach);
    unmap(stillMapped);
    return result;
}

void PluginLoader::unmap(bool* stillMapped) {
    if (stillMapped) *stillMapped = false;
    if (!handle_) return;
    void* handle = handle_;
    handle_ = nullptr;
    entry_ = nullptr;
    dlclose(handle);
    if (stillMapped) {
        // RTLD_NOLOAD finds the library only if it is still mapped.
        void* again = dlopen(path_.c_str(), RTLD_NOW | RTLD_NOLOAD);
        *stillMapped = again != nullptr;
        if (again) dlclose(again);
    }
}

void* PluginLoader::symbol(const char* name) const { return handle_ ? dlsym(handle_, name) : nullptr; }

}  // namespace kestro::host
