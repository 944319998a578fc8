// The one function the archive expects from the runner: the C name that the runner's
// VLTPluginRegistrant.swift gives the generated plug-in registrant. The link check
// has no runner, so it registers nothing here.
#include "platform/macos/flutter_macos.h"

extern "C" void VLTRegisterGeneratedPlugins(id<FlutterPluginRegistry> registry) { (void)registry; }
