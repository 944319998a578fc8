// Rejected: arguments of the wrong type, to the helper and to the frameworks.
#import <Foundation/Foundation.h>
#import <ServiceManagement/ServiceManagement.h>

#include <string>

#include "platform/macos/VLTHelperProtocol.h"

void ask(id<VLTHelperProtocol> helper) {
  // expected-error@+1 {{cannot initialize a parameter of type 'NSString * _Nonnull' with an rvalue of type 'NSNumber *'}}
  [helper setForce:@"dylib" state:@YES completion:^{}];
  // expected-error@+1 {{no viable conversion from 'std::string'}}
  [helper iosOff:std::string("dylib") completion:^{}];
}

bool bless(NSString* label, AuthorizationRef authorization) {
  // A string object for a CFStringRef needs a bridged cast under ARC.
  // expected-error@+1 {{no matching function for call to 'SMJobBless'}}
  return SMJobBless(kSMDomainSystemLaunchd, label, authorization, nullptr) != 0;
}
