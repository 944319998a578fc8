// The one error type of the helper link. Callers read only its localized description.
#pragma once

#include <exception>
#include <string>

namespace helper_link {

// Also what a connection failure reads when no error was recorded.
inline constexpr const char* kUnknownErrorText = "Unknown error";

class XPCError final : public std::exception {
 public:
  enum class Kind { helperInstallation, helperConnection, unknown };

  static XPCError helperInstallation(std::string message) { return XPCError(Kind::helperInstallation, std::move(message)); }
  static XPCError helperConnection(std::string message) { return XPCError(Kind::helperConnection, std::move(message)); }
  static XPCError unknown() { return XPCError(Kind::unknown, {}); }

  Kind kind() const { return kind_; }
  const std::string& message() const { return message_; }
  std::string errorDescription() const;
  // What every reporter shows: the error description.
  const std::string& localizedDescription() const { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }

 private:
  XPCError(Kind kind, std::string message);
  Kind kind_;
  std::string message_;
  std::string description_;
};

}  // namespace helper_link
