// Rejected: selectors that VLTHelperProtocol does not declare. The version query is
// getVersionWithCompletion:, and iosOn's second part has no name.
#import <Foundation/Foundation.h>

#include "platform/macos/VLTHelperProtocol.h"

void ask(id<VLTHelperProtocol> helper) {
  // expected-error@+1 {{instance method 'getVersion:' not found}}
  [helper getVersion:^(NSString*, NSString*) {}];
  // expected-error@+1 {{no known instance method for selector 'iosOn:tlsMode:completion:'}}
  [helper iosOn:@"dylib" tlsMode:@"0" completion:^{}];
}
