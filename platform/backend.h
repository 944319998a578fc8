// The backend behind the platform calls: chosen once at start-up by main, or by a
// test fixture. The host's own code never includes a backend header.
#pragma once

#include <memory>

#include "platform/dispatch.h"
#include "platform/flutter.h"
#include "platform/foundation.h"
#include "platform/output.h"
#include "platform/security.h"
#include "platform/xpc.h"

namespace platform {

struct Backend {
  DispatchQueue* mainQueue = nullptr;
  StandardOutput* standardOutput = nullptr;
  NSBundle* mainBundle = nullptr;
  NSFileManager* fileManager = nullptr;
  SecurityServices* security = nullptr;
  XPCTransportFactory* xpc = nullptr;
  // The Flutter embedding's messenger, which FlutterViewController's registrars use.
  std::shared_ptr<FlutterBinaryMessenger> flutterMessenger;
};

// Installs |backend|; every pointer must outlive its use. Returns the one it replaces.
Backend installBackend(const Backend& backend);
const Backend& installedBackend();

}  // namespace platform
