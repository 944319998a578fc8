// Declarations only; see ../README.md. FlutterBinaryMessenger.h, FlutterPluginRegistrarMacOS.h,
// FlutterViewController.h and FlutterAppDelegate.h of the Flutter macOS embedding.
#pragma once

#include <stdint.h>

#import <AppKit/AppKit.h>

NS_ASSUME_NONNULL_BEGIN

typedef void (^FlutterBinaryReply)(NSData* _Nullable reply);
typedef void (^FlutterBinaryMessageHandler)(NSData* _Nullable message, FlutterBinaryReply reply);
typedef int64_t FlutterBinaryMessengerConnection;

@protocol FlutterBinaryMessenger <NSObject>
- (FlutterBinaryMessengerConnection)setMessageHandlerOnChannel:(NSString*)channel
                                          binaryMessageHandler:(FlutterBinaryMessageHandler _Nullable)handler;
@end

@protocol FlutterPluginRegistrar <NSObject>
@property(nonnull, readonly) id<FlutterBinaryMessenger> messenger;
@end

@protocol FlutterPluginRegistry <NSObject>
- (id<FlutterPluginRegistrar>)registrarForPlugin:(NSString*)pluginKey;
@end

@interface FlutterViewController : NSViewController <FlutterPluginRegistry>
@end

@interface FlutterAppDelegate : NSObject <NSApplicationDelegate>
@end

NS_ASSUME_NONNULL_END
