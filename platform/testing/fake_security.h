// Authorization services and job blessing whose answers a test decides, and which
// keep account of every reference made and freed.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/security.h"

namespace platform::testing {

class FakeSecurity final : public SecurityServices {
 public:
  struct CreateCall {
    std::vector<std::string> rights;  // names of the requested rights; empty for none
    bool hadRights;
    bool hadEnvironment;
    AuthorizationFlags flags;
    OSStatus status;
  };
  enum class BlessOutcome { Succeed, FailWithError, FailWithoutError };

  // Statuses for the coming AuthorizationCreate calls, in order; once used up every
  // call succeeds.
  std::deque<OSStatus> createStatuses;
  BlessOutcome blessOutcome = BlessOutcome::Succeed;
  std::string blessErrorDescription = "The operation couldn't be completed.";
  // Runs after a successful blessing, as the system copying and registering the helper.
  std::function<void(const std::string& label)> onBlessed;

  std::vector<CreateCall> creates;
  std::vector<std::string> blessed;
  // For each blessing asked for: which AuthorizationCreate call (its index in
  // |creates|) made the reference it was given; none for a reference never made here.
  std::vector<std::optional<std::size_t>> blessedWith;
  std::vector<std::string> blessDomains;
  int freed = 0;
  std::size_t liveReferences() const { return live_.size(); }

  OSStatus authorizationCreate(const AuthorizationRights* rights, const AuthorizationEnvironment* environment,
                               AuthorizationFlags flags, AuthorizationRef* authorization) override;
  OSStatus authorizationFree(AuthorizationRef authorization, AuthorizationFlags flags) override;
  bool jobBless(std::string_view domain, std::string_view label, AuthorizationRef authorization,
                std::optional<NSError>* error) override;

 private:
  std::set<AuthorizationRef> live_;
  std::map<AuthorizationRef, std::size_t> madeBy_;
  std::vector<std::unique_ptr<int>> storage_;
};

}  // namespace platform::testing
