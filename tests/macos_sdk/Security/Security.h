// Declarations only; see ../README.md. Authorization.h.
#pragma once

#include <stddef.h>

#import <CoreFoundation/CoreFoundation.h>

#pragma clang assume_nonnull begin

typedef const struct AuthorizationOpaqueRef* AuthorizationRef;
typedef const char* AuthorizationString;

typedef struct _AuthorizationItem {
  AuthorizationString name;
  size_t valueLength;
  void* _Nullable value;
  UInt32 flags;
} AuthorizationItem;

typedef struct _AuthorizationItemSet {
  UInt32 count;
  AuthorizationItem* items;
} AuthorizationItemSet;

typedef AuthorizationItemSet AuthorizationRights;
typedef AuthorizationItemSet AuthorizationEnvironment;

typedef CF_OPTIONS(UInt32, AuthorizationFlags){
    kAuthorizationFlagDefaults = 0,
    kAuthorizationFlagInteractionAllowed = (1 << 0),
    kAuthorizationFlagExtendRights = (1 << 1),
    kAuthorizationFlagPartialRights = (1 << 2),
    kAuthorizationFlagDestroyRights = (1 << 3),
    kAuthorizationFlagPreAuthorize = (1 << 4),
};

CF_ENUM(OSStatus){
    errAuthorizationSuccess = 0,
    errAuthorizationInvalidSet = -60001,
    errAuthorizationInvalidRef = -60002,
    errAuthorizationInvalidTag = -60003,
    errAuthorizationInvalidPointer = -60004,
    errAuthorizationDenied = -60005,
    errAuthorizationCanceled = -60006,
    errAuthorizationInteractionNotAllowed = -60007,
};

extern "C" {

OSStatus AuthorizationCreate(const AuthorizationRights* _Nullable rights,
                             const AuthorizationEnvironment* _Nullable environment, AuthorizationFlags flags,
                             AuthorizationRef _Nullable* _Nullable authorization);
OSStatus AuthorizationFree(AuthorizationRef authorization, AuthorizationFlags flags);

}

#pragma clang assume_nonnull end
