// The channel socket's frames: requests read from what has come so far, refused as
// soon as their fault shows, and reply frames.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/linux/channel_socket_messenger.h"

namespace platform::linux_backend {
namespace {

using Bytes = std::vector<std::uint8_t>;
using ::testing::HasSubstr;

// The call `print` without arguments on com.veltrino.app/vpn, request id 1.
const Bytes kPrintRequest = {0x22, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x14, 0x00, 'c',  'o',
                             'm',  '.',  'v',  'e',  'l',  't',  'r',  'i',  'n',  'o',  '.',  'a',
                             'p',  'p',  '/',  'v',  'p',  'n',  0x07, 0x05, 'p',  'r',  'i',  'n',
                             't',  0x00};

Bytes frame(std::uint32_t length, std::uint32_t id, std::uint16_t nameLength, const std::string& rest) {
  Bytes out;
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(length >> shift));
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(id >> shift));
  out.push_back(static_cast<std::uint8_t>(nameLength));
  out.push_back(static_cast<std::uint8_t>(nameLength >> 8));
  out.insert(out.end(), rest.begin(), rest.end());
  return out;
}

TEST(ChannelFrame, ReadsARequestAndLeavesWhatFollows) {
  Bytes bytes = kPrintRequest;
  bytes.push_back(0x2a);  // the start of the next frame
  const auto read = readRequestFrame(bytes);
  const auto* request = std::get_if<ChannelRequest>(&read);
  ASSERT_NE(request, nullptr);
  EXPECT_EQ(request->id, 1u);
  EXPECT_EQ(request->channel, "com.veltrino.app/vpn");
  EXPECT_EQ(Bytes(request->message.begin(), request->message.end()), Bytes({0x07, 0x05, 'p', 'r', 'i', 'n', 't', 0}));
  EXPECT_EQ(request->frameSize, kPrintRequest.size());

  // Id 0xfffffffe, an empty name and an empty message are a request all the same.
  const auto bare = readRequestFrame(frame(6, 0xfffffffe, 0, ""));
  ASSERT_TRUE(std::holds_alternative<ChannelRequest>(bare));
  EXPECT_EQ(std::get<ChannelRequest>(bare).id, 0xfffffffeu);
  EXPECT_TRUE(std::get<ChannelRequest>(bare).message.empty());
}

TEST(ChannelFrame, WaitsForEveryByteOfAFrameThatCanStillBeRight) {
  for (std::size_t size = 0; size < kPrintRequest.size(); ++size) {
    EXPECT_TRUE(std::holds_alternative<ChannelFrameIncomplete>(
        readRequestFrame(std::span<const std::uint8_t>(kPrintRequest).first(size))))
        << size << " bytes";
  }
}

TEST(ChannelFrame, RefusesAFaultAsSoonAsItShows) {
  using Row = std::pair<Bytes, const char*>;
  for (const auto& [bytes, reason] : {Row{{5, 0, 0, 0}, "length 5 cannot hold"},
                                      Row{{1, 0, 0, 4}, "length 67108865 is over the limit"},
                                      Row{frame(9, 7, 4, ""), "a channel name of 4 bytes runs past"}}) {
    const auto read = readRequestFrame(bytes);
    ASSERT_TRUE(std::holds_alternative<ChannelFrameError>(read)) << reason;
    EXPECT_THAT(std::get<ChannelFrameError>(read).reason, HasSubstr(reason));
  }
  // The limit itself is allowed.
  EXPECT_TRUE(std::holds_alternative<ChannelFrameIncomplete>(readRequestFrame(frame(kMaxChannelFrameLength, 1, 0, ""))));
}

TEST(ChannelFrame, RepliesCarryTheIdAndTheBytes) {
  EXPECT_EQ(replyFrame(1, Bytes{0x00, 0x00}), Bytes({0x06, 0, 0, 0, 0x01, 0, 0, 0, 0x00, 0x00}));
  EXPECT_EQ(replyFrame(0x01020304, {}), Bytes({0x04, 0, 0, 0, 0x04, 0x03, 0x02, 0x01}));
}

}  // namespace
}  // namespace platform::linux_backend
