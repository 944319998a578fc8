#include <gtest/gtest.h>

#include "helper_link/helper_protocol.h"
#include "helper_link/xpc_error.h"

namespace {

using helper_link::XPCError;

TEST(XPCErrorTest, DescriptionsReadExactly) {
  struct Case {
    XPCError error;
    const char* text;
  };
  const Case cases[] = {
      {XPCError::helperInstallation("Unable to get a valid empty authorization reference to load Helper daemon"),
       "Helper installation error. Unable to get a valid empty authorization reference to load Helper daemon"},
      {XPCError::helperInstallation(""), "Helper installation error. "},
      {XPCError::helperConnection(""), "Helper connection error. "},
      {XPCError::helperConnection("Unknown error"), "Helper connection error. Unknown error"},
      {XPCError::helperInstallation("Error while installing the Helper: The operation couldn't be completed."),
       "Helper installation error. Error while installing the Helper: The operation couldn't be completed."},
      {XPCError::unknown(), "Unknown error"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.error.localizedDescription(), c.text);
    EXPECT_EQ(c.error.errorDescription(), c.text);
    EXPECT_STREQ(c.error.what(), c.text);
  }
  // Passed by value: a copy reads the same.
  XPCError copy = cases[0].error;
  EXPECT_EQ(copy.localizedDescription(), cases[0].text);
  EXPECT_EQ(copy.kind(), XPCError::Kind::helperInstallation);
}

TEST(HelperProtocolTest, DeclaresTenOperationsWithTheirShapes) {
  const auto& d = helper_link::VLTHelperProtocolDescription();
  EXPECT_EQ(d.name, "VLTHelperProtocol");
  std::vector<std::string> selectors;
  for (const auto& m : d.methods) selectors.push_back(m.selector);
  EXPECT_EQ(selectors, (std::vector<std::string>{
                           "exitHelper", "getVersionWithCompletion:", "access:completion:",
                           "getTunnelVersion:completion:", "iosOn::completion:", "iosOff:completion:",
                           "setHive:ip:port:hive:ipv6Enable:completion:",
                           "setToken:app:uid:token:device:version:completion:", "setForce:state:completion:",
                           "setRule:rules:completion:"}));
  // Each selector's argument count is its number of colons, less the completion.
  for (const auto& m : d.methods) {
    const auto colons = static_cast<std::size_t>(std::count(m.selector.begin(), m.selector.end(), ':'));
    EXPECT_EQ(m.argumentCount, m.reply ? colons - 1 : colons) << m.selector;
  }
  EXPECT_FALSE(d.methods[0].reply.has_value()) << "exitHelper awaits nothing";
  using T = platform::XPCValueType;
  EXPECT_EQ(*d.methods[1].reply, (std::vector<T>{T::String, T::String}));
  EXPECT_EQ(*d.methods[2].reply, (std::vector<T>{T::Bool, T::String, T::String}));
  EXPECT_EQ(*d.methods[3].reply, (std::vector<T>{T::String}));
}

}  // namespace
