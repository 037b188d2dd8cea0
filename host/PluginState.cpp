#include "host/PluginState.h"

#include "host/Loader.h"

namespace kestro::host {

const kestro::PlayerState* pluginStateView(const PluginLoader& loader) {
    using View = const kestro::PlayerState* (*)();
    const auto view = reinterpret_cast<View>(loader.symbol("KestroPlayerState"));
    return view ? view() : nullptr;
}

}  // namespace kestro::host
