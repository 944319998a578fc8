// Stands for the AppKit side of the Flutter macOS embedding: the application delegate
// base class, the plug-in registry protocol, and the view controller that shows the
// Flutter view and, through its engine, hands out plug-in registrars.
//
// Headless, like platform/appkit.h: the controller runs no engine and draws nothing;
// its registrars sit on the installed backend's Flutter messenger
// (Backend::flutterMessenger), and it keeps every registrar it handed out.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/appkit.h"
#include "platform/flutter.h"

namespace platform {

// FlutterAppDelegate: the base of the application's delegate. It keeps AppKit's
// defaults for every callback.
class FlutterAppDelegate : public NSApplicationDelegate {
 public:
  FlutterAppDelegate() = default;
};

// FlutterPluginRegistry: hands out one registrar per plug-in key.
class FlutterPluginRegistry {
 public:
  virtual ~FlutterPluginRegistry() = default;
  virtual std::shared_ptr<FlutterPluginRegistrar> registrarForPlugin(const std::string& key) = 0;
};

// The registrar the engine hands out for one key.
class FlutterEngineRegistrar final : public FlutterPluginRegistrar {
 public:
  FlutterEngineRegistrar(std::string key, std::shared_ptr<FlutterBinaryMessenger> messenger)
      : FlutterPluginRegistrar(std::move(messenger)), key_(std::move(key)) {}
  const std::string& key() const { return key_; }

 private:
  std::string key_;
};

class FlutterViewController final : public NSViewController, public FlutterPluginRegistry {
 public:
  // The size of the Flutter view when the controller is made: zero, as the embedding's
  // view starts out; the window gives it its size.
  static constexpr NSSize kInitialViewSize{};

  // The plain init: no project, no engine passed in. The controller's engine talks
  // through the installed backend's Flutter messenger, which must be set.
  static std::shared_ptr<FlutterViewController> init();

  // Returns a new registrar for |key| on the messenger. The controller (its engine)
  // keeps every registrar it handed out, and with them their plug-ins' delegates, for
  // its own life.
  std::shared_ptr<FlutterPluginRegistrar> registrarForPlugin(const std::string& key) override;

  // The registrars handed out, in the order asked for.
  const std::vector<std::shared_ptr<FlutterEngineRegistrar>>& registrars() const { return registrars_; }

  // Only for init().
  struct InitToken {};
  FlutterViewController(InitToken, std::shared_ptr<FlutterBinaryMessenger> messenger);

 private:
  std::shared_ptr<FlutterBinaryMessenger> messenger_;
  std::vector<std::shared_ptr<FlutterEngineRegistrar>> registrars_;
};

}  // namespace platform
