// FlutterMacOS, as every file of the backend imports it. Current engine headers mark
// block parameters NS_SWIFT_SENDING, a Swift concurrency mark that Foundation defines
// only in SDKs newer than Xcode 15.1's; to Objective-C it means nothing, so where the
// SDK lacks it, it is defined away here instead of failing the build.
#pragma once

#import <Foundation/Foundation.h>

#ifndef NS_SWIFT_SENDING
#define NS_SWIFT_SENDING
#endif

#import <FlutterMacOS/FlutterMacOS.h>
