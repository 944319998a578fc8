// AppDelegate.
#include "app_fixture.h"

namespace veltrino_test {
namespace {

using app::AppDelegate;

class AppDelegateTest : public AppShellTest {
 protected:
  AppDelegateTest() : delegate(std::make_shared<AppDelegate>()) { application->setDelegate(delegate); }

  std::shared_ptr<platform::NSWindow> addWindow(const std::string& title, bool visible) {
    auto window = std::make_shared<platform::NSWindow>(NSMakeRect(0, 0, 400, 300), platform::NSWindowStyleMaskTitled,
                                                       platform::NSBackingStoreBuffered, false);
    window->setTitle(title);
    application->addWindow(window);
    if (visible) window->setIsVisible(true);
    return window;
  }

  std::shared_ptr<AppDelegate> delegate;
};

// Flag YES: YES at once, and no window or activation state is touched.
TEST_F(AppDelegateTest, ReopenWithVisibleWindowsTouchesNothing) {
  auto shown = addWindow("shown", true);
  auto hidden = addWindow("hidden", false);

  EXPECT_TRUE(delegate->applicationShouldHandleReopen(*application, true));

  EXPECT_TRUE(shown->isVisible());
  EXPECT_FALSE(hidden->isVisible());
  EXPECT_EQ(application->keyWindow(), nullptr);
  EXPECT_EQ(shown->lastMakeKeyAndOrderFrontSender(), nullptr);
  EXPECT_THAT(application->orderedWindows(), ElementsAre(shown));
  EXPECT_EQ(application->activationCount(), 0);
  EXPECT_FALSE(application->isActive());
}

// Every window, first to last, is shown, made key and front by the delegate, and the
// application activated once per window: the last ends key and in front.
TEST_F(AppDelegateTest, ReopenShowsEachWindowInOrderActivatingEachTime) {
  auto shown = addWindow("shown", true);
  auto hidden = addWindow("hidden", false);

  EXPECT_TRUE(delegate->applicationShouldHandleReopen(*application, false));

  EXPECT_TRUE(shown->isVisible());
  EXPECT_TRUE(hidden->isVisible());
  EXPECT_EQ(shown->lastMakeKeyAndOrderFrontSender(), delegate.get());
  EXPECT_EQ(hidden->lastMakeKeyAndOrderFrontSender(), delegate.get());
  EXPECT_FALSE(shown->isKeyWindow());
  EXPECT_EQ(application->keyWindow(), hidden);
  EXPECT_THAT(application->orderedWindows(), ElementsAre(hidden, shown));
  EXPECT_EQ(application->activationCount(), 2);
  EXPECT_TRUE(application->isActive());
}

// Closing the last visible window asks the delegate: a delegate that answers YES ends
// the application, AppDelegate keeps it running.
TEST_F(AppDelegateTest, ClosingTheLastWindowLeavesTheApplicationRunning) {
  struct Terminating final : platform::NSApplicationDelegate {
    bool applicationShouldTerminateAfterLastWindowClosed(platform::NSApplication&) override { return true; }
  };
  for (const bool appDelegate : {false, true}) {
    SCOPED_TRACE(appDelegate ? "AppDelegate" : "a delegate that answers YES");
    platform::testing::TestApplication fresh;
    if (appDelegate) {
      fresh->setDelegate(std::make_shared<AppDelegate>());
    } else {
      fresh->setDelegate(std::make_shared<Terminating>());
    }
    auto window = std::make_shared<platform::NSWindow>(NSMakeRect(0, 0, 400, 300), platform::NSWindowStyleMaskTitled,
                                                       platform::NSBackingStoreBuffered, false);
    fresh->addWindow(window);
    window->makeKeyAndOrderFront(nullptr);
    fresh->finishLaunching();

    window->close();

    EXPECT_FALSE(window->isVisible());
    EXPECT_THAT(fresh->windows(), ElementsAre(window));
    EXPECT_EQ(fresh->isTerminated(), !appDelegate);
    EXPECT_EQ(fresh->isRunning(), appDelegate);
  }
}

}  // namespace
}  // namespace veltrino_test
