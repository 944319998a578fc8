// AppDelegate.
#include "app_fixture.h"

namespace veltrino_test {
namespace {

using app::AppDelegate;

class AppDelegateTest : public AppShellTest {
 protected:
  AppDelegateTest() : delegate(std::make_shared<AppDelegate>()) { application->setDelegate(delegate); }

  std::shared_ptr<platform::NSWindow> addWindow(const std::string& title, bool visible) {
    auto window = makeWindow(title);
    application->addWindow(window);
    if (visible) window->setIsVisible(true);
    return window;
  }

  std::shared_ptr<AppDelegate> delegate;
};

TEST_F(AppDelegateTest, NeverTerminatesAfterTheLastWindowClosed) {
  EXPECT_FALSE(delegate->applicationShouldTerminateAfterLastWindowClosed(*application));
}

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

TEST_F(AppDelegateTest, ReopenShowsOneHiddenWindow) {
  auto window = addWindow("only", false);
  log.clear();

  EXPECT_TRUE(delegate->applicationShouldHandleReopen(*application, false));

  EXPECT_THAT(log.entries(), ElementsAre("NSApplication windows",                                //
                                         "NSWindow \"only\" isVisible",                          //
                                         "NSWindow \"only\" setIsVisible: YES",                  //
                                         "NSWindow \"only\" makeKeyAndOrderFront: AppDelegate",  //
                                         "NSApplication activateIgnoringOtherApps: YES"));
  EXPECT_TRUE(window->currentlyVisible());
  EXPECT_TRUE(window->isKeyWindow());
  EXPECT_EQ(window->lastMakeKeyAndOrderFrontSender(), delegate.get());
  EXPECT_EQ(application->keyWindow(), window);
  EXPECT_EQ(application->activationCount(), 1);
  EXPECT_TRUE(application->isActive());
}

// Both windows, first to last, each activated inside the walk: the second ends key and
// front.
TEST_F(AppDelegateTest, ReopenShowsTwoHiddenWindowsInOrderActivatingTwice) {
  auto first = addWindow("first", false);
  auto second = addWindow("second", false);
  log.clear();

  EXPECT_TRUE(delegate->applicationShouldHandleReopen(*application, false));

  EXPECT_THAT(log.entries(), ElementsAre("NSApplication windows",                                  //
                                         "NSWindow \"first\" isVisible",                           //
                                         "NSWindow \"first\" setIsVisible: YES",                   //
                                         "NSWindow \"first\" makeKeyAndOrderFront: AppDelegate",   //
                                         "NSApplication activateIgnoringOtherApps: YES",           //
                                         "NSWindow \"second\" isVisible",                          //
                                         "NSWindow \"second\" setIsVisible: YES",                  //
                                         "NSWindow \"second\" makeKeyAndOrderFront: AppDelegate",  //
                                         "NSApplication activateIgnoringOtherApps: YES"));
  EXPECT_TRUE(first->currentlyVisible());
  EXPECT_TRUE(second->currentlyVisible());
  EXPECT_EQ(first->lastMakeKeyAndOrderFrontSender(), delegate.get());
  EXPECT_EQ(second->lastMakeKeyAndOrderFrontSender(), delegate.get());
  EXPECT_EQ(application->keyWindow(), second);
  EXPECT_THAT(application->orderedWindows(), ElementsAre(second, first));
  EXPECT_EQ(application->activationCount(), 2);
}

// A window that reports itself visible gets no setIsVisible:, but still the front and
// the activation.
TEST_F(AppDelegateTest, ReopenLeavesAVisibleWindowsVisibilityAlone) {
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
  EXPECT_EQ(application->activationCount(), 2);
}

TEST_F(AppDelegateTest, ReopenWithAnEmptyWindowListActivatesNothing) {
  log.clear();

  EXPECT_TRUE(delegate->applicationShouldHandleReopen(*application, false));

  EXPECT_THAT(log.entries(), ElementsAre("NSApplication windows"));
  EXPECT_EQ(application->activationCount(), 0);
  EXPECT_FALSE(application->isActive());
}

// Through the platform: closing the only window leaves the application running, and
// reopening it (the Dock) shows the window again.
TEST_F(AppDelegateTest, ClosingTheOnlyWindowKeepsRunningAndReopenShowsIt) {
  auto window = addWindow("only", false);
  window->makeKeyAndOrderFront(nullptr);
  application->finishLaunching();
  log.clear();

  window->close();
  EXPECT_THAT(log.entries(), ElementsAre("NSWindow \"only\" close", "NSApplication lastWindowDidClose"));
  EXPECT_FALSE(application->isTerminated());
  EXPECT_TRUE(application->isRunning());
  EXPECT_FALSE(window->currentlyVisible());
  EXPECT_THAT(application->windows(), ElementsAre(window));

  EXPECT_TRUE(application->handleReopen());
  EXPECT_TRUE(window->currentlyVisible());
  EXPECT_EQ(application->keyWindow(), window);
  EXPECT_EQ(application->activationCount(), 1);
}

}  // namespace
}  // namespace veltrino_test
