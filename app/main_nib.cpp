// The main nib, as code: a backend's NSApplicationMain loads it once at start-up. It
// names AppDelegate as the application's delegate and MainFlutterWindow as the
// window's class, and gives the window its frame, style and title. The application
// menu of the real nib has no headless counterpart.
#include "app/main_nib.h"

#include <memory>

#include "app/app_delegate.h"
#include "app/main_flutter_window.h"

namespace app::main_nib {

void load(platform::NSApplication& application) {
  // Instantiate the nib's objects and connect them...
  auto delegate = std::make_shared<AppDelegate>();
  auto window = std::make_shared<MainFlutterWindow>(kWindowContentRect, kWindowStyle, kWindowBacking, kWindowDefer);
  window->setTitle(kWindowTitle);
  application.addWindow(window);
  application.setDelegate(delegate);
  // ...then awake them...
  window->awakeFromNib();
  // ...and show the window, which is visible at launch.
  window->makeKeyAndOrderFront(nullptr);
}

}  // namespace app::main_nib
