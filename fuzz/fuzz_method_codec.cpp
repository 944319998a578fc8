// The standard method codec on arbitrary bytes: taken as a method call, and as a
// reply envelope.
//
// Besides not crashing or reading past the input (the sanitizers watch), aborts, as a
// finding, when:
//   - a refusal names an offset past the input;
//   - what decodes holds containers nested deeper than kMaxEncodableDepth;
//   - what decodes does not decode again from its encoding, as the same method and
//     the same values (doubles by their bits);
//   - encoding what came back from an encoding gives other bytes.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <variant>

#include "platform/flutter/standard_codec.h"

namespace {

using namespace platform;

[[noreturn]] void finding(const char* what) {
  std::fprintf(stderr, "fuzz_method_codec: %s\n", what);
  std::abort();
}

bool identical(const EncodableValue& a, const EncodableValue& b) {
  if (a.index() != b.index()) return false;
  if (const auto* d = std::get_if<double>(&a)) {
    return std::bit_cast<std::uint64_t>(*d) == std::bit_cast<std::uint64_t>(std::get<double>(b));
  }
  if (const auto* list = std::get_if<EncodableList>(&a)) {
    return std::ranges::equal(*list, std::get<EncodableList>(b), identical);
  }
  if (const auto* map = std::get_if<EncodableMap>(&a)) {
    return std::ranges::equal(*map, std::get<EncodableMap>(b), [](const auto& x, const auto& y) {
      return identical(x.first, y.first) && identical(x.second, y.second);
    });
  }
  return a == b;
}

int depthOf(const EncodableValue& value) {
  int deepest = 0;
  if (const auto* list = std::get_if<EncodableList>(&value)) {
    for (const auto& item : *list) deepest = std::max(deepest, depthOf(item));
    return deepest + 1;
  }
  if (const auto* map = std::get_if<EncodableMap>(&value)) {
    for (const auto& [key, item] : *map) deepest = std::max({deepest, depthOf(key), depthOf(item)});
    return deepest + 1;
  }
  return 0;
}

void checkValue(const EncodableValue& value) {
  if (depthOf(value) > kMaxEncodableDepth) finding("a decoded value is nested deeper than the limit");
}

void checkRefusal(const CodecError& error, std::size_t size) {
  if (error.offset > size) finding("a refusal names an offset past the input");
}

void checkCall(const FlutterMethodCall& call) {
  checkValue(call.arguments());
  const FlutterMessage encoded = encodeMethodCall(call);
  const auto again = decodeMethodCall(encoded);
  const auto* back = std::get_if<FlutterMethodCall>(&again);
  if (back == nullptr) finding("an encoded call does not decode");
  if (back->method() != call.method() || !identical(back->arguments(), call.arguments())) {
    finding("a call changed on its way through the encoder");
  }
  if (encodeMethodCall(*back) != encoded) finding("a call re-encodes to other bytes");
}

void checkEnvelope(const DecodedEnvelope& envelope, std::size_t size) {
  if (const auto* error = std::get_if<CodecError>(&envelope)) return checkRefusal(*error, size);
  if (std::holds_alternative<FlutterMethodNotImplementedType>(envelope)) {
    if (size != 0) finding("a reply of some bytes read as not-implemented");
    return;
  }
  if (const auto* success = std::get_if<EnvelopeSuccess>(&envelope)) {
    checkValue(success->result);
    const auto again = decodeEnvelope(encodeSuccessEnvelope(success->result));
    const auto* back = std::get_if<EnvelopeSuccess>(&again);
    if (back == nullptr || !identical(back->result, success->result)) {
      finding("a success reply changed on its way through the encoder");
    }
    return;
  }
  const auto& error = std::get<EnvelopeError>(envelope);
  checkValue(error.details);
  const auto again = decodeEnvelope(encodeErrorEnvelope(error.code, error.message, error.details));
  const auto* back = std::get_if<EnvelopeError>(&again);
  if (back == nullptr || back->code != error.code || back->message != error.message ||
      !identical(back->details, error.details)) {
    finding("an error reply changed on its way through the encoder");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const FlutterMessageView input(data, size);
  const auto call = decodeMethodCall(input);
  if (const auto* decoded = std::get_if<FlutterMethodCall>(&call)) {
    checkCall(*decoded);
  } else {
    checkRefusal(std::get<CodecError>(call), size);
  }
  checkEnvelope(decodeEnvelope(input), size);
  return 0;
}
