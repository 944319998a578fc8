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
  log.clear();

  EXPECT_TRUE(delegate->applicationShouldHandleReopen(*application, true));

  EXPECT_THAT(log.entries(), IsEmpty());
  EXPECT_TRUE(shown->currentlyVisible());
  EXPECT_FALSE(hidden->currentlyVisible());
  EXPECT_FALSE(shown->isKeyWindow());
  EXPECT_EQ(application->activationCount(), 0);
  EXPECT_FALSE(application->isActive());
}

// Every window, first to last, is shown if hidden (a visible one gets no setIsVisible:),
// made key and front and the application activated: the last ends key and front.
TEST_F(AppDelegateTest, ReopenShowsEachWindowInOrderActivatingEachTime) {
  auto shown = addWindow("shown", true);
  auto hidden = addWindow("hidden", false);
  log.clear();

  EXPECT_TRUE(delegate->applicationShouldHandleReopen(*application, false));

  EXPECT_THAT(log.entries(), ElementsAre("NSApplication windows",                                  //
                                         "NSWindow \"shown\" isVisible",                           //
                                         "NSWindow \"shown\" makeKeyAndOrderFront: AppDelegate",   //
                                         "NSApplication activateIgnoringOtherApps: YES",           //
                                         "NSWindow \"hidden\" isVisible",                          //
                                         "NSWindow \"hidden\" setIsVisible: YES",                  //
                                         "NSWindow \"hidden\" makeKeyAndOrderFront: AppDelegate",  //
                                         "NSApplication activateIgnoringOtherApps: YES"));
  EXPECT_TRUE(shown->currentlyVisible());
  EXPECT_TRUE(hidden->currentlyVisible());
  EXPECT_EQ(shown->lastMakeKeyAndOrderFrontSender(), delegate.get());
  EXPECT_EQ(hidden->lastMakeKeyAndOrderFrontSender(), delegate.get());
  EXPECT_TRUE(hidden->isKeyWindow());
  EXPECT_EQ(application->keyWindow(), hidden);
  EXPECT_THAT(application->orderedWindows(), ElementsAre(hidden, shown));
  EXPECT_EQ(application->activationCount(), 2);
  EXPECT_TRUE(application->isActive());
}

TEST_F(AppDelegateTest, ReopenWithAnEmptyWindowListActivatesNothing) {
  log.clear();

  EXPECT_TRUE(delegate->applicationShouldHandleReopen(*application, false));

  EXPECT_THAT(log.entries(), ElementsAre("NSApplication windows"));
  EXPECT_EQ(application->activationCount(), 0);
  EXPECT_FALSE(application->isActive());
}

}  // namespace
}  // namespace veltrino_test
