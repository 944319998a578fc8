// Rejected: reply blocks whose shape is not the protocol's.
#import <Foundation/Foundation.h>

#include "platform/macos/VLTHelperProtocol.h"

void ask(id<VLTHelperProtocol> helper) {
  // The access reply starts with its BOOL.
  // expected-error@+1 {{cannot initialize a parameter of type}}
  [helper access:@"dylib" completion:^(NSString*, NSString*) {}];
  // BOOL, not bool: on x86_64 BOOL is a signed char (on arm64 it is bool, and this
  // compiles there).
  // x86_64-error@+1 {{cannot initialize a parameter of type}}
  [helper access:@"dylib" completion:^(bool, NSString*, NSString*) {}];
  // The tunnel version comes as one string.
  // expected-error@+1 {{cannot initialize a parameter of type}}
  [helper getTunnelVersion:@"dylib" completion:^{}];
}
