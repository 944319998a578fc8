// The privileged helper's remote protocol, as Objective-C declares it: the remote
// object interface of the app's connection and the exported interface of the helper,
// which must both see this one declaration. Selectors, argument types and reply blocks
// are those of helper_link/helper_protocol.h (kHelperSelectors, the description).
#pragma once

#import <Foundation/Foundation.h>

NS_ASSUME_NONNULL_BEGIN

@protocol VLTHelperProtocol

- (void)exitHelper;

- (void)getVersionWithCompletion:(void (^)(NSString* version, NSString* build))completion;

- (void)access:(NSString*)dylib completion:(void (^)(BOOL success, NSString* code, NSString* name))completion;

- (void)getTunnelVersion:(NSString*)dylib completion:(void (^)(NSString* _Nullable version))completion;

// The second part of the selector has no name: iosOn::completion:.
- (void)iosOn:(NSString*)dylib :(NSString*)tlsMode completion:(void (^)(void))completion;

- (void)iosOff:(NSString*)dylib completion:(void (^)(void))completion;

- (void)setHive:(NSString*)dylib
            ip:(NSString*)ip
          port:(NSString*)port
          hive:(NSString*)hive
    ipv6Enable:(NSString*)ipv6Enable
    completion:(void (^)(void))completion;

- (void)setToken:(NSString*)dylib
             app:(NSString*)app
             uid:(NSString*)uid
           token:(NSString*)token
          device:(NSString*)device
         version:(NSString*)version
      completion:(void (^)(void))completion;

- (void)setForce:(NSString*)dylib state:(NSString*)state completion:(void (^)(void))completion;

- (void)setRule:(NSString*)dylib rules:(NSString*)rules completion:(void (^)(void))completion;

@end

NS_ASSUME_NONNULL_END
