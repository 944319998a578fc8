// A registered VPNPlugin on the test backend, with a helper job that tests script.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "helper_link/helper_paths.h"
#include "platform/testing/test_platform.h"
#include "vpn_bridge/vpn_plugin.h"

namespace veltrino_test {

using namespace std::chrono_literals;
using platform::EncodableList;
using platform::EncodableMap;
using platform::EncodableValue;
using platform::FlutterError;
using platform::FlutterMethodNotImplemented;
using platform::FlutterResultValue;

inline EncodableValue args(std::initializer_list<std::pair<const char*, const char*>> entries) {
  EncodableMap map;
  for (const auto& [k, v] : entries) map.emplace_back(std::string(k), std::string(v));
  return map;
}

inline bool isNull(const FlutterResultValue& v) { return std::holds_alternative<std::nullptr_t>(v); }
inline bool isNotImplemented(const FlutterResultValue& v) {
  return std::holds_alternative<platform::FlutterMethodNotImplementedType>(v);
}
// The error |v| holds, or one whose code says there is none.
inline FlutterError asError(const FlutterResultValue& v) {
  if (auto e = std::get_if<FlutterError>(&v)) return *e;
  return {"(not an error)", std::nullopt};
}

// Records the delegate it is handed, so a test can look at the plug-in's fields.
class RecordingRegistrar final : public platform::FlutterPluginRegistrar {
 public:
  using FlutterPluginRegistrar::FlutterPluginRegistrar;
  void addMethodCallDelegate(std::shared_ptr<platform::FlutterPlugin> delegate,
                             std::shared_ptr<platform::FlutterMethodChannel> channel) override {
    delegates.push_back(delegate);
    FlutterPluginRegistrar::addMethodCallDelegate(std::move(delegate), std::move(channel));
  }
  std::vector<std::shared_ptr<platform::FlutterPlugin>> delegates;
};

class PluginTest : public ::testing::Test {
 protected:
  PluginTest() {
    tp.bundleHelper("1.4", "140");
    registrar = std::make_shared<RecordingRegistrar>(tp.messenger);
    vpn_bridge::VPNPlugin::registerWithRegistrar(*registrar);
  }
  ~PluginTest() override {
    // Let the plug-in go before the backend it talks to.
    registrar.reset();
  }

  // The plug-in the registrar keeps: the channel's delegate.
  vpn_bridge::VPNPlugin& plugin() {
    return dynamic_cast<vpn_bridge::VPNPlugin&>(*registrar->delegates.at(0));
  }

  // An installed, registered helper that is as new as the bundle's copy.
  platform::testing::FakeHelper& installedHelper() {
    tp.files.files.insert(helper_link::helperPath());
    auto& h = tp.services.registerHelper(helper_link::helperLabel());
    h.setVersion("1.4", "140");
    return h;
  }
  platform::testing::FakeHelper& helper() { return *tp.services.helper(helper_link::helperLabel()); }
  // What the helper received (only run |process| of it, when given): each message as
  // its operation followed by its arguments.
  std::vector<std::vector<std::string>> sent(int process = 0) {
    std::vector<std::vector<std::string>> out;
    for (const auto& m : process != 0 ? helper().receivedBy(process) : helper().received()) {
      out.push_back(m.strings());
      out.back().insert(out.back().begin(), m.op);
    }
    return out;
  }
  std::shared_ptr<vpn_bridge::VPNPlugin> pluginPtr() { return plugin().shared_from_this(); }

  std::size_t call(const std::string& method, EncodableValue arguments = {}) {
    return tp.messenger->send(vpn_bridge::kChannelName, method, std::move(arguments));
  }
  const std::vector<platform::testing::TestMessenger::Answer>& answers(std::size_t call) {
    return tp.messenger->answers(call);
  }
  // The one answer of |call|; fails the test when there is not exactly one.
  FlutterResultValue only(std::size_t call) {
    const auto& a = answers(call);
    EXPECT_EQ(a.size(), 1u) << "call " << call << " answered " << a.size() << " times";
    return a.empty() ? FlutterResultValue(FlutterMethodNotImplemented) : a.front().value;
  }

  platform::testing::TestPlatform tp;
  std::shared_ptr<RecordingRegistrar> registrar;
};

}  // namespace veltrino_test
