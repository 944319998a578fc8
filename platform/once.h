// One-shot callables.
//
// OnceFunction<R(Args...)> holds a callable that runs at most once: it is moved, never
// copied, it is called only as an rvalue (std::move(f)(args...)), and the call leaves
// it empty and frees what the callable captured, so a second answer through the same
// object does not compile where it is written, and does nothing harmful where it
// cannot be seen (calling an empty one throws std::bad_function_call).
//
// splitOnce gives a one-shot callback two halves that race, such as a reply and its
// time-out: whichever half is called first calls the callback, and every later call
// of either half does nothing. The halves are copyable and may be called on any
// thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

namespace platform {

template <typename Signature>
class OnceFunction;

template <typename R, typename... Args>
class OnceFunction<R(Args...)> {
 public:
  OnceFunction() noexcept = default;
  OnceFunction(std::nullptr_t) noexcept {}
  // A lambda converts, as to std::function; a OnceFunction itself moves instead.
  template <typename F, typename D = std::decay_t<F>,
            typename = std::enable_if_t<!std::is_same_v<D, OnceFunction> && std::is_invocable_r_v<R, D&&, Args...>>>
  OnceFunction(F&& callable)
      : callable_(std::make_unique<Holder<D>>(std::forward<F>(callable))) {}

  OnceFunction(OnceFunction&&) noexcept = default;
  OnceFunction& operator=(OnceFunction&&) noexcept = default;
  OnceFunction(const OnceFunction&) = delete;
  OnceFunction& operator=(const OnceFunction&) = delete;
  ~OnceFunction() = default;

  explicit operator bool() const noexcept { return callable_ != nullptr; }

  // Runs the callable and leaves this empty. What it captured is freed when the call
  // returns (or throws), not when this object goes.
  R operator()(Args... args) && {
    if (!callable_) throw std::bad_function_call();
    std::unique_ptr<Callable> callable = std::move(callable_);
    return std::move(*callable).call(std::forward<Args>(args)...);
  }

 private:
  struct Callable {
    virtual ~Callable() = default;
    virtual R call(Args&&... args) && = 0;
  };
  template <typename F>
  struct Holder final : Callable {
    explicit Holder(F g) : f(std::move(g)) {}
    R call(Args&&... args) && override { return std::invoke(std::move(f), std::forward<Args>(args)...); }
    F f;
  };

  std::unique_ptr<Callable> callable_;
};

template <typename... Args>
class OnceHalf {
 public:
  using Callback = OnceFunction<void(Args...)>;

  // Calls the callback unless a half already has; true when this call went through.
  bool operator()(Args... args) const {
    if (state_->done.exchange(true, std::memory_order_acq_rel)) return false;
    // An rvalue call, which cppcheck reads as a std::move whose value is unused.
    // cppcheck-suppress ignoredReturnValue
    std::move(state_->callback)(std::forward<Args>(args)...);
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
