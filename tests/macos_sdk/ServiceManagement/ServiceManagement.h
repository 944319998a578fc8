// Declarations only; see ../README.md. SMJobBless.h and ServiceManagement.h.
#pragma once

#import <CoreFoundation/CoreFoundation.h>
#import <Security/Security.h>

// A macro in the SDK: it replaces the name wherever it appears after this header.
#define kSMRightBlessPrivilegedHelper "com.apple.ServiceManagement.blesshelper"

#pragma clang assume_nonnull begin
extern "C" {

extern const CFStringRef kSMDomainSystemLaunchd;
extern const CFStringRef kSMDomainUserLaunchd;

// Deprecated in macOS 13 in favour of SMAppService.
Boolean SMJobBless(CFStringRef domain, CFStringRef executableLabel, AuthorizationRef _Nullable auth,
                   CFErrorRef _Nullable* _Nullable outError)
    __attribute__((availability(macos, introduced = 10.6, deprecated = 13.0)));

}
#pragma clang assume_nonnull end
