// Authorization and job blessing on Linux: the policy that stands in for the prompt,
// references that must be freed, and a blessed helper that the namespace can run.
#include <gmock/gmock.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "platform/linux/launch_job.h"
#include "platform/linux/security.h"
#include "tests/integration/link_fixture.h"

namespace link_test {
namespace {

using platform::AuthorizationRef;
using platform::NSError;
using platform::OSStatus;
using platform::linux_backend::LinuxSecurity;

// Sets (or clears) an environment variable for one test and puts it back afterwards.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) previous_ = old;
    if (value) {
      ::setenv(name, value->c_str(), 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedVariable() {
    if (previous_) {
      ::setenv(name_, previous_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> previous_;
};

std::string contents(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The rights the installation asks for, with interaction, as the host does.
OSStatus askForBlessing(LinuxSecurity& security, AuthorizationRef* ref) {
  platform::AuthorizationItem item{platform::kSMRightBlessPrivilegedHelper.data(), 0, nullptr, 0};
  platform::AuthorizationRights rights{1, &item};
  return security.authorizationCreate(&rights, nullptr, 0x13, ref);
}

struct PolicyCase {
  const char* name;
  std::optional<std::string> policy;
  OSStatus prompted;
};

class AuthorizationPolicyTest : public ::testing::TestWithParam<PolicyCase> {};

TEST_P(AuthorizationPolicyTest, ThePolicyAnswersThePromptButNeverAnEmptyPreAuthorization) {
  ScopedVariable policy("VELTRINO_AUTHORIZATION", GetParam().policy);
  TempRoot root;
  LinuxSecurity security(platform::linux_backend::SystemRoot(root.path()), root.path() / "Veltrino.app");

  AuthorizationRef empty = nullptr;
  EXPECT_EQ(security.authorizationCreate(nullptr, nullptr, platform::kAuthorizationFlagPreAuthorize, &empty),
            platform::errAuthorizationSuccess);
  EXPECT_NE(empty, nullptr);

  AuthorizationRef prompted = reinterpret_cast<AuthorizationRef>(&security);
  EXPECT_EQ(askForBlessing(security, &prompted), GetParam().prompted);
  const bool granted = GetParam().prompted == platform::errAuthorizationSuccess;
  EXPECT_EQ(prompted != nullptr, granted);
  EXPECT_EQ(security.liveReferences(), granted ? 2u : 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Security, AuthorizationPolicyTest,
    ::testing::Values(PolicyCase{"Unset", std::nullopt, platform::errAuthorizationSuccess},
                      PolicyCase{"Allow", "allow", platform::errAuthorizationSuccess},
                      PolicyCase{"Deny", "deny", platform::errAuthorizationCanceled},
                      PolicyCase{"Unknown", "perhaps", platform::errAuthorizationDenied}),
    [](const auto& info) { return std::string(info.param.name); });

class BlessTest : public LinkTest {
 protected:
  BlessTest()
      : bundle(root.path() / "Veltrino.app"),
        bundledHelper(bundle / "Contents/Library/LaunchServices" / kLabel),
        installed(sysroot.resolve("/Library/PrivilegedHelperTools") / kLabel),
        security(sysroot, bundle) {}

  void bundleTheReferenceHelper() {
    std::filesystem::create_directories(bundledHelper.parent_path());
    std::filesystem::copy_file(VELTRINO_HELPERD_PATH, bundledHelper);
  }

  AuthorizationRef authorize() {
    AuthorizationRef ref = nullptr;
    EXPECT_EQ(askForBlessing(security, &ref), platform::errAuthorizationSuccess);
    return ref;
  }

  ScopedVariable policy{"VELTRINO_AUTHORIZATION", std::nullopt};
  std::filesystem::path bundle, bundledHelper, installed;
  LinuxSecurity security;
};

TEST_F(BlessTest, ReferencesAreFreedOnceAndAFreedOneBlessesNothing) {
  bundleTheReferenceHelper();
  AuthorizationRef first = authorize();
  AuthorizationRef second = authorize();
  EXPECT_EQ(security.liveReferences(), 2u);
  EXPECT_EQ(security.authorizationFree(first, 0), platform::errAuthorizationSuccess);
  EXPECT_EQ(security.authorizationFree(first, 0), platform::errAuthorizationInvalidRef);
  EXPECT_EQ(security.authorizationFree(nullptr, 0), platform::errAuthorizationInvalidRef);
  EXPECT_EQ(security.liveReferences(), 1u);

  std::optional<NSError> error;
  EXPECT_FALSE(security.jobBless(platform::kSMDomainSystemLaunchd, kLabel, first, &error));
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->localizedDescription, "The authorization reference is not valid.");
  EXPECT_FALSE(std::filesystem::exists(installed));

  EXPECT_EQ(security.authorizationFree(second, 0), platform::errAuthorizationSuccess);
  EXPECT_EQ(security.liveReferences(), 0u);
}

TEST_F(BlessTest, InstallsTheBundledHelperAndAJobThatTheNamespaceLaunches) {
  bundleTheReferenceHelper();
  AuthorizationRef ref = authorize();
  std::optional<NSError> error;
  ASSERT_TRUE(security.jobBless(platform::kSMDomainSystemLaunchd, kLabel, ref, &error))
      << (error ? error->localizedDescription : "");

  struct stat info {};
  ASSERT_EQ(::stat(installed.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0755u);
  EXPECT_TRUE(contents(installed) == contents(bundledHelper));
  auto job = platform::linux_backend::readLaunchJob(sysroot.jobPlist(kLabel));
  ASSERT_TRUE(job.has_value());
  EXPECT_EQ(*job, (platform::linux_backend::LaunchJob{kLabel, {std::filesystem::canonical(installed).string()},
                                                        {kLabel}}));
  // Nothing is left beside the files that were replaced.
  for (const auto& folder : {installed.parent_path(), sysroot.launchDaemons()}) {
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), std::filesystem::directory_iterator()), 1)
        << folder;
  }

  auto transport = connect();
  resume(*transport, events, "c");
  call(*transport, events, "version", "getVersionWithCompletion:");
  ASSERT_TRUE(events.waitForCount(1));
  EXPECT_EQ(events.entries()[0], "version reply " VELTRINO_HELPER_DEFAULT_VERSION "," VELTRINO_HELPER_DEFAULT_BUILD);
  const pid_t running = opPids().at(0);

  // Blessing again replaces the file under the running helper, which goes on.
  const ino_t before = info.st_ino;
  ASSERT_TRUE(security.jobBless(platform::kSMDomainSystemLaunchd, kLabel, ref, &error));
  ASSERT_EQ(::stat(installed.c_str(), &info), 0);
  EXPECT_NE(info.st_ino, before);
  EXPECT_TRUE(processRunning(running));
  call(*transport, events, "access", "access:completion:", {std::string("/lib/x.dylib")});
  ASSERT_TRUE(events.waitForCount(2));
  EXPECT_EQ(events.entries()[1], "access reply true,,");
  EXPECT_EQ(opPids().back(), running);
  EXPECT_EQ(security.authorizationFree(ref, 0), platform::errAuthorizationSuccess);
}

TEST_F(BlessTest, AMissingBundledHelperFailsWithADescription) {
  AuthorizationRef ref = authorize();
  std::optional<NSError> error;
  EXPECT_FALSE(security.jobBless(platform::kSMDomainSystemLaunchd, kLabel, ref, &error));
  ASSERT_TRUE(error.has_value());
  EXPECT_THAT(error->localizedDescription, ::testing::HasSubstr("carries no helper named " + kLabel));
  EXPECT_THAT(error->localizedDescription, ::testing::HasSubstr(bundledHelper.string()));
  EXPECT_FALSE(std::filesystem::exists(installed));
  EXPECT_FALSE(std::filesystem::exists(sysroot.jobPlist(kLabel)));
}

TEST_F(BlessTest, AHelperFolderThatCannotBeMadeFailsWithTheReason) {
  bundleTheReferenceHelper();
  std::filesystem::create_directories(installed.parent_path().parent_path());
  std::ofstream(installed.parent_path()) << "in the way";
  AuthorizationRef ref = authorize();
  std::optional<NSError> error;
  EXPECT_FALSE(security.jobBless(platform::kSMDomainSystemLaunchd, kLabel, ref, &error));
  ASSERT_TRUE(error.has_value());
  EXPECT_THAT(error->localizedDescription, ::testing::HasSubstr("PrivilegedHelperTools"));
  EXPECT_FALSE(std::filesystem::exists(sysroot.jobPlist(kLabel)));
}

TEST_F(BlessTest, OnlyTheSystemDomainAndPlainLabelsAreBlessed) {
  bundleTheReferenceHelper();
  AuthorizationRef ref = authorize();
  std::optional<NSError> error;
  EXPECT_FALSE(security.jobBless("kSMDomainUserLaunchd", kLabel, ref, &error));
  EXPECT_TRUE(error.has_value());
  error.reset();
  EXPECT_FALSE(security.jobBless(platform::kSMDomainSystemLaunchd, "../../etc", ref, &error));
  EXPECT_TRUE(error.has_value());
  EXPECT_FALSE(std::filesystem::exists(installed));
}

}  // namespace
}  // namespace link_test
