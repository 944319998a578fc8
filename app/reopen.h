// What AppDelegate does when the last window closes and when the user reopens the
// application, over any application that lists its windows: the headless one of
// platform/appkit.h, or a backend's view of the real one (platform/macos).
#pragma once

namespace app {

// The process, the Flutter engine and VPNPlugin outlive the window.
inline constexpr bool kTerminateAfterLastWindowClosed = false;

// With |hasVisibleWindows|: YES, touching nothing. Otherwise walks |application|'s
// window list from first to last: shows a hidden window, makes it key and front with
// |sender| as the sender, and activates the application, once per window. Always YES.
//
// |application.windows()| gives pointer-likes to windows that answer isVisible(),
// setIsVisible(bool) and makeKeyAndOrderFront(sender); |application| answers
// activateIgnoringOtherApps(bool).
template <typename Application, typename Sender>
bool reopenWindows(Application& application, bool hasVisibleWindows, Sender sender) {
  if (hasVisibleWindows) return true;
  for (const auto& window : application.windows()) {
    if (!window->isVisible()) window->setIsVisible(true);
    window->makeKeyAndOrderFront(sender);
    application.activateIgnoringOtherApps(true);
  }
  return true;
}

}  // namespace app
