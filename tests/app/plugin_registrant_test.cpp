// registerFlutterPlugins.
#include "app/generated_plugin_registrant.h"
#include "app_fixture.h"

namespace veltrino_test {
namespace {

class PluginRegistrantTest : public AppShellTest {};

// A registry that is not the Flutter view controller. Each time a key is asked for, it
// notes whether the previous registrar is still held, and whether the previous row's
// class was registered with that registrar (so not before it was handed out, nor
// after the next key was asked for).
class CheckingRegistry final : public platform::FlutterPluginRegistry {
 public:
  explicit CheckingRegistry(std::shared_ptr<platform::FlutterBinaryMessenger> messenger)
      : messenger_(std::move(messenger)) {}

  std::shared_ptr<platform::FlutterPluginRegistrar> registrarForPlugin(const std::string& key) override {
    if (!keys.empty()) {
      if (!last_.expired()) stillHeld.push_back(keys.back());
      const auto& previousRow = pluginTable()[keys.size() - 1];
      if (previousRow.registrations().latest != lastAddress_) notWithItsRegistrar.push_back(keys.back());
    }
    keys.push_back(key);
    auto registrar = std::make_shared<platform::FlutterPluginRegistrar>(messenger_);
    last_ = registrar;
    lastAddress_ = registrar.get();
    return registrar;
  }
  bool lastReleased() const { return last_.expired(); }
  const platform::FlutterPluginRegistrar* lastAddress() const { return lastAddress_; }

  std::vector<std::string> keys;
  std::vector<std::string> stillHeld;
  std::vector<std::string> notWithItsRegistrar;

 private:
  std::shared_ptr<platform::FlutterBinaryMessenger> messenger_;
  std::weak_ptr<platform::FlutterPluginRegistrar> last_;
  const platform::FlutterPluginRegistrar* lastAddress_ = nullptr;
};

// In table order, each class is registered once with the registrar under its own key
// before the next key is asked for, and the registrant lets each registrar go before
// asking for the next.
TEST_F(PluginRegistrantTest, RegistersEachClassWithItsOwnRegistrarInTableOrder) {
  CheckingRegistry registry(tp.messenger);

  app::registerFlutterPlugins(registry);

  std::vector<std::string> expectedKeys;
  for (const auto& row : pluginTable()) expectedKeys.emplace_back(row.key);
  EXPECT_THAT(registry.keys, ElementsAreArray(expectedKeys));
  EXPECT_THAT(registrationsSinceStart(), ::testing::Each(1));
  EXPECT_THAT(registry.stillHeld, IsEmpty());
  EXPECT_THAT(registry.notWithItsRegistrar, IsEmpty());
  EXPECT_TRUE(registry.lastReleased());
  EXPECT_EQ(pluginTable().back().registrations().latest, registry.lastAddress());
}

}  // namespace
}  // namespace veltrino_test
