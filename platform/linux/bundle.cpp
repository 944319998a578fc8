#include "platform/linux/bundle.h"

#include <fcntl.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "platform/linux/unique_fd.h"

namespace platform::linux_backend {
namespace {

// libplist parses and frees nested containers recursively, and so does the
// conversion below; these bounds keep every recursion far from the end of a thread's
// stack, whatever the file says. No Info.plist comes near them.
constexpr int kMaxPlistDepth = 256;
constexpr std::uint64_t kMaxBinaryPlistObjects = 16384;

struct PlistFree {
  void operator()(plist_t node) const { plist_free(node); }
};
using PlistHandle = std::unique_ptr<void, PlistFree>;

struct MallocFree {
  void operator()(void* memory) const { std::free(memory); }
};

constexpr std::string_view kBinaryMagic = "bplist00";
constexpr std::size_t kBinaryTrailerSize = 32;

// The element depth of an XML text, counted without building anything, so that a
// deeply nested file never reaches the parser. Comments, CDATA sections, processing
// instructions and declarations are skipped as the XML parser skips them.
bool xmlNestingWithin(std::string_view text, int limit) {
  int depth = 0;
  std::size_t at = 0;
  auto skipPast = [&](std::string_view end) {
    const auto found = text.find(end, at);
    at = found == std::string_view::npos ? text.size() : found + end.size();
  };
  while ((at = text.find('<', at)) != std::string_view::npos) {
    const std::string_view rest = text.substr(at);
    if (rest.starts_with("<!--")) {
      skipPast("-->");
    } else if (rest.starts_with("<![CDATA[")) {
      skipPast("]]>");
    } else if (rest.starts_with("<?")) {
      skipPast("?>");
    } else if (rest.starts_with("<!")) {
      skipPast(">");
    } else {
      const auto end = text.find('>', at);
      if (end == std::string_view::npos) return true;  // unterminated: the parser refuses it
      if (rest.starts_with("</")) {
        if (depth > 0) --depth;  // stray closes must not make room for deeper opens
      } else if (text[end - 1] != '/' && ++depth > limit) {
        return false;
      }
      at = end + 1;
    }
  }
  return true;
}

std::uint64_t readBigEndian(const char* bytes, std::size_t count) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < count; ++i) value = (value << 8) | static_cast<unsigned char>(bytes[i]);
  return value;
}

std::uint64_t readBigEndian64(const char* bytes) { return readBigEndian(bytes, 8); }

// A binary plist nests no deeper than it has objects (libplist refuses cycles), so
// bounding the object count bounds the depth.
bool binaryObjectCountWithin(std::string_view bytes, std::uint64_t limit) {
  if (bytes.size() < kBinaryMagic.size() + kBinaryTrailerSize) return false;
  const char* trailer = bytes.data() + bytes.size() - kBinaryTrailerSize;
  return readBigEndian64(trailer + 8) <= limit;
}

// libplist stops the whole process on an assertion when it hands out a dictionary
// key that holds U+0000, and a UTF-16 string of a binary plist is how a key gets one.
// No Info.plist has such a text, so a file with one (or with an object table that
// points outside the file) is refused before libplist reads it. Call only once the
// object count is known to be bounded.
bool binaryUtf16TextsWithoutNul(std::string_view bytes) {
  const char* trailer = bytes.data() + bytes.size() - kBinaryTrailerSize;
  const std::size_t offsetSize = static_cast<unsigned char>(trailer[6]);
  const std::uint64_t objects = readBigEndian64(trailer + 8);
  const std::uint64_t table = readBigEndian64(trailer + 24);
  if (offsetSize < 1 || offsetSize > 8 || table > bytes.size() || (bytes.size() - table) / offsetSize < objects) {
    return false;
  }
  for (std::uint64_t i = 0; i < objects; ++i) {
    const std::uint64_t at = readBigEndian(bytes.data() + table + i * offsetSize, offsetSize);
    if (at >= bytes.size()) return false;
    const auto marker = static_cast<unsigned char>(bytes[at]);
    if ((marker >> 4) != 0x6) continue;
    std::uint64_t units = marker & 0x0f;
    std::uint64_t start = at + 1;
    if (units == 0x0f) {
      // The length follows as an integer object of 1, 2, 4 or 8 bytes.
      if (start >= bytes.size()) return false;
      const auto lengthMarker = static_cast<unsigned char>(bytes[start]);
      const std::size_t lengthSize = std::size_t{1} << (lengthMarker & 0x0f);
      if ((lengthMarker >> 4) != 0x1 || lengthSize > 8 || bytes.size() - start - 1 < lengthSize) return false;
      units = readBigEndian(bytes.data() + start + 1, lengthSize);
      start += 1 + lengthSize;
    }
    if (start > bytes.size() || (bytes.size() - start) / 2 < units) return false;
    for (std::uint64_t u = 0; u < units; ++u) {
      if (bytes[start + 2 * u] == 0 && bytes[start + 2 * u + 1] == 0) return false;
    }
  }
  return true;
}

class Converter {
 public:
  // Fills |out| and says true, or says false for the kinds that are left out; sets
  // |failed_| once something is too deep. (Out-parameters rather than optionals of
  // the variant keep GCC's flow analysis from seeing uninitialised members.)
  bool convert(plist_t node, int depth, PlistValue& out) {
    if (depth > kMaxPlistDepth) {
      failed_ = true;
      return false;
    }
    switch (plist_get_node_type(node)) {
      case PLIST_BOOLEAN: {
        std::uint8_t value = 0;
        plist_get_bool_val(node, &value);
        out = value != 0;
        return true;
      }
      case PLIST_UINT: {
        // libplist keeps negative integers as their two's complement.
        std::uint64_t value = 0;
        plist_get_uint_val(node, &value);
        out = static_cast<std::int64_t>(value);
        return true;
      }
      case PLIST_REAL: {
        double value = 0;
        plist_get_real_val(node, &value);
        out = value;
        return true;
      }
      case PLIST_STRING: {
        std::uint64_t length = 0;
        const char* text = plist_get_string_ptr(node, &length);
        out = text == nullptr ? std::string() : std::string(text, length);
        return true;
      }
      case PLIST_DATA: {
        std::uint64_t length = 0;
        const char* bytes = plist_get_data_ptr(node, &length);
        const auto* begin = reinterpret_cast<const std::uint8_t*>(bytes);
        out = bytes == nullptr ? PlistData() : PlistData(begin, begin + length);
        return true;
      }
      case PLIST_ARRAY:
        return convertArray(node, depth, out.emplace<PlistArray>());
      case PLIST_DICT:
        return convertDictionary(node, depth, out.emplace<PlistDictionary>());
      default:
        return false;
    }
  }

  std::optional<PlistDictionary> convertRoot(plist_t root) {
    if (plist_get_node_type(root) != PLIST_DICT) return std::nullopt;
    PlistDictionary dictionary;
    if (!convertDictionary(root, 1, dictionary)) return std::nullopt;
    return dictionary;
  }

 private:
  bool convertArray(plist_t node, int depth, PlistArray& array) {
    const std::uint32_t size = plist_array_get_size(node);
    for (std::uint32_t i = 0; i < size && !failed_; ++i) {
      PlistValue item;
      if (convert(plist_array_get_item(node, i), depth + 1, item)) array.push_back(std::move(item));
    }
    return !failed_;
  }

  bool convertDictionary(plist_t node, int depth, PlistDictionary& dictionary) {
    plist_dict_iter rawIterator = nullptr;
    plist_dict_new_iter(node, &rawIterator);
    const std::unique_ptr<void, MallocFree> iterator(rawIterator);
    while (!failed_) {
      char* rawKey = nullptr;
      plist_t item = nullptr;
      plist_dict_next_item(node, iterator.get(), &rawKey, &item);
      const std::unique_ptr<char, MallocFree> key(rawKey);
      if (item == nullptr) break;
      if (key == nullptr) continue;
      PlistValue value;
      if (convert(item, depth + 1, value)) dictionary.insert_or_assign(std::string(key.get()), std::move(value));
    }
    return !failed_;
  }

  bool failed_ = false;
};

}  // namespace

Expected<PlistDictionary> parsePlistDictionary(std::string_view bytes) {
  if (bytes.empty()) return fail("the property list is empty");
  if (bytes.size() > kMaxPlistFileSize) return fail("the property list is larger than the limit");
  if (bytes.starts_with(kBinaryMagic)) {
    if (!binaryObjectCountWithin(bytes, kMaxBinaryPlistObjects)) return fail("the property list holds too many objects");
    if (!binaryUtf16TextsWithoutNul(bytes)) return fail("the property list holds a text with U+0000 in it");
  } else if (!xmlNestingWithin(bytes, kMaxPlistDepth + 2)) {  // + <plist> and a leaf element
    return fail("the property list is nested too deeply or is not XML");
  }
  plist_t raw = nullptr;
  plist_from_memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &raw);
  const PlistHandle root(raw);
  if (!root) return fail("the property list does not parse");
  auto dictionary = Converter().convertRoot(root.get());
  if (!dictionary) return fail("the property list's root is not a dictionary, or a value in it is nested too deeply");
  return std::move(*dictionary);
}

Expected<PlistDictionary> readPlistDictionary(const std::filesystem::path& file) {
  // Opened without waiting, so a FIFO cannot hold the reader, and read only when it
  // turns out to be a regular file: no FIFO, device, or link to one.
  UniqueFd fd(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!fd) return fail("cannot open " + file.string() + ": " + std::strerror(errno));
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return fail(file.string() + " is not a regular file");
  if (static_cast<std::uint64_t>(info.st_size) > kMaxPlistFileSize) {
    return fail(file.string() + " is larger than the limit");
  }
  std::string bytes(static_cast<std::size_t>(info.st_size), '\0');
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::read(fd.get(), bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail("cannot read " + file.string() + ": " + std::strerror(errno));
    if (n == 0) break;  // it shrank as it was read
    done += static_cast<std::size_t>(n);
  }
  bytes.resize(done);
  return parsePlistDictionary(bytes);
}

namespace {

// |bundle| made absolute and normal, without a trailing separator.
std::filesystem::path bundleFolder(const std::filesystem::path& bundle) {
  std::error_code error;
  std::filesystem::path path = std::filesystem::absolute(bundle, error).lexically_normal();
  if (error) path = bundle.lexically_normal();
  if (!path.has_filename() && path.has_parent_path()) path = path.parent_path();
  return path;
}

}  // namespace

PlistBundle::PlistBundle(const std::filesystem::path& bundle) : path_(bundleFolder(bundle)) {}

std::optional<PlistDictionary> PlistBundle::infoDictionary() const {
  std::call_once(infoRead_, [this] {
    if (auto info = readPlistDictionary(infoPlistPath())) info_ = std::move(*info);
  });
  return info_;
}

std::optional<std::string> PlistBundle::privateFrameworksPath() const {
  return (path_ / "Contents" / "Frameworks").string();
}

}  // namespace platform::linux_backend
