#include "platform/linux/security.h"

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/linux/atomic_file.h"
#include "platform/linux/launch_job.h"
#include "platform/linux/launch_lock.h"

namespace platform::linux_backend {
namespace {

constexpr const char* kErrorDomain = "CFErrorDomainLaunchd";
constexpr long kInternalFailure = 2;
constexpr long kAuthorizationFailure = 4;
constexpr long kToolNotValid = 5;

enum class Policy { Allow, Deny, Unknown };

Policy authorizationPolicy() {
  const char* value = std::getenv("VELTRINO_AUTHORIZATION");
  if (value == nullptr || *value == '\0' || std::string_view(value) == "allow") return Policy::Allow;
  if (std::string_view(value) == "deny") return Policy::Deny;
  return Policy::Unknown;  // a policy we cannot read grants nothing
}

bool fail(std::optional<NSError>* error, long code, std::string description) {
  if (error != nullptr) *error = NSError{kErrorDomain, code, std::move(description)};
  return false;
}

}  // namespace

struct LinuxSecurity::Grant {
  std::vector<std::string> rights;
  AuthorizationFlags flags = 0;
};

LinuxSecurity::LinuxSecurity(SystemRoot root, std::filesystem::path bundlePath)
    : root_(std::move(root)), bundlePath_(std::move(bundlePath)) {}

LinuxSecurity::~LinuxSecurity() = default;

OSStatus LinuxSecurity::authorizationCreate(const AuthorizationRights* rights, const AuthorizationEnvironment*,
                                            AuthorizationFlags flags, AuthorizationRef* authorization) {
  if (authorization != nullptr) *authorization = nullptr;
  auto grant = std::make_unique<Grant>();
  grant->flags = flags;
  if (rights != nullptr && rights->items != nullptr) {
    for (std::uint32_t i = 0; i < rights->count; ++i) {
      if (rights->items[i].name != nullptr) grant->rights.emplace_back(rights->items[i].name);
    }
  }
  // Only asking for rights calls for the user: the policy answers in their place,
  // like the prompt would. Without interaction there is nobody to ask, so rights
  // are granted only where the policy already allows them.
  if ((flags & kAuthorizationFlagInteractionAllowed) != 0 || !grant->rights.empty()) {
    switch (authorizationPolicy()) {
      case Policy::Allow:
        break;
      case Policy::Deny:
        return (flags & kAuthorizationFlagInteractionAllowed) != 0 ? errAuthorizationCanceled
                                                                   : errAuthorizationDenied;
      case Policy::Unknown:
        return errAuthorizationDenied;
    }
  }
  if (authorization != nullptr) {
    auto ref = reinterpret_cast<AuthorizationRef>(grant.get());
    std::lock_guard lock(mutex_);
    references_.emplace(ref, std::move(grant));
    *authorization = ref;
  }
  return errAuthorizationSuccess;
}

OSStatus LinuxSecurity::authorizationFree(AuthorizationRef authorization, AuthorizationFlags) {
  std::lock_guard lock(mutex_);
  return references_.erase(authorization) == 0 ? errAuthorizationInvalidRef : errAuthorizationSuccess;
}

std::size_t LinuxSecurity::liveReferences() const {
  std::lock_guard lock(mutex_);
  return references_.size();
}

bool LinuxSecurity::jobBless(std::string_view domain, std::string_view label, AuthorizationRef authorization,
                             std::optional<NSError>* error) {
  {
    std::lock_guard lock(mutex_);
    if (references_.count(authorization) == 0) {
      return fail(error, kAuthorizationFailure, "The authorization reference is not valid.");
    }
  }
  if (domain != kSMDomainSystemLaunchd) {
    return fail(error, kInternalFailure, "The domain " + std::string(domain) + " is not supported.");
  }
  if (!usableLabel(label)) return fail(error, kToolNotValid, "The label \"" + std::string(label) + "\" is not valid.");
  const std::string name(label);
  const auto source = bundlePath_ / "Contents" / "Library" / "LaunchServices" / name;
  std::error_code ec;
  if (!std::filesystem::is_regular_file(source, ec)) {
    return fail(error, kToolNotValid,
                "The application bundle carries no helper named " + name + " (" + source.string() + " is missing).");
  }

  // Laid out as job blessing leaves it, whatever the umask, never through a link:
  // beside and renamed over, so a running helper keeps its old file until it ends.
  // One installer at a time on the root, and none while the job is being started:
  // the temporary files are the same for every host, and a launcher must find the
  // job of the helper it finds.
  const LaunchLock installing(root_, name);
  for (const char* folder : {"var/run", "var/log"}) {
    if (auto made = makeFoldersUnderRoot(root_.root(), folder); !made) {
      return fail(error, kInternalFailure, made.error());
    }
  }
  const std::filesystem::path helperPlace = std::filesystem::path("Library/PrivilegedHelperTools") / name;
  if (auto copied = copyFileUnderRoot(source, root_.root(), helperPlace, 0755); !copied) {
    return fail(error, kInternalFailure, copied.error());
  }
  LaunchJob job{name, {root_.resolve("/" + helperPlace.string()).string()}, {name}};
  const std::filesystem::path jobPlace = std::filesystem::path("Library/LaunchDaemons") / (name + ".plist");
  if (auto written = writeFileUnderRoot(root_.root(), jobPlace, launchJobXml(job), 0644); !written) {
    return fail(error, kInternalFailure, written.error());
  }
  return true;
}

}  // namespace platform::linux_backend
