// Declarations only; see ../README.md.
#pragma once

#import <Foundation/Foundation.h>

typedef double CGFloat;
struct CGPoint {
  CGFloat x;
  CGFloat y;
};
typedef struct CGPoint CGPoint;
struct CGSize {
  CGFloat width;
  CGFloat height;
};
typedef struct CGSize CGSize;
struct CGRect {
  CGPoint origin;
  CGSize size;
};
typedef struct CGRect CGRect;
typedef CGRect NSRect;

NS_ASSUME_NONNULL_BEGIN

@class NSWindow;

@interface NSResponder : NSObject
@end

@interface NSViewController : NSResponder
@end

@interface NSApplication : NSResponder
@property(class, readonly, strong) __kindof NSApplication* sharedApplication;
@property(readonly, copy) NSArray<NSWindow*>* windows;
- (void)activateIgnoringOtherApps:(BOOL)flag;
@end

extern "C" __kindof NSApplication* _Null_unspecified NSApp;

@protocol NSApplicationDelegate <NSObject>
@optional
- (BOOL)applicationShouldTerminateAfterLastWindowClosed:(NSApplication*)sender;
- (BOOL)applicationShouldHandleReopen:(NSApplication*)sender hasVisibleWindows:(BOOL)flag;
@end

@interface NSWindow : NSResponder
@property(readonly) NSRect frame;
- (void)setFrame:(NSRect)frameRect display:(BOOL)flag;
@property(getter=isVisible, readonly) BOOL visible;
- (void)setIsVisible:(BOOL)flag;
- (void)makeKeyAndOrderFront:(nullable id)sender;
@property(nullable, strong) NSViewController* contentViewController;
@end

// NSNibLoading.h
@interface NSObject (NSNibAwaking)
- (void)awakeFromNib;
@end

extern "C" int NSApplicationMain(int argc, const char* _Nonnull argv[_Nonnull]);

NS_ASSUME_NONNULL_END
