// Stands for the Security framework's authorization services and ServiceManagement's
// job blessing, in the shape of their C calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation.h"

namespace platform {

using OSStatus = std::int32_t;
constexpr OSStatus errAuthorizationSuccess = 0;
constexpr OSStatus errAuthorizationDenied = -60005;
constexpr OSStatus errAuthorizationCanceled = -60006;
constexpr OSStatus errAuthorizationInvalidRef = -60002;

using AuthorizationFlags = std::uint32_t;
constexpr AuthorizationFlags kAuthorizationFlagDefaults = 0;
constexpr AuthorizationFlags kAuthorizationFlagInteractionAllowed = 1u << 0;
constexpr AuthorizationFlags kAuthorizationFlagExtendRights = 1u << 1;
constexpr AuthorizationFlags kAuthorizationFlagPreAuthorize = 1u << 4;

struct AuthorizationItem {
  const char* name;
  std::size_t valueLength;
  void* value;
  std::uint32_t flags;
};

struct AuthorizationItemSet {
  std::uint32_t count;
  AuthorizationItem* items;
};
using AuthorizationRights = AuthorizationItemSet;
using AuthorizationEnvironment = AuthorizationItemSet;

struct AuthorizationOpaqueRef;
using AuthorizationRef = AuthorizationOpaqueRef*;

OSStatus AuthorizationCreate(const AuthorizationRights* rights, const AuthorizationEnvironment* environment,
                             AuthorizationFlags flags, AuthorizationRef* authorization);
OSStatus AuthorizationFree(AuthorizationRef authorization, AuthorizationFlags flags);

inline constexpr std::string_view kSMDomainSystemLaunchd = "kSMDomainSystemLaunchd";
inline constexpr std::string_view kSMRightBlessPrivilegedHelper = "com.apple.ServiceManagement.blesshelper";

// Installs the helper that the application carries under |label| in |domain|. On
// failure |error| receives the platform's error, when it gives one.
bool SMJobBless(std::string_view domain, std::string_view label, AuthorizationRef authorization,
                std::optional<NSError>* error);

// What a backend provides behind the calls above.
class SecurityServices {
 public:
  virtual ~SecurityServices() = default;
  virtual OSStatus authorizationCreate(const AuthorizationRights* rights, const AuthorizationEnvironment* environment,
                                       AuthorizationFlags flags, AuthorizationRef* authorization) = 0;
  virtual OSStatus authorizationFree(AuthorizationRef authorization, AuthorizationFlags flags) = 0;
  virtual bool jobBless(std::string_view domain, std::string_view label, AuthorizationRef authorization,
                        std::optional<NSError>* error) = 0;
};

}  // namespace platform
