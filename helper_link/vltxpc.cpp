#include "helper_link/vltxpc.h"

namespace helper_link {
namespace {

constexpr const char* kHelperShortVersionKey = "HelperCFBundleShortVersionString";
constexpr const char* kHelperVersionKey = "HelperCFBundleVersion";

std::string infoString(const char* key) {
  auto info = platform::NSBundle::mainBundle().infoDictionary();
  if (!info) return {};
  auto it = info->find(key);
  if (it == info->end()) return {};
  if (auto s = std::get_if<std::string>(&it->second)) return *s;
  return {};
}

}  // namespace

VLTXPC::VLTXPC() : ver(infoString(kHelperShortVersionKey)), bld(infoString(kHelperVersionKey)) {}

}  // namespace helper_link
