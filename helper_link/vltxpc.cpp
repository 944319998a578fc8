#include "helper_link/vltxpc.h"

#include <chrono>
#include <mutex>

#include "helper_link/helper_paths.h"
#include "helper_link/xpc_error.h"
#include "platform/dispatch.h"
#include "platform/once.h"
#include "platform/output.h"
#include "platform/security.h"

namespace helper_link {
namespace {

using namespace std::chrono_literals;
using platform::NSComparisonResult;

constexpr const char* kHelperShortVersionKey = "HelperCFBundleShortVersionString";
constexpr const char* kHelperVersionKey = "HelperCFBundleVersion";

constexpr const char* kEmptyAuthorizationFailed =
    "Unable to get a valid empty authorization reference to load Helper daemon";
constexpr const char* kLoadingAuthorizationFailed =
    "Unable to get a valid loading authorization reference to load Helper daemon";
constexpr const char* kBlessFailed = "Error while installing the Helper: ";
constexpr const char* kHelperNotInitialized = "Helper not initialized";
constexpr const char* kHelperNotInstalled = "Helper is not installed";
constexpr const char* kHelperUnreachable = "Unable to connect to Helper although it is installed";

constexpr std::chrono::seconds kVersionCheckTimeout = 5s;

std::string infoString(const char* key) {
  auto info = platform::NSBundle::mainBundle().infoDictionary();
  if (!info) return {};
  auto it = info->find(key);
  if (it == info->end()) return {};
  if (auto s = std::get_if<std::string>(&it->second)) return *s;
  return {};
}

// Frees an authorization reference on every way out of the scope that made it.
class AuthorizationHolder {
 public:
  AuthorizationHolder() = default;
  ~AuthorizationHolder() {
    if (ref_ != nullptr) platform::AuthorizationFree(ref_, platform::kAuthorizationFlagDefaults);
  }
  AuthorizationHolder(const AuthorizationHolder&) = delete;
  AuthorizationHolder& operator=(const AuthorizationHolder&) = delete;
  platform::AuthorizationRef* out() { return &ref_; }
  platform::AuthorizationRef get() const { return ref_; }

 private:
  platform::AuthorizationRef ref_ = nullptr;
};

// The error a proxy's error handler last recorded. Written on the connection's
// queue, read by the caller of connectHelper.
class ErrorCell {
 public:
  void store(const platform::NSError& error) {
    std::lock_guard lock(mutex_);
    error_ = error;
  }
  std::string description() const {
    std::lock_guard lock(mutex_);
    return error_ ? error_->localizedDescription : kUnknownErrorText;
  }

 private:
  mutable std::mutex mutex_;
  std::optional<platform::NSError> error_;
};

std::string joined(const std::vector<std::string>& parts) {
  std::string out;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i != 0) out += '.';
    out += parts[i];
  }
  return out;
}

}  // namespace

VLTXPC::VLTXPC() : ver(infoString(kHelperShortVersionKey)), bld(infoString(kHelperVersionKey)) {}

void VLTXPC::installHelper() const {
  using namespace platform;
  AuthorizationHolder empty;
  if (AuthorizationCreate(nullptr, nullptr, kAuthorizationFlagPreAuthorize, empty.out()) != errAuthorizationSuccess) {
    throw XPCError::helperInstallation(kEmptyAuthorizationFailed);
  }

  AuthorizationItem item{kSMRightBlessPrivilegedHelper.data(), 0, nullptr, 0};
  AuthorizationRights rights{1, &item};
  // This is where the user is asked for an administrator's credentials. The empty
  // reference stays held until the end, so neither reference can leak.
  AuthorizationHolder loading;
  const AuthorizationFlags flags =
      kAuthorizationFlagInteractionAllowed | kAuthorizationFlagExtendRights | kAuthorizationFlagPreAuthorize;
  if (AuthorizationCreate(&rights, nullptr, flags, loading.out()) != errAuthorizationSuccess) {
    throw XPCError::helperInstallation(kLoadingAuthorizationFailed);
  }

  std::optional<NSError> error;
  if (!SMJobBless(kSMDomainSystemLaunchd, helperLabel(), loading.get(), &error)) {
    throw XPCError::helperInstallation(kBlessFailed +
                                       (error ? error->localizedDescription : std::string(kUnknownErrorText)));
  }
}

platform::NSComparisonResult VLTXPC::compareVersions(const std::string& a, const std::string& b) {
  auto left = platform::components(a, ".");
  auto right = platform::components(b, ".");
  if (left.size() == right.size()) return platform::compare(a, b, platform::NSNumericSearch);
  while (left.size() < right.size()) left.emplace_back("0");
  while (right.size() < left.size()) right.emplace_back("0");
  return platform::compare(joined(left), joined(right), platform::NSNumericSearch);
}

void VLTXPC::checkHelperUpdate(std::shared_ptr<VLTHelperProtocol> proxy, UpdateResultHandler handler) const {
  if (!proxy) {
    platform::print(kHelperNotInitialized);
    handler(std::nullopt);
    return;
  }
  // What a reply or the time-out settles: the build to compare, or none (null) for
  // the time-out; it is read before settle returns. A reply runs on the connection's
  // queue, which an installation (and its authorization prompt) may hold for a while;
  // only the outcome moves to main.
  auto settle = [handler, link = *this](const std::string* build) {
    if (build == nullptr) {
      handler(std::nullopt);
      return;
    }
    std::optional<bool> outcome = false;
    if (compareVersions(*build, link.bld) == NSComparisonResult::NSOrderedAscending) {
      try {
        link.installHelper();
        outcome = true;
      } catch (const XPCError& error) {
        platform::print({}, error.localizedDescription());
        outcome = std::nullopt;
      }
    }
    platform::mainQueue().async([handler, outcome] { handler(outcome); });
  };
  auto halves = platform::splitOnce<const std::string*>(settle);
  proxy->getVersion([replied = halves.first, settle](const std::string&, const std::string& build) {
    // A reply after the time-out is acted on all the same, and its outcome reaches
    // the handler a second time, on purpose: an older helper is still replaced.
    if (!replied(&build)) settle(&build);
  });
  platform::mainQueue().asyncAfter(kVersionCheckTimeout, [timedOut = halves.second] { timedOut(nullptr); });
}

std::shared_ptr<VLTHelperProtocol> VLTXPC::connectHelper(const std::shared_ptr<HelperLinkEvents>& events) const {
  using platform::NSXPCConnection;
  if (!platform::NSFileManager::defaultManager().fileExistsAtPath(helperPath())) installHelper();
  auto connection = NSXPCConnection::initWithMachServiceName(helperLabel(), NSXPCConnection::NSXPCConnectionPrivileged);
  connection->setRemoteObjectInterface(platform::NSXPCInterface::interfaceWithProtocol(VLTHelperProtocolDescription()));

  // The proxy this connection is behind, for the invalidation report. Written below
  // and read in a block on the main queue, which cannot run before this returns.
  // Nothing here keeps the plug-in, the proxy or the connection alive: the plug-in
  // holds the connection through its proxy, so a strong reference back would be a cycle.
  auto madeProxy = std::make_shared<std::weak_ptr<VLTHelperProtocol>>();
  std::weak_ptr<HelperLinkEvents> weakEvents = events;
  connection->setInvalidationHandler([weakEvents, madeProxy] {
    const bool installed = platform::NSFileManager::defaultManager().fileExistsAtPath(helperPath());
    platform::print(installed ? kHelperUnreachable : kHelperNotInstalled);
    platform::mainQueue().async([weakEvents, madeProxy] {
      auto e = weakEvents.lock();
      auto proxy = madeProxy->lock();
      if (e && proxy) e->helperInvalidated(proxy);
    });
  });
  connection->setInterruptionHandler([weakEvents] {
    platform::mainQueue().async([weakEvents] {
      if (auto e = weakEvents.lock()) e->helperInterrupted();
    });
  });
  connection->resume();

  auto errors = std::make_shared<ErrorCell>();
  auto remote =
      connection->remoteObjectProxyWithErrorHandler([errors](const platform::NSError& error) { errors->store(error); });
  if (!remote || !remote->conformsToProtocol(VLTHelperProtocolDescription().name)) {
    throw XPCError::helperConnection(errors->description());
  }
  std::shared_ptr<VLTHelperProtocol> proxy = std::make_shared<HelperProxy>(std::move(remote));
  *madeProxy = proxy;
  return proxy;
}

}  // namespace helper_link
