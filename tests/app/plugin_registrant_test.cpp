// registerFlutterPlugins.
#include "app/generated_plugin_registrant.h"
#include "app_fixture.h"

namespace veltrino_test {
namespace {

class PluginRegistrantTest : public AppShellTest {};

// A registry that is not the Flutter view controller: the registrant keeps no
// registrar past its own registration.
class CountingRegistry final : public platform::FlutterPluginRegistry {
 public:
  explicit CountingRegistry(std::shared_ptr<platform::FlutterBinaryMessenger> messenger)
      : messenger_(std::move(messenger)) {}
  std::shared_ptr<platform::FlutterPluginRegistrar> registrarForPlugin(const std::string& key) override {
    // The registrar of the previous row must already be let go.
    if (auto previous = last_.lock()) stillHeld.push_back(keys.back());
    keys.push_back(key);
    auto registrar = std::make_shared<platform::FlutterPluginRegistrar>(messenger_);
    last_ = registrar;
    return registrar;
  }
  bool lastReleased() const { return last_.expired(); }

  std::vector<std::string> keys;
  std::vector<std::string> stillHeld;

 private:
  std::shared_ptr<platform::FlutterBinaryMessenger> messenger_;
  std::weak_ptr<platform::FlutterPluginRegistrar> last_;
};

TEST_F(PluginRegistrantTest, ReleasesEachRegistrarAfterItsRegistration) {
  CountingRegistry registry(tp.messenger);

  app::registerFlutterPlugins(registry);

  std::vector<std::string> expectedKeys;
  for (const auto& row : pluginTable()) expectedKeys.emplace_back(row.key);
  EXPECT_THAT(registry.keys, ElementsAreArray(expectedKeys));
  EXPECT_THAT(registry.stillHeld, IsEmpty());
  EXPECT_TRUE(registry.lastReleased());
  ASSERT_EQ(app::plugins::registrationLog().size(), 10u);
}

}  // namespace
}  // namespace veltrino_test
