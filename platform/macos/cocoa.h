// The macOS backend's services, one for each platform header that needs the
// frameworks, and the conversions between Foundation's objects and the portable
// values that the backend's files share.
//
// Everything here lives in macos_backend, outside namespace platform, where the names
// NSBundle, NSError and NSFileManager are Foundation's classes; the portable ones are
// always written platform::NSBundle and so on.
#pragma once

#import <Foundation/Foundation.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/backend.h"
#include "platform/macos/flutter_macos.h"

namespace macos_backend {

// The services; each lives as long as the process.
platform::DispatchQueue& mainQueue();            // dispatch.mm
platform::StandardOutput& standardOutput();      // output.mm
platform::NSBundle& mainBundle();                // foundation.mm
platform::NSFileManager& fileManager();          // foundation.mm
platform::SecurityServices& securityServices();  // security.mm
platform::XPCTransportFactory& xpcTransports();  // xpc.mm

// Installs the services as the backend; main calls it once, before NSApplicationMain.
void install();  // backend.mm

// A portable registrar on the messenger of |registrar|, the embedding's, for a plug-in
// written against platform/flutter.h. It keeps its plug-ins' delegates for as long as
// it lives. (flutter.mm)
std::shared_ptr<platform::FlutterPluginRegistrar> portableRegistrar(id<FlutterPluginRegistrar> registrar);

// foundation.mm. nil when |text| is not UTF-8.
NSString* toNSString(std::string_view text);
// None for nil, or for a string that has no UTF-8 form.
std::optional<std::string> fromNSString(NSString* string);
platform::NSError fromNSError(NSError* error);

}  // namespace macos_backend
