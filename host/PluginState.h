// The plug-in's state as the host may look at it: the read-only view that
// the plug-in exports for diagnostics ("KestroPlayerState"). The one place
// where the host reaches into the plug-in's own record (the interactive
// screen's key names and status line, --show-settings).
#pragma once

#include <optional>

#include "plugin/PlayerState.h"

namespace kestro::host {

class PluginLoader;

// The loaded plug-in's state, or null when none is loaded or it exports no
// view. Valid while the plug-in stays loaded.
const kestro::PlayerState* pluginStateView(const PluginLoader& loader);

// The number of songs in the loaded plug-in's table ("KestroSongCount"), or
// nothing when it exports no count.
std::optional<int> pluginSongCount(const PluginLoader& loader);

}  // namespace kestro::host
