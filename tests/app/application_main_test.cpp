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
// set-up, the window shown, launching finished. The set-up puts the nib's frame back
// after the content view controller resized the window, displaying it once.
TEST_F(ApplicationMainTest, LoadsTheMainNibAndSetsUpTheWindow) {
  runMain();

  const std::string window = "MainFlutterWindow \"Veltrino\"";
  std::vector<std::string> expected = {
      "MainFlutterWindow \"\" setTitle: \"Veltrino\"",
      "NSApplication addWindow: " + window,
      "NSApplication setDelegate: AppDelegate",
      // The window's awakeFromNib: controller, frame read, content view controller,
      // frame set again...
      "FlutterViewController init",
      window + " frame",
      window + " setContentViewController: FlutterViewController",
      window + " setFrame:display: " + platform::NSStringFromRect(app::main_nib::kWindowContentRect) + " YES",
  };
  // ...the ten plug-ins, each registrar asked for and handed over before the next...
  for (const auto& row : pluginTable()) {
    expected.push_back(std::string("FlutterViewController registrarForPlugin: \"") + row.key + "\"");
    expected.push_back(std::string(row.key) + " " + app::plugins::registrationCallName(row.call));
  }
  // ...then VPNPlugin's registrar and its registration, then the base awakeFromNib.
  expected.push_back("FlutterViewController registrarForPlugin: \"com.veltrino.app/vpn\"");
  expected.push_back(
      "FlutterEngineRegistrar \"com.veltrino.app/vpn\" addMethodCallDelegate:channel: \"com.veltrino.app/vpn\"");
  expected.push_back(window + " awakeFromNib");
  expected.push_back(window + " makeKeyAndOrderFront: nil");
  expected.push_back("NSApplication finishLaunching");
  EXPECT_THAT(log.entries(), ElementsAreArray(expected));

  ASSERT_NE(std::dynamic_pointer_cast<app::AppDelegate>(application->delegate()), nullptr);
  auto windows = application->windows();
  ASSERT_EQ(windows.size(), 1u);
  auto mainWindow = std::dynamic_pointer_cast<MainFlutterWindow>(windows[0]);
  ASSERT_NE(mainWindow, nullptr);
  EXPECT_EQ(mainWindow->title(), "Veltrino");
  EXPECT_EQ(mainWindow->currentFrame(), app::main_nib::kWindowContentRect);
  EXPECT_EQ(mainWindow->styleMask(), app::main_nib::kWindowStyle);
  EXPECT_EQ(mainWindow->backingType(), platform::NSBackingStoreBuffered);
  EXPECT_TRUE(mainWindow->currentlyVisible());
  EXPECT_EQ(application->keyWindow(), mainWindow);
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

  log.clear();
  window->close();
  EXPECT_THAT(log.entries(), ElementsAre("MainFlutterWindow \"Veltrino\" close", "NSApplication lastWindowDidClose"));
  EXPECT_FALSE(application->isTerminated());
  EXPECT_TRUE(application->isRunning());
  EXPECT_FALSE(window->currentlyVisible());
  EXPECT_THAT(application->windows(), ElementsAre(window));
  EXPECT_TRUE(vpnPluginAnswers("still here"));

  EXPECT_TRUE(application->handleReopen());
  EXPECT_TRUE(window->currentlyVisible());
  EXPECT_EQ(application->keyWindow(), window);
  EXPECT_EQ(application->activationCount(), 1);
  EXPECT_EQ(window->currentFrame(), app::main_nib::kWindowContentRect);
}

}  // namespace
}  // namespace veltrino_test
