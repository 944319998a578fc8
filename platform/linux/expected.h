// The Linux layer's one way of saying that something failed: a function gives back
// its value or an Error, the words of a diagnostic line. The shape is that of
// std::expected, which the standard library here offers to g++ but not to clang.
#pragma once

#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace platform::linux_backend {

struct Error {
  std::string message;
};

// fail("...") converts to any Expected<T>.
inline Error fail(std::string message) { return Error{std::move(message)}; }

template <typename T>
class [[nodiscard]] Expected {
 public:
  Expected(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit, as std::expected
  Expected(Error error) : state_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  bool has_value() const { return state_.index() == 0; }
  explicit operator bool() const { return has_value(); }
  T& operator*() { return std::get<0>(state_); }
  const T& operator*() const { return std::get<0>(state_); }
  T* operator->() { return &std::get<0>(state_); }
  const T* operator->() const { return &std::get<0>(state_); }
  const std::string& error() const { return std::get<1>(state_).message; }

  friend bool operator==(const Expected& e, const T& value) { return e.has_value() && *e == value; }

 private:
  std::variant<T, Error> state_;
};

template <>
class [[nodiscard]] Expected<void> {
 public:
  Expected() = default;
  Expected(Error error) : error_(std::move(error.message)), failed_(true) {}  // NOLINT

  bool has_value() const { return !failed_; }
  explicit operator bool() const { return has_value(); }
  const std::string& error() const { return error_; }

 private:
  std::string error_;
  bool failed_ = false;
};

}  // namespace platform::linux_backend
