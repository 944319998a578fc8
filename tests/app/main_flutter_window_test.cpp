// MainFlutterWindow's set-up.
#include "app_fixture.h"

namespace veltrino_test {
namespace {

using app::MainFlutterWindow;

constexpr NSRect kNibFrame = NSMakeRect(120, 240, 1024, 700);

std::shared_ptr<MainFlutterWindow> awakenedMainWindow() {
  auto window = std::make_shared<MainFlutterWindow>(
      kNibFrame, platform::NSWindowStyleMaskTitled | platform::NSWindowStyleMaskResizable,
      platform::NSBackingStoreBuffered, true);
  window->setTitle("Main");
  window->awakeFromNib();
  return window;
}

class MainFlutterWindowTest : public AppShellTest {};

TEST_F(MainFlutterWindowTest, WindowIsTheFlutterViewControllersOnlyOwner) {
  auto window = awakenedMainWindow();

  std::weak_ptr<platform::NSViewController> controller = window->contentViewController();
  ASSERT_NE(dynamic_cast<platform::FlutterViewController*>(controller.lock().get()), nullptr);
  EXPECT_EQ(controller.use_count(), 1);
}

// Each registrar reaches its own class through the row's calling form, and VPNPlugin's
// registrar is the eleventh, asked for under the channel name.
TEST_F(MainFlutterWindowTest, RegistrarsReachTheirOwnPlugins) {
  auto window = awakenedMainWindow();

  auto controller = std::dynamic_pointer_cast<platform::FlutterViewController>(window->contentViewController());
  ASSERT_NE(controller, nullptr);
  const auto& registrars = controller->registrars();
  const auto& registrations = app::plugins::registrationLog();
  ASSERT_EQ(registrars.size(), 11u);
  ASSERT_EQ(registrations.size(), 10u);
  for (std::size_t i = 0; i < 10; ++i) {
    const auto& row = pluginTable()[i];
    SCOPED_TRACE(row.key);
    EXPECT_EQ(registrars[i]->key(), row.key);
    EXPECT_EQ(registrations[i].pluginClass, row.key);
    EXPECT_EQ(registrations[i].library, row.library);
    EXPECT_EQ(registrations[i].call, row.call);
    EXPECT_EQ(registrations[i].registrar, registrars[i].get());
    EXPECT_EQ(registrars[i]->messenger(), tp.messenger);
  }
  EXPECT_EQ(registrars[10]->key(), vpn_bridge::kChannelName);
  EXPECT_EQ(registrars[10]->messenger(), tp.messenger);
}

}  // namespace
}  // namespace veltrino_test
