#include "platform/foundation.h"

#include <cstddef>

namespace platform {
namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Compares two runs of digits by value: leading zeros do not count, then the longer
// run is the larger number, then the digits decide.
int compareDigitRuns(std::string_view a, std::string_view b) {
  auto stripZeros = [](std::string_view run) {
    std::size_t i = 0;
    while (i + 1 < run.size() && run[i] == '0') ++i;
    return run.substr(i);
  };
  a = stripZeros(a);
  b = stripZeros(b);
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  int c = a.compare(b);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

std::size_t digitRunEnd(std::string_view s, std::size_t from) {
  while (from < s.size() && isDigit(s[from])) ++from;
  return from;
}

}  // namespace

NSComparisonResult compare(std::string_view a, std::string_view b, unsigned long options) {
  const bool numeric = (options & NSNumericSearch) != 0;
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < a.size() && j < b.size()) {
    if (numeric && isDigit(a[i]) && isDigit(b[j])) {
      std::size_t iEnd = digitRunEnd(a, i);
      std::size_t jEnd = digitRunEnd(b, j);
      int c = compareDigitRuns(a.substr(i, iEnd - i), b.substr(j, jEnd - j));
      if (c != 0) return c < 0 ? NSComparisonResult::NSOrderedAscending : NSComparisonResult::NSOrderedDescending;
      i = iEnd;
      j = jEnd;
      continue;
    }
    const auto ca = static_cast<unsigned char>(a[i]);
    const auto cb = static_cast<unsigned char>(b[j]);
    if (ca != cb) return ca < cb ? NSComparisonResult::NSOrderedAscending : NSComparisonResult::NSOrderedDescending;
    ++i;
    ++j;
  }
  if (i < a.size()) return NSComparisonResult::NSOrderedDescending;
  if (j < b.size()) return NSComparisonResult::NSOrderedAscending;
  return NSComparisonResult::NSOrderedSame;
}

std::vector<std::string> components(std::string_view s, std::string_view separator) {
  std::vector<std::string> parts;
  if (separator.empty()) {
    parts.emplace_back(s);
    return parts;
  }
  std::size_t start = 0;
  while (true) {
    std::size_t at = s.find(separator, start);
    if (at == std::string_view::npos) {
      parts.emplace_back(s.substr(start));
      return parts;
    }
    parts.emplace_back(s.substr(start, at - start));
    start = at + separator.size();
  }
}

}  // namespace platform
