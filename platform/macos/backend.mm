// The backend's services, installed once at start-up.
#include "platform/backend.h"
#include "platform/macos/cocoa.h"

namespace macos_backend {

void install() {
  platform::Backend backend;
  backend.mainQueue = &mainQueue();
  backend.standardOutput = &standardOutput();
  backend.mainBundle = &mainBundle();
  backend.fileManager = &fileManager();
  backend.security = &securityServices();
  backend.xpc = &xpcTransports();
  // No process-wide Flutter messenger: the view controller is the embedding's own, and
  // a portable plug-in talks through its registrar's messenger (portableRegistrar).
  platform::installBackend(backend);
}

}  // namespace macos_backend
