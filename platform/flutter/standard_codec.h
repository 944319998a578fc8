// The embedding's standard message codec and standard method codec: values, method
// calls and their reply envelopes as the bytes that cross a binary messenger. No I/O
// here: bytes in, values out, and back.
//
// A value is a type byte and what the type needs, little-endian:
//   0 null   1 true   2 false   3 int32   4 int64   6 float64   7 string (UTF-8)
//   8 uint8 list   9 int32 list   10 int64 list   11 float64 list   14 float32 list
//   12 list (size, then each item)   13 map (size, then each key and its value)
// A size is one byte below 254; 254 and a 16-bit size; 255 and a 32-bit size. A
// float64 is aligned to 8 bytes from the start of the message, with zero padding
// after its type byte; a typed list writes its size, then pads to its element size,
// then its elements.
//
// EncodableValue has one integer, one floating-point number and no typed lists, so:
//   - int32 and int64 both decode to std::int64_t; an integer is written as int32
//     when it fits in 32 bits, as int64 otherwise;
//   - a typed list decodes to an EncodableList of its elements: std::int64_t for the
//     uint8, int32 and int64 lists, double for the float32 and float64 ones (every
//     value is kept exactly). Lists are written as type 12, so the typed kinds are
//     read but never written: a decoded value re-encodes to the same value, not to
//     the same bytes. Each element of a typed list costs a whole EncodableValue.
// Strings are carried as the bytes they are: neither checked nor repaired as UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "platform/flutter.h"

namespace platform {

// Why bytes were refused, and the offset in the message where that was found.
struct CodecError {
  std::string reason;
  std::size_t offset = 0;
  friend bool operator==(const CodecError&, const CodecError&) = default;
};

// The type bytes.
enum class StandardType : std::uint8_t {
  kNull = 0,
  kTrue = 1,
  kFalse = 2,
  kInt32 = 3,
  kInt64 = 4,
  kFloat64 = 6,
  kString = 7,
  kUint8List = 8,
  kInt32List = 9,
  kInt64List = 10,
  kFloat64List = 11,
  kList = 12,
  kMap = 13,
  kFloat32List = 14,
};

// --- Standard message codec: one value per message.

// Appends |value| to |out|; alignment counts from the start of |out|, so |out| holds
// the message written so far. Encodes values of any depth, although a decoder
// refuses those deeper than kMaxEncodableDepth containers. A string or container
// with 2^32 or more bytes or items throws std::length_error.
void encodeValue(const EncodableValue& value, FlutterMessage& out);
FlutterMessage encodeMessage(const EncodableValue& value);

// The one value that |message| holds. Refused: a message cut short (nothing is read
// past its end), an unknown type byte, a size that runs past the end, containers
// nested deeper than kMaxEncodableDepth, and bytes after the value.
std::variant<EncodableValue, CodecError> decodeMessage(FlutterMessageView message);

// --- Standard method codec.

// The method's name as a string value, then the arguments value.
FlutterMessage encodeMethodCall(const FlutterMethodCall& call);
// Refuses what decodeMessage refuses, a first value that is not a string, and bytes
// after the arguments.
std::variant<FlutterMethodCall, CodecError> decodeMethodCall(FlutterMessageView message);

// Byte 0, then the result value.
FlutterMessage encodeSuccessEnvelope(const EncodableValue& result);
// Byte 1, then the code (string), the message (string, or null when absent) and the
// details (any value).
FlutterMessage encodeErrorEnvelope(const std::string& code, const std::optional<std::string>& message,
                                   const EncodableValue& details = {});
// The reply bytes of a method call's answer: a success envelope for nil and strings,
// an error envelope (without details) for an error, and the empty reply for
// not-implemented.
FlutterMessage encodeResult(const FlutterResultValue& result);

// A reply as the caller reads it.
struct EnvelopeSuccess {
  EncodableValue result;
};
struct EnvelopeError {
  std::string code;
  std::optional<std::string> message;
  EncodableValue details;
};
using DecodedEnvelope = std::variant<EnvelopeSuccess, EnvelopeError, FlutterMethodNotImplementedType, CodecError>;

// The empty reply is not-implemented. Otherwise refused: a first byte other than 0
// or 1, an error whose code is not a string or whose message is neither a string nor
// null, what decodeMessage refuses, and bytes after the envelope.
DecodedEnvelope decodeEnvelope(FlutterMessageView reply);

// The answer that encodeResult wrote, read back. A reply that is not one (it does
// not decode, or succeeds with a value other than nil or a string) gives an error
// whose code is "undecodable_reply".
FlutterResultValue decodeResult(FlutterMessageView reply);

}  // namespace platform
