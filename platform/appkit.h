// Stands for AppKit, as far as the application shell uses it: the shared application
// (NSApp) with its window list, activation and delegate; windows with their frame,
// visibility, key status and content view controller; the application delegate's
// callbacks; and NSApplicationMain.
//
// Headless: there is no toolkit behind any of it. Every call changes state that a test
// (or a backend) reads back: the window list and order, each window's frame, visibility
// and content view controller, the key window, activation and the running state.
//
// Objects are reference counted: the application keeps its windows and its delegate,
// a window keeps its content view controller. Everything here runs on the main thread,
// as on the real platform; nothing is locked.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace platform {

// ---------------------------------------------------------------------------------
// Geometry

struct NSPoint {
  double x = 0;
  double y = 0;
  friend bool operator==(const NSPoint&, const NSPoint&) = default;
};

struct NSSize {
  double width = 0;
  double height = 0;
  friend bool operator==(const NSSize&, const NSSize&) = default;
};

struct NSRect {
  NSPoint origin;
  NSSize size;
  friend bool operator==(const NSRect&, const NSRect&) = default;
};

inline constexpr NSRect NSMakeRect(double x, double y, double width, double height) {
  return NSRect{NSPoint{x, y}, NSSize{width, height}};
}
inline constexpr NSRect NSZeroRect{};

// "{{x, y}, {w, h}}", as NSStringFromRect writes it.
std::string NSStringFromRect(const NSRect& rect);
inline std::ostream& operator<<(std::ostream& out, const NSRect& rect) { return out << NSStringFromRect(rect); }

// ---------------------------------------------------------------------------------
// Window constants (the platform's values)

using NSWindowStyleMask = std::uint64_t;
inline constexpr NSWindowStyleMask NSWindowStyleMaskBorderless = 0;
inline constexpr NSWindowStyleMask NSWindowStyleMaskTitled = 1 << 0;
inline constexpr NSWindowStyleMask NSWindowStyleMaskClosable = 1 << 1;
inline constexpr NSWindowStyleMask NSWindowStyleMaskMiniaturizable = 1 << 2;
inline constexpr NSWindowStyleMask NSWindowStyleMaskResizable = 1 << 3;
inline constexpr NSWindowStyleMask NSWindowStyleMaskFullSizeContentView = 1 << 15;

enum NSBackingStoreType : std::uint64_t {
  NSBackingStoreRetained = 0,
  NSBackingStoreNonretained = 1,
  NSBackingStoreBuffered = 2,
};

// ---------------------------------------------------------------------------------
// Objects

// The common root; its identity is what a sender argument carries.
class NSObject {
 public:
  virtual ~NSObject() = default;
};

class NSViewController : public NSObject {
 public:
  // The size of the controller's view. A window that is given the controller as its
  // content view controller takes this size (keeping its origin), as AppKit resizes a
  // window to fit its new content view controller's view.
  NSSize viewSize() const { return viewSize_; }

 protected:
  explicit NSViewController(NSSize viewSize) : viewSize_(viewSize) {}

 private:
  NSSize viewSize_;
};

class NSApplication;

class NSWindow : public NSObject, public std::enable_shared_from_this<NSWindow> {
 public:
  // initWithContentRect:styleMask:backing:defer:. Headless: the content rectangle is
  // the frame (no title bar or border is added), and there is no window device whose
  // creation could be deferred. A new window is not visible, not key, and in no
  // application's window list until NSApplication::addWindow.
  NSWindow(const NSRect& contentRect, NSWindowStyleMask style, NSBackingStoreType backing, bool defer);

  // Sent by the nib loader once the nib's objects are made and connected. The base
  // does nothing; subclasses set themselves up here and call it last.
  virtual void awakeFromNib() {}

  NSRect frame() const { return frame_; }
  // Headless, |display| has nothing to draw.
  void setFrame(const NSRect& frame, bool display);
  bool isVisible() const { return visible_; }
  void setIsVisible(bool visible);
  // Shows the window, makes it the application's key window and moves it to the front
  // of the application's window order.
  void makeKeyAndOrderFront(const NSObject* sender);
  // Replaces the content view controller (nullptr: none) and resizes the window to its
  // view's size, keeping the origin.
  void setContentViewController(std::shared_ptr<NSViewController> controller);
  std::shared_ptr<NSViewController> contentViewController() const { return contentViewController_; }
  // Orders the window out (it stays in the window list: released-when-closed NO, as the
  // main nib's window is) and, when no window of its application is visible any more,
  // tells the application that its last window closed.
  void close();
  void setTitle(std::string title) { title_ = std::move(title); }
  const std::string& title() const { return title_; }

  NSWindowStyleMask styleMask() const { return styleMask_; }
  NSBackingStoreType backingType() const { return backing_; }
  bool isKeyWindow() const { return key_; }
  // The sender of the latest makeKeyAndOrderFront: (identity only; nil before any).
  const NSObject* lastMakeKeyAndOrderFrontSender() const { return lastSender_; }
  // The application whose window list holds the window, if any.
  std::shared_ptr<NSApplication> application() const { return application_.lock(); }

 private:
  friend class NSApplication;

  NSRect frame_;
  NSWindowStyleMask styleMask_;
  NSBackingStoreType backing_;
  std::string title_;
  bool visible_ = false;
  bool key_ = false;
  const NSObject* lastSender_ = nullptr;
  std::shared_ptr<NSViewController> contentViewController_;
  std::weak_ptr<NSApplication> application_;
};

// NSApplicationDelegate: the callbacks the application sends its delegate. The
// defaults are AppKit's behaviour when the delegate does not implement them.
class NSApplicationDelegate : public NSObject {
 public:
  // Sent once the application has finished launching.
  virtual void applicationDidFinishLaunching(NSApplication& /*sender*/) {}
  // Asked after the last visible window closed; YES terminates the application.
  virtual bool applicationShouldTerminateAfterLastWindowClosed(NSApplication& /*sender*/) { return false; }
  // Asked when the user reopens the running application (for example from the Dock).
  virtual bool applicationShouldHandleReopen(NSApplication& /*sender*/, bool /*hasVisibleWindows*/) { return true; }
};

class NSApplication : public NSObject, public std::enable_shared_from_this<NSApplication> {
 public:
  // The shared application (NSApp), created on first use.
  static std::shared_ptr<NSApplication> sharedApplication();
  // Replaces the shared application and returns the one it replaces: for a backend
  // and for tests (a test starts from a fresh application).
  static std::shared_ptr<NSApplication> setSharedApplication(std::shared_ptr<NSApplication> application);

  NSApplication() = default;

  // The window list, in the order the windows joined it.
  std::vector<std::shared_ptr<NSWindow>> windows() const { return windows_; }
  // Brings the application to the front.
  void activateIgnoringOtherApps(bool flag);

  // The delegate, kept by the application (standing for the main nib, which owns its
  // top-level objects for the life of the process).
  void setDelegate(std::shared_ptr<NSApplicationDelegate> delegate) { delegate_ = std::move(delegate); }
  std::shared_ptr<NSApplicationDelegate> delegate() const { return delegate_; }

  // The platform's part: a window joins the list when it is created (the nib loader
  // calls this). Adding a window twice has no effect.
  void addWindow(std::shared_ptr<NSWindow> window);

  // What the platform does on the events that reach the delegate.
  // finishLaunching: marks the application running and tells the delegate.
  void finishLaunching();
  // The user reopens the running application: asks the delegate, telling it whether
  // any window is visible, and returns its answer (YES with no delegate).
  bool handleReopen();
  // The last visible window closed: asks the delegate whether to terminate, and
  // terminates when it says YES.
  void lastWindowDidClose();
  // Terminates: the backend's main loop ends (see NSApplicationMain).
  void terminate(const NSObject* sender);
  // Called once by terminate; a backend's NSApplicationMain installs it to stop its loop.
  void setTerminationHandler(std::function<void()> handler) { terminationHandler_ = std::move(handler); }

  bool isActive() const { return active_; }
  // How many times activateIgnoringOtherApps: was sent.
  int activationCount() const { return activationCount_; }
  bool isRunning() const { return running_; }
  bool isTerminated() const { return terminated_; }
  // The key window, if any.
  std::shared_ptr<NSWindow> keyWindow() const;
  // The visible windows, front to back.
  std::vector<std::shared_ptr<NSWindow>> orderedWindows() const;
  bool hasVisibleWindows() const;

 private:
  friend class NSWindow;
  void windowBecameKeyAndFront(NSWindow& window);

  std::vector<std::shared_ptr<NSWindow>> windows_;
  // Front to back; the same windows as windows_.
  std::vector<NSWindow*> order_;
  std::shared_ptr<NSApplicationDelegate> delegate_;
  std::function<void()> terminationHandler_;
  bool active_ = false;
  int activationCount_ = 0;
  bool running_ = false;
  bool terminated_ = false;
};

// The global NSApp: the shared application.
inline NSApplication& NSApp() { return *NSApplication::sharedApplication(); }

// ---------------------------------------------------------------------------------
// Start-up

// Loads the application's main nib into |application|. On the real platform
// NSApplicationMain finds the nib through the bundle's Info.plist; here the
// application hands it over (app/main.cpp passes app::main_nib::load), so the
// platform never refers to the application. Loading creates the application delegate
// and sets it as |application|'s delegate, creates the main window with the frame,
// style and title the nib chooses, adds it to the window list, sends awakeFromNib to
// the window, and then shows the window (the nib's "visible at launch").
using NSMainNibLoader = void (*)(NSApplication& application);

// The process's application main. DEFINED BY THE BACKEND, chosen at link time as on
// the real platform: platform_testing defines the test version, the Linux runtime
// backend its own; an executable links exactly one. A backend's NSApplicationMain must:
//   1. leave |argc| and |argv| as they are (it may read them; the test version keeps
//      them);
//   2. take the shared application (NSApplication::sharedApplication()) and load the
//      main nib into it, loadMainNib(application), on the main thread;
//   3. call application.finishLaunching();
//   4. run the installed backend's main queue (mainQueue()) on the calling thread,
//      which becomes the main thread, until the application is told to terminate
//      (application.terminate; install setTerminationHandler to stop the loop, and
//      check isTerminated() in case it was called before the loop started);
//   5. return 0. (The real NSApplicationMain exits the process instead of returning;
//      here main returns the 0.)
// The installed backend must provide the main queue and the Flutter messenger
// (Backend::flutterMessenger) before it is called.
int NSApplicationMain(int argc, char* argv[], NSMainNibLoader loadMainNib);

}  // namespace platform
