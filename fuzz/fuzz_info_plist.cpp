// The Info.plist loader on arbitrary bytes: XML or binary property lists, well formed
// or not.
//
// Besides not crashing, leaking or hanging, a dictionary that loads must come back
// through libplist's XML writer (the tests' fixture writer) and the loader again: as a
// dictionary always, and unchanged when every text in it is one that XML can carry
// and every real is finite.
//
// The same bytes go to the job plist reader, which reads through the same loader: a
// job it accepts has a label and a program, and comes back through the job writer
// with the same label and arguments when XML can carry them.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <variant>

#include "platform/linux/bundle.h"
#include "platform/linux/launch_job.h"
#include "tests/linux/plist_writer.h"

namespace {

using platform::PlistDictionary;
using platform::PlistValue;

[[noreturn]] void finding(const char* what) {
  std::fprintf(stderr, "fuzz_info_plist: %s\n", what);
  std::abort();
}

// XML 1.0 has no way to write most control characters, and a reader folds line
// ends; such texts are not expected to survive a trip through XML.
bool xmlText(std::string_view text) {
  for (unsigned char c : text) {
    if ((c < 0x20 && c != '\t' && c != '\n') || c == '\r') return false;
  }
  return true;
}

bool writable(const PlistValue& value);

bool writable(const PlistDictionary& dictionary) {
  for (const auto& [key, item] : dictionary) {
    if (!xmlText(key) || !writable(item)) return false;
  }
  return true;
}

bool writable(const PlistValue& value) {
  if (const auto* text = std::get_if<std::string>(&value)) return xmlText(*text);
  if (const auto* real = std::get_if<double>(&value)) return std::isfinite(*real);
  if (const auto* array = std::get_if<platform::PlistArray>(&value)) {
    for (const auto& item : *array) {
      if (!writable(item)) return false;
    }
    return true;
  }
  if (const auto* dictionary = std::get_if<PlistDictionary>(&value)) return writable(*dictionary);
  return true;
}

void checkJob(std::string_view bytes, bool loaded) {
  using platform::linux_backend::parseLaunchJob;
  const auto job = parseLaunchJob(bytes);
  if (!job) {
    if (job.error().empty()) finding("a job was refused without a reason");
    return;
  }
  if (!loaded) finding("a job loaded from bytes the property-list loader refuses");
  if (job->label.empty() || job->programArguments.empty() || job->programArguments.front().empty()) {
    finding("a job loaded without a label or a program");
  }
  bool carried = xmlText(job->label);
  for (const auto& argument : job->programArguments) carried = carried && xmlText(argument);
  for (const auto& service : job->machServices) carried = carried && xmlText(service);
  if (!carried) return;
  const auto again = parseLaunchJob(platform::linux_backend::launchJobXml(*job));
  if (!again) finding("a job that loaded does not load again once written");
  if (again->label != job->label || again->programArguments != job->programArguments) {
    finding("a job changed on its way through the job writer");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto loaded = platform::linux_backend::parsePlistDictionary(bytes);
  checkJob(bytes, loaded.has_value());
  if (!loaded) return 0;
  const std::string xml = linux_test::plistXml(*loaded);
  const auto reloaded = platform::linux_backend::parsePlistDictionary(xml);
  if (!reloaded) finding("a dictionary that loaded does not load again once written");
  if (writable(*loaded) && *reloaded != *loaded) finding("a dictionary changed on its way through the writer");
  return 0;
}
