// Declarations only; see ../README.md. As with ARC in Objective-C, dispatch objects
// are Objective-C objects (OS_OBJECT_USE_OBJC).
#pragma once

#include <stdint.h>

#import <objc/NSObject.h>

@protocol OS_dispatch_object <NSObject>
@end
@protocol OS_dispatch_queue <OS_dispatch_object>
@end
@protocol OS_dispatch_queue_serial <OS_dispatch_queue>
@end
@protocol OS_dispatch_queue_main <OS_dispatch_queue_serial>
@end
@protocol OS_dispatch_queue_attr <OS_dispatch_object>
@end

typedef NSObject<OS_dispatch_queue>* dispatch_queue_t;
typedef NSObject<OS_dispatch_queue_main>* dispatch_queue_main_t;
typedef NSObject<OS_dispatch_queue_attr>* dispatch_queue_attr_t;

typedef uint64_t dispatch_time_t;
#define DISPATCH_TIME_NOW (0ull)
#define NSEC_PER_MSEC 1000000ull

#define DISPATCH_QUEUE_SERIAL NULL

typedef void (^dispatch_block_t)(void);
typedef void (*dispatch_function_t)(void* _Nullable);

#pragma clang assume_nonnull begin
extern "C" {

dispatch_time_t dispatch_time(dispatch_time_t when, int64_t delta);
void dispatch_async(dispatch_queue_t queue, dispatch_block_t block);
void dispatch_after(dispatch_time_t when, dispatch_queue_t queue, dispatch_block_t block);
// An inline function in the SDK.
dispatch_queue_main_t dispatch_get_main_queue(void);
__attribute__((ns_returns_retained)) dispatch_queue_t dispatch_queue_create(const char* _Nullable label,
                                                                            dispatch_queue_attr_t _Nullable attr);
void dispatch_queue_set_specific(dispatch_queue_t queue, const void* key, void* _Nullable context,
                                 dispatch_function_t _Nullable destructor);
void* _Nullable dispatch_get_specific(const void* key);

}
#pragma clang assume_nonnull end
