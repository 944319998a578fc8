// Stands for the parts of Foundation the host uses: the main bundle, the file
// manager, errors, and numeric string comparison.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace platform {

// A property list value as read from an Info.plist.
struct PlistValue;
using PlistArray = std::vector<PlistValue>;
using PlistDictionary = std::map<std::string, PlistValue>;
using PlistData = std::vector<std::uint8_t>;
struct PlistValue : std::variant<bool, std::int64_t, double, std::string, PlistData, PlistArray, PlistDictionary> {
  using variant::variant;
};

class NSBundle {
 public:
  virtual ~NSBundle() = default;
  static NSBundle& mainBundle();
  // The bundle's Info.plist; none when the bundle has none or it cannot be read.
  virtual std::optional<PlistDictionary> infoDictionary() const = 0;
  virtual std::optional<std::string> privateFrameworksPath() const = 0;
};

class NSFileManager {
 public:
  virtual ~NSFileManager() = default;
  static NSFileManager& defaultManager();
  virtual bool fileExistsAtPath(const std::string& path) const = 0;
};

// An error handed out by the platform; callers read only its description.
struct NSError {
  std::string domain;
  long code = 0;
  std::string localizedDescription;
};

enum class NSComparisonResult { NSOrderedAscending = -1, NSOrderedSame = 0, NSOrderedDescending = 1 };

constexpr unsigned long NSNumericSearch = 64;

// String comparison with options; only NSNumericSearch changes anything here: runs of
// decimal digits compare by their value, every other character one by one.
NSComparisonResult compare(std::string_view a, std::string_view b, unsigned long options);

// Splits at every occurrence of |separator|; empty components stay, and an empty
// string gives one empty component.
std::vector<std::string> components(std::string_view s, std::string_view separator);

}  // namespace platform
