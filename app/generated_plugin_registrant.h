// Registers the ten Flutter plug-ins that the interface uses.
#pragma once

#include "platform/flutter_view_controller.h"

namespace app {

// For each row of the table, in the table's order: asks |registry| for the registrar
// under the row's key (the plug-in's class name), hands it to that class through the
// row's calling form, and lets the reference go before the next key is asked for.
// VPNPlugin is not in the list; the main window registers it afterwards.
void registerFlutterPlugins(platform::FlutterPluginRegistry& registry);

}  // namespace app
