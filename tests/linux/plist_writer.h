// Writes property-list fixtures with libplist: a PlistDictionary as XML, for the tests
// and the fuzz target that read property lists back.
#pragma once

#include <plist/plist.h>

#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <variant>

#include "platform/foundation.h"

namespace linux_test {

inline plist_t plistNode(const platform::PlistValue& value) {
  return std::visit(
      [](const auto& v) -> plist_t {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, bool>) {
          return plist_new_bool(v ? 1 : 0);
        } else if constexpr (std::is_same_v<T, std::int64_t>) {
          return plist_new_uint(static_cast<std::uint64_t>(v));  // libplist keeps the sign in the bits
        } else if constexpr (std::is_same_v<T, double>) {
          return plist_new_real(v);
        } else if constexpr (std::is_same_v<T, std::string>) {
          return plist_new_string(v.c_str());
        } else if constexpr (std::is_same_v<T, platform::PlistData>) {
          return plist_new_data(reinterpret_cast<const char*>(v.data()), v.size());
        } else if constexpr (std::is_same_v<T, platform::PlistArray>) {
          plist_t array = plist_new_array();
          for (const auto& item : v) plist_array_append_item(array, plistNode(item));
          return array;
        } else {
          plist_t dictionary = plist_new_dict();
          for (const auto& [key, item] : v) plist_dict_set_item(dictionary, key.c_str(), plistNode(item));
          return dictionary;
        }
      },
      static_cast<const platform::PlistValue::variant&>(value));
}

// |dictionary| as an XML property list; empty if libplist cannot write it.
inline std::string plistXml(const platform::PlistDictionary& dictionary) {
  const std::unique_ptr<void, decltype(&plist_free)> root(plistNode(platform::PlistValue(dictionary)), &plist_free);
  char* xml = nullptr;
  std::uint32_t length = 0;
  plist_to_xml(root.get(), &xml, &length);
  if (xml == nullptr) return {};
  std::string text(xml, length);
  plist_to_xml_free(xml);
  return text;
}

}  // namespace linux_test
