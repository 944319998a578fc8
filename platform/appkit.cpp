#include "platform/appkit.h"

#include <algorithm>
#include <sstream>

namespace platform {
namespace {

std::shared_ptr<NSApplication>& sharedSlot() {
  static std::shared_ptr<NSApplication> application;
  return application;
}

std::string number(double value) {
  std::ostringstream out;
  out << value;
  return out.str();
}

}  // namespace

std::string NSStringFromRect(const NSRect& rect) {
  return "{{" + number(rect.origin.x) + ", " + number(rect.origin.y) + "}, {" + number(rect.size.width) + ", " +
         number(rect.size.height) + "}}";
}

// ---------------------------------------------------------------------------------
// NSWindow

NSWindow::NSWindow(const NSRect& contentRect, NSWindowStyleMask style, NSBackingStoreType backing, bool /*defer*/)
    : frame_(contentRect), styleMask_(style), backing_(backing) {}

void NSWindow::setFrame(const NSRect& frame, bool /*display*/) { frame_ = frame; }

void NSWindow::setIsVisible(bool visible) {
  visible_ = visible;
  if (!visible) key_ = false;
}

void NSWindow::makeKeyAndOrderFront(const NSObject* sender) {
  visible_ = true;
  key_ = true;
  lastSender_ = sender;
  if (auto app = application()) app->windowBecameKeyAndFront(*this);
}

void NSWindow::setContentViewController(std::shared_ptr<NSViewController> controller) {
  contentViewController_ = std::move(controller);
  if (contentViewController_) frame_.size = contentViewController_->viewSize();
}

void NSWindow::close() {
  const bool wasVisible = visible_;
  visible_ = false;
  key_ = false;
  if (auto app = application(); app && wasVisible && !app->hasVisibleWindows()) app->lastWindowDidClose();
}

// ---------------------------------------------------------------------------------
// NSApplication

std::shared_ptr<NSApplication> NSApplication::sharedApplication() {
  auto& slot = sharedSlot();
  if (!slot) slot = std::make_shared<NSApplication>();
  return slot;
}

std::shared_ptr<NSApplication> NSApplication::setSharedApplication(std::shared_ptr<NSApplication> application) {
  auto& slot = sharedSlot();
  auto previous = std::move(slot);
  slot = std::move(application);
  return previous;
}

void NSApplication::activateIgnoringOtherApps(bool /*flag*/) {
  active_ = true;
  ++activationCount_;
}

void NSApplication::addWindow(std::shared_ptr<NSWindow> window) {
  if (!window || std::find(windows_.begin(), windows_.end(), window) != windows_.end()) return;
  window->application_ = weak_from_this();
  windows_.push_back(window);
  // A new window goes behind the others until it is ordered front.
  order_.push_back(window.get());
  if (window->key_) windowBecameKeyAndFront(*window);
}

void NSApplication::finishLaunching() {
  running_ = true;
  if (auto delegate = delegate_) delegate->applicationDidFinishLaunching(*this);
}

bool NSApplication::handleReopen() {
  const bool visible = hasVisibleWindows();
  if (auto delegate = delegate_) return delegate->applicationShouldHandleReopen(*this, visible);
  return true;
}

void NSApplication::lastWindowDidClose() {
  if (auto delegate = delegate_; delegate && delegate->applicationShouldTerminateAfterLastWindowClosed(*this)) {
    terminate(this);
  }
}

void NSApplication::terminate(const NSObject* /*sender*/) {
  if (terminated_) return;
  terminated_ = true;
  running_ = false;
  if (auto handler = std::move(terminationHandler_)) handler();
}

std::shared_ptr<NSWindow> NSApplication::keyWindow() const {
  for (const auto& window : windows_) {
    if (window->key_) return window;
  }
  return nullptr;
}

std::vector<std::shared_ptr<NSWindow>> NSApplication::orderedWindows() const {
  std::vector<std::shared_ptr<NSWindow>> result;
  for (NSWindow* window : order_) {
    if (window->visible_) result.push_back(window->shared_from_this());
  }
  return result;
}

bool NSApplication::hasVisibleWindows() const {
  return std::any_of(windows_.begin(), windows_.end(), [](const auto& window) { return window->visible_; });
}

void NSApplication::windowBecameKeyAndFront(NSWindow& window) {
  for (const auto& other : windows_) {
    if (other.get() != &window) other->key_ = false;
  }
  auto it = std::find(order_.begin(), order_.end(), &window);
  if (it != order_.end()) std::rotate(order_.begin(), it, it + 1);
}

}  // namespace platform
