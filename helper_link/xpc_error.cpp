#include "helper_link/xpc_error.h"

namespace helper_link {
namespace {

constexpr const char* kInstallationPrefix = "Helper installation error. ";
constexpr const char* kConnectionPrefix = "Helper connection error. ";

}  // namespace

XPCError::XPCError(Kind kind, std::string message)
    : kind_(kind), message_(std::move(message)), description_(errorDescription()) {}

std::string XPCError::errorDescription() const {
  switch (kind_) {
    case Kind::helperInstallation:
      return kInstallationPrefix + message_;
    case Kind::helperConnection:
      return kConnectionPrefix + message_;
    case Kind::unknown:
      break;
  }
  return kUnknownErrorText;
}

}  // namespace helper_link
