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

// Start-up in the order of the call record: the nib's delegate and window, the window's
// set-up, the window shown, launching finished.
TEST_F(ApplicationMainTest, LoadsTheMainNibAndSetsUpTheWindow) {
  runMain();

  std::vector<std::string> expected = {
      "MainFlutterWindow \"\" setTitle: \"Veltrino\"",
      "NSApplication addWindow: MainFlutterWindow \"Veltrino\"",
      "NSApplication setDelegate: AppDelegate",
  };
  for (auto& line : expectedAwakeFromNib("MainFlutterWindow \"Veltrino\"", app::main_nib::kWindowContentRect)) {
    expected.push_back(std::move(line));
  }
  expected.push_back("MainFlutterWindow \"Veltrino\" makeKeyAndOrderFront: nil");
  expected.push_back("NSApplication finishLaunching");
  EXPECT_THAT(log.entries(), ElementsAreArray(expected));

  ASSERT_NE(std::dynamic_pointer_cast<app::AppDelegate>(application->delegate()), nullptr);
  auto windows = application->windows();
  ASSERT_EQ(windows.size(), 1u);
  auto window = std::dynamic_pointer_cast<MainFlutterWindow>(windows[0]);
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(window->title(), "Veltrino");
  EXPECT_EQ(window->currentFrame(), app::main_nib::kWindowContentRect);
  EXPECT_EQ(window->styleMask(), app::main_nib::kWindowStyle);
  EXPECT_EQ(window->backingType(), platform::NSBackingStoreBuffered);
  EXPECT_TRUE(window->currentlyVisible());
  EXPECT_EQ(application->keyWindow(), window);
  EXPECT_TRUE(application->isRunning());
  EXPECT_EQ(app::plugins::registrationLog().size(), 10u);
  EXPECT_TRUE(tp.messenger->hasHandler(vpn_bridge::kChannelName));
  EXPECT_TRUE(vpnPluginAnswers("started"));
}

// With its only window closed the application keeps running, VPNPlugin with it; the
// Dock's reopen shows the window again.
TEST_F(ApplicationMainTest, OutlivesItsWindowAndReopensIt) {
  runMain();
  auto window = application->windows().at(0);

  window->close();
  EXPECT_FALSE(application->isTerminated());
  EXPECT_TRUE(vpnPluginAnswers("still here"));

  EXPECT_TRUE(application->handleReopen());
  EXPECT_TRUE(window->currentlyVisible());
  EXPECT_EQ(application->keyWindow(), window);
  EXPECT_EQ(window->currentFrame(), app::main_nib::kWindowContentRect);
}

}  // namespace
}  // namespace veltrino_test
