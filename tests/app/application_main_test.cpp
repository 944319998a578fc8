// The process entry (app/main.cpp, built here under the name veltrinoEntryMain), the
// test NSApplicationMain, the main nib and the MainFlutterWindow it holds.
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

// main hands NSApplicationMain its argument vector unchanged. After start-up: the nib's
// delegate and its one window with the nib's frame, shown and key without activating
// the application; its Flutter view controller, which it alone owns, hands out the
// table's keys in order, each class registered once with the registrar under its own
// key, then VPNPlugin's channel name, and VPNPlugin answers.
TEST_F(ApplicationMainTest, MainLoadsTheNibAndSetsUpTheWindowAndItsPlugins) {
  std::vector<int> countsBefore;
  for (const auto& row : pluginTable()) countsBefore.push_back(row.registrations().count);
  EXPECT_EQ(runMain(), 0);
  const auto& calls = platform::testing::applicationMainCalls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].argc, 3);
  EXPECT_EQ(calls[0].argv, argv.data());
  EXPECT_THAT(calls[0].arguments, ElementsAre("/Applications/Veltrino.app", "-NSDocumentRevisionsDebugMode", "YES"));

  ASSERT_NE(std::dynamic_pointer_cast<app::AppDelegate>(application->delegate()), nullptr);
  ASSERT_EQ(application->windows().size(), 1u);
  auto mainWindow = std::dynamic_pointer_cast<MainFlutterWindow>(application->windows()[0]);
  ASSERT_NE(mainWindow, nullptr);
  EXPECT_EQ(mainWindow->title(), "Veltrino");
  EXPECT_EQ(mainWindow->frame(), app::main_nib::kWindowContentRect);
  EXPECT_EQ(mainWindow->styleMask(), app::main_nib::kWindowStyle);
  EXPECT_TRUE(mainWindow->isVisible());
  EXPECT_EQ(mainWindow->lastMakeKeyAndOrderFrontSender(), nullptr);
  EXPECT_EQ(application->keyWindow(), mainWindow);
  EXPECT_EQ(application->activationCount(), 0);
  EXPECT_TRUE(application->isRunning());

  std::weak_ptr<platform::NSViewController> owned = mainWindow->contentViewController();
  EXPECT_EQ(owned.use_count(), 1);
  auto controller = std::dynamic_pointer_cast<platform::FlutterViewController>(owned.lock());
  ASSERT_NE(controller, nullptr);
  const auto& registrars = controller->registrars();
  ASSERT_EQ(registrars.size(), pluginTable().size() + 1);
  for (std::size_t i = 0; i < pluginTable().size(); ++i) {
    const auto& row = pluginTable()[i];
    EXPECT_EQ(registrars[i]->key(), row.key);
    EXPECT_EQ(row.registrations().count, countsBefore[i] + 1) << row.key;
    EXPECT_EQ(row.registrations().latest, registrars[i].get()) << row.key;
  }
  EXPECT_EQ(registrars.back()->key(), vpn_bridge::kChannelName);
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
  EXPECT_THAT(application->windows(), ElementsAre(window));
  EXPECT_TRUE(vpnPluginAnswers("still here"));

  EXPECT_TRUE(application->handleReopen());
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(application->keyWindow(), window);
  EXPECT_EQ(application->activationCount(), 1);
}

}  // namespace
}  // namespace veltrino_test
