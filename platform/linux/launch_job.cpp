#include "platform/linux/launch_job.h"

#include <plist/plist.h>

#include <cstdlib>
#include <fstream>
#include <limits>
#include <memory>
#include <sstream>

namespace platform::linux_backend {
namespace {

struct PlistFree {
  void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

struct CFree {
  void operator()(void* p) const { std::free(p); }
};
using CString = std::unique_ptr<char, CFree>;

std::optional<std::string> stringValue(plist_t node) {
  if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
  char* raw = nullptr;
  plist_get_string_val(node, &raw);
  CString owned(raw);
  if (!owned) return std::nullopt;
  return std::string(owned.get());
}

std::optional<LaunchJob> fail(std::string* error, std::string text) {
  if (error != nullptr) *error = std::move(text);
  return std::nullopt;
}

}  // namespace

std::optional<LaunchJob> readLaunchJob(const std::filesystem::path& path, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return fail(error, "no job at " + path.string());
  std::ostringstream contents;
  contents << in.rdbuf();
  const std::string data = contents.str();
  if (data.empty() || data.size() > std::numeric_limits<std::uint32_t>::max()) {
    return fail(error, "the job at " + path.string() + " is empty or too large");
  }
  plist_t raw = nullptr;
  plist_from_memory(data.data(), static_cast<std::uint32_t>(data.size()), &raw);
  PlistPtr root(raw);
  if (!root || plist_get_node_type(root.get()) != PLIST_DICT) {
    return fail(error, "the job at " + path.string() + " is not a property list dictionary");
  }
  LaunchJob job;
  auto label = stringValue(plist_dict_get_item(root.get(), "Label"));
  if (!label || label->empty()) return fail(error, "the job at " + path.string() + " has no Label");
  job.label = *label;

  plist_t arguments = plist_dict_get_item(root.get(), "ProgramArguments");
  if (arguments == nullptr || plist_get_node_type(arguments) != PLIST_ARRAY) {
    return fail(error, "the job " + job.label + " has no ProgramArguments");
  }
  const std::uint32_t count = plist_array_get_size(arguments);
  for (std::uint32_t i = 0; i < count; ++i) {
    auto argument = stringValue(plist_array_get_item(arguments, i));
    if (!argument) return fail(error, "the job " + job.label + " has a ProgramArguments entry that is not a string");
    job.programArguments.push_back(*argument);
  }
  if (job.programArguments.empty() || job.programArguments.front().empty()) {
    return fail(error, "the job " + job.label + " names no program");
  }

  plist_t services = plist_dict_get_item(root.get(), "MachServices");
  if (services != nullptr && plist_get_node_type(services) == PLIST_DICT) {
    plist_dict_iter iter = nullptr;
    plist_dict_new_iter(services, &iter);
    std::unique_ptr<void, CFree> iterOwner(iter);
    while (iter != nullptr) {
      char* rawKey = nullptr;
      plist_t value = nullptr;
      plist_dict_next_item(services, iter, &rawKey, &value);
      CString key(rawKey);
      if (!key) break;
      // A service that is switched off is not looked up.
      if (plist_get_node_type(value) == PLIST_BOOLEAN && !plist_bool_val_is_true(value)) continue;
      job.machServices.emplace_back(key.get());
    }
  }
  return job;
}

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
