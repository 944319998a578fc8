// MainFlutterWindow's set-up.
#include "app_fixture.h"

namespace veltrino_test {
namespace {

using app::MainFlutterWindow;

constexpr NSRect kNibFrame = NSMakeRect(120, 240, 1024, 700);

std::shared_ptr<MainFlutterWindow> makeMainWindow() {
  auto window = std::make_shared<MainFlutterWindow>(
      kNibFrame, platform::NSWindowStyleMaskTitled | platform::NSWindowStyleMaskResizable,
      platform::NSBackingStoreBuffered, true);
  window->setTitle("Main");
  return window;
}

class MainFlutterWindowTest : public AppShellTest {};

TEST_F(MainFlutterWindowTest, InitializerHandsItsArgumentsToTheBaseUnchanged) {
  auto window = std::make_shared<MainFlutterWindow>(NSMakeRect(1, 2, 3, 4), platform::NSWindowStyleMaskBorderless,
                                                    platform::NSBackingStoreRetained, false);
  EXPECT_EQ(window->currentFrame(), NSMakeRect(1, 2, 3, 4));
  EXPECT_EQ(window->styleMask(), platform::NSWindowStyleMaskBorderless);
  EXPECT_EQ(window->backingType(), platform::NSBackingStoreRetained);
  EXPECT_FALSE(window->deferred());
  EXPECT_FALSE(window->currentlyVisible());
  EXPECT_EQ(window->contentViewController(), nullptr);
}

// The seven steps in order: controller, frame read, content view controller, frame set
// again, the ten plug-ins (each registrar asked for and handed over before the next),
// then VPNPlugin's registrar and its registration, then the base awakeFromNib.
TEST_F(MainFlutterWindowTest, AwakeFromNibRunsTheSetUpInOrder) {
  auto window = makeMainWindow();
  log.clear();

  window->awakeFromNib();

  EXPECT_THAT(log.entries(), ElementsAreArray(expectedAwakeFromNib("MainFlutterWindow \"Main\"", kNibFrame)));
  EXPECT_TRUE(window->awokeFromNib());
}

TEST_F(MainFlutterWindowTest, FrameIsKeptAcrossSettingTheContentViewController) {
  // Setting the controller alone resizes the window to the Flutter view's size...
  auto plain = makeWindow("plain", kNibFrame);
  plain->setContentViewController(platform::FlutterViewController::init());
  ASSERT_NE(plain->currentFrame(), kNibFrame);

  // ...which the set-up undoes, displaying the window once.
  auto window = makeMainWindow();
  window->awakeFromNib();
  EXPECT_EQ(window->currentFrame(), kNibFrame);
  EXPECT_EQ(window->displayCount(), 1);
}

TEST_F(MainFlutterWindowTest, WindowIsTheFlutterViewControllersOnlyOwner) {
  auto window = makeMainWindow();
  window->awakeFromNib();

  std::weak_ptr<platform::NSViewController> controller = window->contentViewController();
  ASSERT_NE(dynamic_cast<platform::FlutterViewController*>(controller.lock().get()), nullptr);
  EXPECT_EQ(controller.use_count(), 1);
}

// Each registrar reaches its own class through the row's calling form, and VPNPlugin's
// registrar is the eleventh, asked for under the channel name.
TEST_F(MainFlutterWindowTest, RegistrarsReachTheirOwnPlugins) {
  auto window = makeMainWindow();
  window->awakeFromNib();

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

TEST_F(MainFlutterWindowTest, VPNPluginHandlesItsChannelAfterAwakeFromNib) {
  auto window = makeMainWindow();
  EXPECT_FALSE(tp.messenger->hasHandler(vpn_bridge::kChannelName));

  window->awakeFromNib();

  EXPECT_TRUE(tp.messenger->hasHandler(vpn_bridge::kChannelName));
  EXPECT_TRUE(vpnPluginAnswers("hello from the interface"));
}

}  // namespace
}  // namespace veltrino_test
