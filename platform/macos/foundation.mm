// The main bundle and the file manager, and the conversions that the backend's files
// share. Numeric comparison stays portable (platform/foundation.cpp): nothing of it
// needs Foundation.
#import <CoreFoundation/CoreFoundation.h>
#import <Foundation/Foundation.h>

#include <cstdint>

#include "platform/macos/cocoa.h"

namespace macos_backend {
namespace {

bool plistValue(id object, platform::PlistValue& out);

platform::PlistDictionary plistDictionary(NSDictionary* dictionary) {
  platform::PlistDictionary out;
  for (id key in dictionary) {
    const auto name = [key isKindOfClass:[NSString class]] ? fromNSString(key) : std::nullopt;
    platform::PlistValue value;
    if (name && plistValue(dictionary[key], value)) out.insert_or_assign(*name, std::move(value));
  }
  return out;
}

// Fills |out| and says true, or says false for what has no portable kind (a date), which
// is left out, as the Linux backend leaves it out.
bool plistValue(id object, platform::PlistValue& out) {
  if ([object isKindOfClass:[NSString class]]) {
    auto text = fromNSString(object);
    if (text) out = std::move(*text);
    return text.has_value();
  }
  if ([object isKindOfClass:[NSNumber class]]) {
    NSNumber* number = object;
    if (CFGetTypeID((__bridge CFTypeRef)number) == CFBooleanGetTypeID()) {
      out = number.boolValue != NO;
    } else if (CFNumberIsFloatType((__bridge CFNumberRef)number)) {
      out = number.doubleValue;
    } else {
      out = static_cast<std::int64_t>(number.longLongValue);
    }
    return true;
  }
  if ([object isKindOfClass:[NSData class]]) {
    NSData* data = object;
    const auto* bytes = static_cast<const std::uint8_t*>(data.bytes);
    out = data.length == 0 ? platform::PlistData() : platform::PlistData(bytes, bytes + data.length);
    return true;
  }
  if ([object isKindOfClass:[NSArray class]]) {
    auto& array = out.emplace<platform::PlistArray>();
    for (id item in (NSArray*)object) {
      platform::PlistValue value;
      if (plistValue(item, value)) array.push_back(std::move(value));
    }
    return true;
  }
  if ([object isKindOfClass:[NSDictionary class]]) {
    out = plistDictionary(object);
    return true;
  }
  return false;
}

class MainBundle final : public platform::NSBundle {
 public:
  std::optional<platform::PlistDictionary> infoDictionary() const override {
    NSDictionary* info = [::NSBundle mainBundle].infoDictionary;
    if (info == nil) return std::nullopt;
    return plistDictionary(info);
  }

  std::optional<std::string> privateFrameworksPath() const override {
    return fromNSString([::NSBundle mainBundle].privateFrameworksPath);
  }
};

class DefaultFileManager final : public platform::NSFileManager {
 public:
  bool fileExistsAtPath(const std::string& path) const override {
    NSString* name = toNSString(path);
    return name != nil && [[::NSFileManager defaultManager] fileExistsAtPath:name];
  }
};

}  // namespace

platform::NSBundle& mainBundle() {
  static MainBundle* const bundle = new MainBundle;
  return *bundle;
}

platform::NSFileManager& fileManager() {
  static DefaultFileManager* const files = new DefaultFileManager;
  return *files;
}

NSString* toNSString(std::string_view text) {
  return [[NSString alloc] initWithBytes:text.data() length:text.size() encoding:NSUTF8StringEncoding];
}

std::optional<std::string> fromNSString(NSString* string) {
  const char* utf8 = string.UTF8String;
  if (utf8 == nullptr) return std::nullopt;
  // The byte count, not strlen: a string may hold U+0000.
  return std::string(utf8, [string lengthOfBytesUsingEncoding:NSUTF8StringEncoding]);
}

platform::NSError fromNSError(NSError* error) {
  return platform::NSError{fromNSString(error.domain).value_or(""), static_cast<long>(error.code),
                           fromNSString(error.localizedDescription).value_or("")};
}

}  // namespace macos_backend
