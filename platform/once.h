// A one-shot callback split in two halves that race, such as a reply and its
// time-out: whichever half is called first calls the callback, and every later call
// of either half does nothing. The halves are copyable and may be called on any
// thread; the callback itself is moved, never copied, and freed once it has run.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <utility>

namespace platform {

template <typename... Args>
class OnceHalf {
 public:
  using Callback = std::move_only_function<void(Args...)>;

  // Calls the callback unless a half already has; true when this call went through.
  bool operator()(Args... args) const {
    if (state_->done.exchange(true, std::memory_order_acq_rel)) return false;
    Callback callback = std::move(state_->callback);
    callback(std::forward<Args>(args)...);
    return true;
  }

 private:
  template <typename... A, typename F>
  friend std::pair<OnceHalf<A...>, OnceHalf<A...>> splitOnce(F&& callback);

  struct State {
    explicit State(Callback c) : callback(std::move(c)) {}
    Callback callback;
    std::atomic<bool> done{false};
  };
  explicit OnceHalf(std::shared_ptr<State> state) : state_(std::move(state)) {}

  std::shared_ptr<State> state_;
};

// splitOnce<Args...>(callback): the two halves of |callback|, called with Args.
template <typename... Args, typename F>
std::pair<OnceHalf<Args...>, OnceHalf<Args...>> splitOnce(F&& callback) {
  auto state = std::make_shared<typename OnceHalf<Args...>::State>(std::forward<F>(callback));
  return {OnceHalf<Args...>(state), OnceHalf<Args...>(state)};
}

}  // namespace platform
