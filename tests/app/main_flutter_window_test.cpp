// MainFlutterWindow's set-up.
#include "app_fixture.h"

namespace veltrino_test {
namespace {

using app::MainFlutterWindow;

constexpr NSRect kNibFrame = NSMakeRect(120, 240, 1024, 700);

class MainFlutterWindowTest : public AppShellTest {};

// The Flutter view controller (whose view starts out empty) becomes the content view
// controller, its only owner, and the window keeps the frame the nib gave it. The
// controller hands out the table's keys in order, then VPNPlugin's channel name;
// each class was registered once, with the registrar under its own key.
TEST_F(MainFlutterWindowTest, KeepsTheNibsFrameAndRegistrarsReachTheirOwnPlugins) {
  auto window = std::make_shared<MainFlutterWindow>(
      kNibFrame, platform::NSWindowStyleMaskTitled | platform::NSWindowStyleMaskResizable,
      platform::NSBackingStoreBuffered, true);
  window->awakeFromNib();

  EXPECT_EQ(window->frame(), kNibFrame);
  EXPECT_FALSE(window->isVisible());
  std::weak_ptr<platform::NSViewController> owned = window->contentViewController();
  EXPECT_EQ(owned.use_count(), 1);
  auto controller = std::dynamic_pointer_cast<platform::FlutterViewController>(owned.lock());
  ASSERT_NE(controller, nullptr);
  const auto& registrars = controller->registrars();
  ASSERT_EQ(registrars.size(), pluginTable().size() + 1);
  EXPECT_THAT(registrationsSinceStart(), ::testing::Each(1));
  for (std::size_t i = 0; i < pluginTable().size(); ++i) {
    const auto& row = pluginTable()[i];
    SCOPED_TRACE(row.key);
    EXPECT_EQ(registrars[i]->key(), row.key);
    EXPECT_EQ(row.registrations().latest, registrars[i].get());
    EXPECT_EQ(registrars[i]->messenger(), tp.messenger);
  }
  EXPECT_EQ(registrars.back()->key(), vpn_bridge::kChannelName);
  EXPECT_EQ(registrars.back()->messenger(), tp.messenger);
  EXPECT_TRUE(tp.messenger->hasHandler(vpn_bridge::kChannelName));
}

}  // namespace
}  // namespace veltrino_test
