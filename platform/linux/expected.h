// The Linux layer's one way of saying that something failed: a function gives back
// its value or its error, by default the words of a diagnostic line. The shape is
// that of std::expected, which the standard library here offers to g++ but not to
// clang (which builds the fuzzers).
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace platform::linux_backend {

template <typename E>
struct Unexpected {
  E error;
};

template <typename E>
Unexpected<E> unexpected(E error) {
  return Unexpected<E>{std::move(error)};
}

// fail("...") converts to any Expected<T> whose error is a text.
inline Unexpected<std::string> fail(std::string message) { return {std::move(message)}; }

template <typename T, typename E = std::string>
class [[nodiscard]] Expected {
 public:
  Expected(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit, as std::expected
  template <typename G>
  Expected(Unexpected<G> failure) : state_(std::in_place_index<1>, std::move(failure.error)) {}  // NOLINT

  bool has_value() const { return state_.index() == 0; }
  explicit operator bool() const { return has_value(); }
  T& operator*() { return std::get<0>(state_); }
  const T& operator*() const { return std::get<0>(state_); }
  T* operator->() { return &std::get<0>(state_); }
  const T* operator->() const { return &std::get<0>(state_); }
  const E& error() const { return std::get<1>(state_); }

  friend bool operator==(const Expected& e, const T& value) { return e.has_value() && *e == value; }

 private:
  std::variant<T, E> state_;
};

template <typename E>
class [[nodiscard]] Expected<void, E> {
 public:
  Expected() = default;
  template <typename G>
  Expected(Unexpected<G> failure) : error_(std::move(failure.error)), failed_(true) {}  // NOLINT

  bool has_value() const { return !failed_; }
  explicit operator bool() const { return has_value(); }
  const E& error() const { return error_; }

 private:
  E error_{};
  bool failed_ = false;
};

}  // namespace platform::linux_backend
