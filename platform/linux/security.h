// Authorization and job blessing on Linux. The administrator prompt is stood in for
// by the policy in VELTRINO_AUTHORIZATION ("allow", the default, or "deny", which
// answers like a cancelled prompt). Blessing installs the helper that the app bundle
// carries under the system root and writes its job, without stopping a helper that
// is running.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>

#include "platform/linux/system_root.h"
#include "platform/security.h"

namespace platform::linux_backend {

class LinuxSecurity final : public SecurityServices {
 public:
  // |bundlePath| is the application's .app folder; its helper copy is at
  // Contents/Library/LaunchServices/<label>. Safe to call from any thread.
  LinuxSecurity(SystemRoot root, std::filesystem::path bundlePath);
  ~LinuxSecurity() override;

  OSStatus authorizationCreate(const AuthorizationRights* rights, const AuthorizationEnvironment* environment,
                               AuthorizationFlags flags, AuthorizationRef* authorization) override;
  OSStatus authorizationFree(AuthorizationRef authorization, AuthorizationFlags flags) override;
  bool jobBless(std::string_view domain, std::string_view label, AuthorizationRef authorization,
                std::optional<NSError>* error) override;

  // References handed out and not yet freed.
  std::size_t liveReferences() const;

  struct Grant;

 private:
  SystemRoot root_;
  std::filesystem::path bundlePath_;
  mutable std::mutex mutex_;
  std::map<AuthorizationRef, std::unique_ptr<Grant>> references_;
};

}  // namespace platform::linux_backend
