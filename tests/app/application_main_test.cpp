// The process entry (app/main.cpp, built here under the name
// veltrinoEntryMain), the test NSApplicationMain and the main nib.
#include "app/main_nib.h"
#include "app_fixture.h"

int veltrinoEntryMain(int argc, char* argv[]);

namespace veltrino_test {
namespace {

using app::MainFlutterWindow;

class ApplicationMainTest : public AppShellTest {
 protected:
  int runMain() { return veltrinoEntryMain(static_cast<int>(argv.size()) - 1, argv.data()); }

  char arg0[32] = "/Applications/Veltrino.app";
  char arg1[32] = "-NSDocumentRevisionsDebugMode";
  char arg2[32] = "YES";
  std::vector<char*> argv{arg0, arg1, arg2, nullptr};
};

TEST_F(ApplicationMainTest, MainPassesTheArgumentVectorUnchangedAndReturnsZero) {
  EXPECT_EQ(runMain(), 0);

  const auto& calls = platform::testing::applicationMainCalls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].argc, 3);
  EXPECT_EQ(calls[0].argv, argv.data());
  EXPECT_THAT(calls[0].arguments, ElementsAre("/Applications/Veltrino.app", "-NSDocumentRevisionsDebugMode", "YES"));
}

// After start-up: the nib's delegate and its one window, set up (the Flutter view in
// it, the nib's frame kept, VPNPlugin answering; the registrations themselves are
// MainFlutterWindowTest's), shown and key without activating the application, and
// launching finished.
TEST_F(ApplicationMainTest, LoadsTheMainNibAndSetsUpTheWindow) {
  runMain();

  ASSERT_NE(std::dynamic_pointer_cast<app::AppDelegate>(application->delegate()), nullptr);
  const auto windows = application->windows();
  ASSERT_EQ(windows.size(), 1u);
  auto mainWindow = std::dynamic_pointer_cast<MainFlutterWindow>(windows[0]);
  ASSERT_NE(mainWindow, nullptr);
  EXPECT_EQ(mainWindow->title(), "Veltrino");
  EXPECT_EQ(mainWindow->frame(), app::main_nib::kWindowContentRect);
  EXPECT_EQ(mainWindow->styleMask(), app::main_nib::kWindowStyle);
  EXPECT_EQ(mainWindow->backingType(), platform::NSBackingStoreBuffered);
  auto controller = std::dynamic_pointer_cast<platform::FlutterViewController>(mainWindow->contentViewController());
  ASSERT_NE(controller, nullptr);
  EXPECT_TRUE(mainWindow->isVisible());
  EXPECT_EQ(mainWindow->lastMakeKeyAndOrderFrontSender(), nullptr);
  EXPECT_EQ(application->keyWindow(), mainWindow);
  EXPECT_THAT(application->orderedWindows(), ElementsAre(mainWindow));
  EXPECT_EQ(application->activationCount(), 0);
  EXPECT_TRUE(application->isRunning());
  EXPECT_FALSE(application->isTerminated());
  EXPECT_TRUE(vpnPluginAnswers("started"));
}

// With its only window closed the application keeps running, VPNPlugin with it; the
// Dock's reopen shows the window again.
TEST_F(ApplicationMainTest, OutlivesItsWindowAndReopensIt) {
  runMain();
  auto window = application->windows().at(0);

  window->close();
  EXPECT_FALSE(application->isTerminated());
  EXPECT_TRUE(application->isRunning());
  EXPECT_FALSE(window->isVisible());
  EXPECT_EQ(application->keyWindow(), nullptr);
  EXPECT_THAT(application->windows(), ElementsAre(window));
  EXPECT_TRUE(vpnPluginAnswers("still here"));

  EXPECT_TRUE(application->handleReopen());
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(application->keyWindow(), window);
  EXPECT_EQ(application->activationCount(), 1);
  EXPECT_EQ(window->frame(), app::main_nib::kWindowContentRect);
}

}  // namespace
}  // namespace veltrino_test
