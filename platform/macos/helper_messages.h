// The messages of VLTHelperProtocol as the XPC transport sends them: for each selector
// of the portable description, a row that sends it to the remote object proxy, with the
// message's string arguments and a reply block that hands the reply's values on.
//
// A row is written VLT_ROW(selector, send). The compiler checks the send against the
// protocol's declaration (the method, each argument's type, the reply block's shape),
// that @selector names a declared method, and that the send's selector is the row's:
// `sends` reads it from the send's text. xpc.mm checks that its rows are
// helper_link's kHelperSelectors, in order.
#pragma once

#import <Foundation/Foundation.h>

#include <cstddef>
#include <string_view>
#include <vector>

#include "platform/macos/VLTHelperProtocol.h"
#include "platform/macos/cocoa.h"
#include "platform/xpc.h"

namespace macos_backend::helper_messages {

// The message's arguments, each a string.
using Arguments = std::vector<NSString*>;
// Hands a reply's values on; runs at most once for each message.
typedef void (^Deliver)(platform::XPCValues values);

inline platform::XPCValue stringValue(NSString* string) {
  if (auto text = fromNSString(string)) return *text;
  return std::monostate{};
}

// The reply blocks, each written in the shape of the protocol's reply that it is
// passed for, so the compiler compares the two.
typedef void (^EmptyReply)(void);
typedef void (^VersionReply)(NSString* version, NSString* build);
typedef void (^AccessReply)(BOOL success, NSString* code, NSString* name);
typedef void (^TunnelVersionReply)(NSString* version);

inline EmptyReply done(Deliver deliver) {
  return ^{
    deliver({});
  };
}

inline VersionReply versionReply(Deliver deliver) {
  return ^(NSString* version, NSString* build) {
    deliver({stringValue(version), stringValue(build)});
  };
}

inline AccessReply accessReply(Deliver deliver) {
  return ^(BOOL success, NSString* code, NSString* name) {
    deliver({success != NO, stringValue(code), stringValue(name)});
  };
}

inline TunnelVersionReply tunnelVersionReply(Deliver deliver) {
  return ^(NSString* version) {
    deliver({stringValue(version)});
  };
}

constexpr bool isNameCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// True when |send|, the text of a message to `helper`, sends |selector|: a message
// without arguments names it whole; otherwise its keywords, each a name (empty for
// an unnamed part) and a colon, joined in order, spell it. Arguments hold no colon.
constexpr bool sends(std::string_view selector, std::string_view send) {
  constexpr std::string_view receiver = "[helper ";
  if (!send.starts_with(receiver) || !send.ends_with("]")) return false;
  send = send.substr(receiver.size(), send.size() - receiver.size() - 1);
  if (send.find(':') == std::string_view::npos) return send == selector;
  std::size_t spelled = 0;
  for (std::size_t colon = send.find(':'); colon != std::string_view::npos; colon = send.find(':', colon + 1)) {
    std::size_t start = colon;
    while (start > 0 && isNameCharacter(send[start - 1])) --start;
    const std::string_view keyword = send.substr(start, colon + 1 - start);
    if (selector.substr(spelled, keyword.size()) != keyword) return false;
    spelled += keyword.size();
  }
  return spelled == selector.size();
}

struct Row {
  std::string_view selector;
  void (*send)(id<VLTHelperProtocol> helper, const Arguments& a, Deliver deliver);
};

}  // namespace macos_backend::helper_messages

// |send| is a message to `helper`, whose arguments are a[0], a[1]... and whose reply
// block hands its values to `deliver`. Rows are written where the names of
// macos_backend::helper_messages are in scope.
#define VLT_ROW(name, send)                                                            \
  Row {                                                                                \
    #name, [](id<VLTHelperProtocol> helper, [[maybe_unused]] const Arguments& a,      \
              [[maybe_unused]] Deliver deliver) {                                      \
      static_assert(sends(#name, #send), "the row's send does not send its selector"); \
      (void)@selector(name);                                                           \
      send;                                                                            \
    }                                                                                  \
  }
