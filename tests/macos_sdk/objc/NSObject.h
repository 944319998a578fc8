// Declarations only; see ../README.md.
#pragma once

#import <objc/objc.h>

@protocol NSObject
- (BOOL)isKindOfClass:(Class)aClass;
@end

__attribute__((objc_root_class))
@interface NSObject <NSObject>
+ (instancetype)alloc;
+ (Class)class;
- (instancetype)init;
@end

@interface Protocol : NSObject
@end
