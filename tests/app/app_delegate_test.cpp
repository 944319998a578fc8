// AppDelegate.
#include "app_fixture.h"

namespace veltrino_test {
namespace {

using app::AppDelegate;

class AppDelegateTest : public AppShellTest {
 protected:
  AppDelegateTest() : delegate(std::make_shared<AppDelegate>()) { application->setDelegate(delegate); }

  std::shared_ptr<platform::NSWindow> addWindow(bool visible) {
    auto window = std::make_shared<platform::NSWindow>(NSMakeRect(0, 0, 400, 300), platform::NSWindowStyleMaskTitled,
                                                       platform::NSBackingStoreBuffered, false);
    application->addWindow(window);
    if (visible) window->setIsVisible(true);
    return window;
  }

  std::shared_ptr<AppDelegate> delegate;
};

// With visible windows, YES at once, touching no window or activation state. Without,
// every window, first to last, is shown, made key and front by the delegate, and the
// application activated once per window: the last ends key and in front.
TEST_F(AppDelegateTest, ReopenShowsEachWindowInOrderWhenNoneIsVisible) {
  auto shown = addWindow(true);
  auto hidden = addWindow(false);
  EXPECT_TRUE(delegate->applicationShouldHandleReopen(*application, true));
  EXPECT_FALSE(hidden->isVisible());
  EXPECT_EQ(shown->lastMakeKeyAndOrderFrontSender(), nullptr);
  EXPECT_EQ(application->keyWindow(), nullptr);
  EXPECT_EQ(application->activationCount(), 0);

  EXPECT_TRUE(delegate->applicationShouldHandleReopen(*application, false));
  EXPECT_TRUE(hidden->isVisible());
  EXPECT_EQ(shown->lastMakeKeyAndOrderFrontSender(), delegate.get());
  EXPECT_EQ(hidden->lastMakeKeyAndOrderFrontSender(), delegate.get());
  EXPECT_EQ(application->keyWindow(), hidden);
  EXPECT_THAT(application->orderedWindows(), ElementsAre(hidden, shown));
  EXPECT_EQ(application->activationCount(), 2);
  EXPECT_TRUE(application->isActive());
}

// What closing the last window then does to the application is ApplicationMainTest's.
TEST_F(AppDelegateTest, TheApplicationOutlivesItsLastWindow) {
  EXPECT_FALSE(delegate->applicationShouldTerminateAfterLastWindowClosed(*application));
}

}  // namespace
}  // namespace veltrino_test
