// The main bundle on Linux: an `X.app` folder laid out as on macOS, its Info.plist
// read with libplist.
#pragma once

#include <cstddef>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation.h"

#include "platform/linux/expected.h"

namespace platform::linux_backend {

// Bigger than any Info.plist; a file past it is not read at all.
inline constexpr std::size_t kMaxPlistFileSize = std::size_t{16} * 1024 * 1024;

// Parses an XML or binary property list whose root is a dictionary. Booleans,
// integers, reals, strings, data, arrays and dictionaries are kept; dates and UIDs
// are left out. Anything malformed, nested absurdly deep, or with another root is
// refused, with what was wrong (never the list's own text).
Expected<PlistDictionary> parsePlistDictionary(std::string_view bytes);

// The same for a file, read only when it is a regular file (no FIFO, device, or link
// to one) no bigger than kMaxPlistFileSize. Serves every property list the host
// reads: the bundle's Info.plist and the job plists.
Expected<PlistDictionary> readPlistDictionary(const std::filesystem::path& file);

class PlistBundle final : public NSBundle {
 public:
  // |bundle| is the `X.app` folder; a relative path is taken from the current folder
  // as it is now.
  explicit PlistBundle(const std::filesystem::path& bundle);

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path infoPlistPath() const { return path_ / "Contents" / "Info.plist"; }

  // Read once, on first use, from any thread; later calls give the same answer.
  std::optional<PlistDictionary> infoDictionary() const override;
  std::optional<std::string> privateFrameworksPath() const override;

 private:
  std::filesystem::path path_;
  mutable std::once_flag infoRead_;
  mutable std::optional<PlistDictionary> info_;
};

}  // namespace platform::linux_backend
