// Authorization Services and job blessing. The portable types have the framework's
// fields, in the framework's order, and the framework's values (checked below); item
// sets are copied across rather than cast.
#include <cstdint>
#include <vector>

#include "platform/macos/cocoa.h"
#include "platform/security.h"

// After the portable headers: ServiceManagement defines kSMRightBlessPrivilegedHelper
// as a macro, which would rewrite platform::kSMRightBlessPrivilegedHelper.
#import <Security/Security.h>
#import <ServiceManagement/ServiceManagement.h>

namespace macos_backend {
namespace {

static_assert(platform::kAuthorizationFlagDefaults == kAuthorizationFlagDefaults);
static_assert(platform::kAuthorizationFlagInteractionAllowed == kAuthorizationFlagInteractionAllowed);
static_assert(platform::kAuthorizationFlagExtendRights == kAuthorizationFlagExtendRights);
static_assert(platform::kAuthorizationFlagPreAuthorize == kAuthorizationFlagPreAuthorize);
static_assert(platform::errAuthorizationSuccess == errAuthorizationSuccess);
static_assert(platform::errAuthorizationDenied == errAuthorizationDenied);
static_assert(platform::errAuthorizationCanceled == errAuthorizationCanceled);
static_assert(platform::errAuthorizationInvalidRef == errAuthorizationInvalidRef);

// A portable item set (or none) as the framework's.
class ItemSet {
 public:
  explicit ItemSet(const platform::AuthorizationItemSet* set) : present_(set != nullptr) {
    if (set == nullptr) return;
    for (std::uint32_t i = 0; i < set->count; ++i) {
      const platform::AuthorizationItem& item = set->items[i];
      items_.push_back(AuthorizationItem{item.name, item.valueLength, item.value, item.flags});
    }
    set_ = AuthorizationItemSet{static_cast<UInt32>(items_.size()), items_.data()};
  }
  ItemSet(const ItemSet&) = delete;
  ItemSet& operator=(const ItemSet&) = delete;

  const AuthorizationItemSet* get() const { return present_ ? &set_ : nullptr; }

 private:
  bool present_;
  std::vector<AuthorizationItem> items_;
  AuthorizationItemSet set_{};
};

// The portable reference is the framework's, under the portable type's name.
platform::AuthorizationRef toPortable(AuthorizationRef reference) {
  return reinterpret_cast<platform::AuthorizationRef>(const_cast<AuthorizationOpaqueRef*>(reference));
}

AuthorizationRef fromPortable(platform::AuthorizationRef reference) {
  return reinterpret_cast<AuthorizationRef>(reference);
}

class AuthorizationServices final : public platform::SecurityServices {
 public:
  platform::OSStatus authorizationCreate(const platform::AuthorizationRights* rights,
                                         const platform::AuthorizationEnvironment* environment,
                                         platform::AuthorizationFlags flags,
                                         platform::AuthorizationRef* authorization) override {
    const ItemSet requested(rights);
    const ItemSet given(environment);
    AuthorizationRef reference = nullptr;
    const OSStatus status =
        ::AuthorizationCreate(requested.get(), given.get(), flags, authorization != nullptr ? &reference : nullptr);
    if (authorization != nullptr) *authorization = toPortable(reference);
    return status;
  }

  platform::OSStatus authorizationFree(platform::AuthorizationRef authorization,
                                       platform::AuthorizationFlags flags) override {
    return ::AuthorizationFree(fromPortable(authorization), flags);
  }

  bool jobBless(std::string_view domain, std::string_view label, platform::AuthorizationRef authorization,
                std::optional<platform::NSError>* error) override {
    NSString* name = toNSString(label);
    // Blessing exists in the system domain only.
    if (domain != platform::kSMDomainSystemLaunchd || name == nil) {
      if (error != nullptr) {
        *error = platform::NSError{"NSOSStatusErrorDomain", -50, "Only the system domain takes a blessed helper."};
      }
      return false;
    }
    CFErrorRef failure = nullptr;
#pragma clang diagnostic push
    // Deprecated since macOS 13 for SMAppService, which macOS 13 brought; the app runs
    // from macOS 11 on, where blessing is how a privileged helper is installed.
#pragma clang diagnostic ignored "-Wdeprecated-declarations"
    const bool blessed =
        SMJobBless(kSMDomainSystemLaunchd, (__bridge CFStringRef)name, fromPortable(authorization), &failure) != 0;
#pragma clang diagnostic pop
    // The error is ours to release; ARC takes it over.
    NSError* reason = (__bridge_transfer NSError*)failure;
    if (!blessed && error != nullptr) *error = reason != nil ? std::optional(fromNSError(reason)) : std::nullopt;
    return blessed;
  }
};

}  // namespace

platform::SecurityServices& securityServices() {
  static AuthorizationServices* const services = new AuthorizationServices;
  return *services;
}

}  // namespace macos_backend
