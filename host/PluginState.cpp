#include "host/PluginState.h"

#include "host/Loader.h"

namespace kestro::host {

const kestro::PlayerState* pluginStateView(const PluginLoader& loader) {
    using View = const kestro::PlayerState* (*)();
    const auto view = reinterpret_cast<View>(loader.symbol("KestroPlayerState"));
    return view ? view() : nullptr;
}

std::optional<int> pluginSongCount(const PluginLoader& loader) {
    using Count = std::int32_t (*)();
    const auto count = reinterpret_cast<Count>(loader.symbol("KestroSongCount"));
    if (count == nullptr) return std::nullopt;
    return count();
}

}  // namespace kestro::host
