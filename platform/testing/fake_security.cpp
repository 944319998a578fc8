#include "platform/testing/fake_security.h"

namespace platform::testing {

OSStatus FakeSecurity::authorizationCreate(const AuthorizationRights* rights,
                                           const AuthorizationEnvironment* environment, AuthorizationFlags flags,
                                           AuthorizationRef* authorization) {
  CreateCall call{{}, rights != nullptr, environment != nullptr, flags, errAuthorizationSuccess};
  if (rights != nullptr) {
    for (std::uint32_t i = 0; i < rights->count; ++i) call.rights.emplace_back(rights->items[i].name);
  }
  if (!createStatuses.empty()) {
    call.status = createStatuses.front();
    createStatuses.pop_front();
  }
  creates.push_back(call);
  if (call.status != errAuthorizationSuccess) {
    if (authorization != nullptr) *authorization = nullptr;
    return call.status;
  }
  if (authorization != nullptr) {
    storage_.push_back(std::make_unique<int>(0));
    auto ref = reinterpret_cast<AuthorizationRef>(storage_.back().get());
    live_.insert(ref);
    madeBy_[ref] = creates.size() - 1;
    *authorization = ref;
  }
  return errAuthorizationSuccess;
}

OSStatus FakeSecurity::authorizationFree(AuthorizationRef authorization, AuthorizationFlags) {
  if (live_.erase(authorization) == 0) return errAuthorizationInvalidRef;
  ++freed;
  return errAuthorizationSuccess;
}

bool FakeSecurity::jobBless(std::string_view domain, std::string_view label, AuthorizationRef authorization,
                            std::optional<NSError>* error) {
  blessDomains.emplace_back(domain);
  const auto made = madeBy_.find(authorization);
  blessedWith.push_back(made == madeBy_.end() ? std::nullopt : std::optional<std::size_t>(made->second));
  if (live_.count(authorization) == 0) {
    if (error != nullptr) *error = NSError{"CFErrorDomainLaunchd", 4, "The authorization reference is not valid."};
    return false;
  }
  switch (blessOutcome) {
    case BlessOutcome::FailWithError:
      if (error != nullptr) *error = NSError{"CFErrorDomainLaunchd", 2, blessErrorDescription};
      return false;
    case BlessOutcome::FailWithoutError:
      if (error != nullptr) error->reset();
      return false;
    case BlessOutcome::Succeed:
      break;
  }
  blessed.emplace_back(label);
  if (onBlessed) onBlessed(std::string(label));
  return true;
}

}  // namespace platform::testing
