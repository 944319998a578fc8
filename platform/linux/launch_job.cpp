#include "platform/linux/launch_job.h"

#include <plist/plist.h>

#include <memory>

#include "platform/linux/bundle.h"

namespace platform::linux_backend {
namespace {

struct PlistFree {
  void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

// A text that a path or an argument can carry: no NUL inside.
const std::string* plainString(const PlistDictionary& dictionary, const char* key) {
  const auto it = dictionary.find(key);
  if (it == dictionary.end()) return nullptr;
  const auto* text = std::get_if<std::string>(&it->second);
  return text != nullptr && text->find('\0') == std::string::npos ? text : nullptr;
}

// The job a property list that loaded describes; |where| names it in a refusal.
Expected<LaunchJob> launchJobFrom(const Expected<PlistDictionary>& plist, const std::string& where) {
  if (!plist) return fail("the job " + where + " cannot be read: " + plist.error());
  LaunchJob job;
  const std::string* label = plainString(*plist, "Label");
  if (label == nullptr || label->empty()) return fail("the job " + where + " has no Label");
  job.label = *label;

  const auto arguments = plist->find("ProgramArguments");
  const auto* list = arguments == plist->end() ? nullptr : std::get_if<PlistArray>(&arguments->second);
  if (list == nullptr) return fail("the job " + job.label + " has no ProgramArguments");
  for (const PlistValue& item : *list) {
    const auto* argument = std::get_if<std::string>(&item);
    if (argument == nullptr || argument->find('\0') != std::string::npos) {
      return fail("the job " + job.label + " has a ProgramArguments entry that is not a plain string");
    }
    job.programArguments.push_back(*argument);
  }
  if (job.programArguments.empty() || job.programArguments.front().empty()) {
    return fail("the job " + job.label + " names no program");
  }

  if (const auto services = plist->find("MachServices"); services != plist->end()) {
    if (const auto* names = std::get_if<PlistDictionary>(&services->second)) {
      for (const auto& [name, value] : *names) {
        // A service that is switched off is not looked up.
        if (const auto* on = std::get_if<bool>(&value); on != nullptr && !*on) continue;
        job.machServices.push_back(name);
      }
    }
  }
  if (const auto throttle = plist->find("ThrottleInterval"); throttle != plist->end()) {
    const auto* seconds = std::get_if<std::int64_t>(&throttle->second);
    if (seconds == nullptr || *seconds < 0) {
      return fail("the job " + job.label + " has a ThrottleInterval that is not a whole number of seconds");
    }
    job.throttleInterval = std::chrono::seconds(*seconds);
  }
  return job;
}

}  // namespace

Expected<LaunchJob> readLaunchJob(const std::filesystem::path& path) {
  return launchJobFrom(readPlistDictionary(path), "at " + path.string());
}

Expected<LaunchJob> parseLaunchJob(std::string_view bytes) { return launchJobFrom(parsePlistDictionary(bytes), "given"); }

std::string launchJobXml(const LaunchJob& job) {
  PlistPtr root(plist_new_dict());
  plist_dict_set_item(root.get(), "Label", plist_new_string(job.label.c_str()));
  plist_t arguments = plist_new_array();
  for (const auto& argument : job.programArguments) plist_array_append_item(arguments, plist_new_string(argument.c_str()));
  plist_dict_set_item(root.get(), "ProgramArguments", arguments);
  plist_t services = plist_new_dict();
  for (const auto& service : job.machServices) plist_dict_set_item(services, service.c_str(), plist_new_bool(1));
  plist_dict_set_item(root.get(), "MachServices", services);
  char* xml = nullptr;
  std::uint32_t length = 0;
  plist_to_xml(root.get(), &xml, &length);
  std::string out(xml == nullptr ? "" : std::string(xml, length));
  if (xml != nullptr) plist_to_xml_free(xml);
  return out;
}

}  // namespace platform::linux_backend
