#include "platform/flutter_view_controller.h"

#include <cstdio>
#include <cstdlib>

#include "platform/backend.h"

namespace platform {

FlutterViewController::FlutterViewController(InitToken, std::shared_ptr<FlutterBinaryMessenger> messenger)
    : NSViewController(kInitialViewSize), messenger_(std::move(messenger)) {}

std::shared_ptr<FlutterViewController> FlutterViewController::init() {
  auto messenger = installedBackend().flutterMessenger;
  if (!messenger) {
    std::fprintf(stderr, "platform: no Flutter messenger installed\n");
    std::abort();
  }
  return std::make_shared<FlutterViewController>(InitToken{}, std::move(messenger));
}

std::shared_ptr<FlutterPluginRegistrar> FlutterViewController::registrarForPlugin(const std::string& key) {
  auto registrar = std::make_shared<FlutterEngineRegistrar>(key, messenger_);
  registrars_.push_back(registrar);
  return registrar;
}

}  // namespace platform
