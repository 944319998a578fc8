// Declarations only; see ../README.md.
#pragma once

#import <MacTypes.h>

typedef const void* CFTypeRef;
typedef unsigned long CFTypeID;
typedef const struct __attribute__((objc_bridge(NSString))) __CFString* CFStringRef;
typedef struct __attribute__((objc_bridge(NSError))) __CFError* CFErrorRef;
typedef const struct __attribute__((objc_bridge(NSNumber))) __CFNumber* CFNumberRef;
typedef const struct __attribute__((objc_bridge(NSNumber))) __CFBoolean* CFBooleanRef;

#define CF_OPTIONS(_type, _name) _type _name; enum : _type
#define CF_ENUM(_type) enum : _type

extern "C" {

CFTypeID CFGetTypeID(CFTypeRef cf);
CFTypeID CFBooleanGetTypeID(void);
Boolean CFNumberIsFloatType(CFNumberRef number);

}
