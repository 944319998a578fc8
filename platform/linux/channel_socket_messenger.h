// The Flutter view's messenger on Linux when the interface is another process that
// speaks over a Unix socket: the bytes of each message and of its reply, as an engine
// would pass them, in frames.
//
// A request frame is, little-endian:
//   u32 length of the rest | u32 request id | u16 channel name length | name (UTF-8) | message
// and its reply frame:
//   u32 length of the rest | u32 request id | reply
// where an empty reply means "not implemented", and is what a channel without a
// handler answers. Every request gets exactly one reply, in whatever order they are
// ready. One client at a time: a second connection while one is open is closed at
// once. A malformed frame (a length that cannot hold the id and the name length, a
// name running past the frame, a length over kMaxChannelFrameLength) closes that
// client at once, whatever it is still owed, and the socket takes the next one; a
// client that closes its end ends the input. Diagnostics are one line each and never
// hold message bytes.
//
// No thread ever waits for the client to read: replies the socket does not take at
// once wait in memory, and while too many wait, or too many requests are owed, the
// messenger reads no further request (MessengerLimits).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <variant>

#include "platform/dispatch.h"
#include "platform/flutter.h"
#include "platform/linux/line_writer.h"
#include "platform/linux/messenger_core.h"
#include "platform/linux/unique_fd.h"

namespace platform::linux_backend {

inline constexpr std::size_t kMaxChannelFrameLength = std::size_t{64} * 1024 * 1024;

// One request read from the start of a buffer; |message| points into that buffer.
struct ChannelRequest {
  std::uint32_t id = 0;
  std::string channel;
  FlutterMessageView message;
  std::size_t frameSize = 0;  // the whole frame, its length field included
};
// More bytes are needed before the frame can be read or refused.
struct ChannelFrameIncomplete {};
struct ChannelFrameError {
  std::string reason;
};
using ChannelFrame = std::variant<ChannelFrameIncomplete, ChannelRequest, ChannelFrameError>;

// Reads the request frame at the start of |bytes|. A frame is refused as soon as
// the bytes that show the fault have come, without waiting for the rest of it.
ChannelFrame readRequestFrame(std::span<const std::uint8_t> bytes, std::size_t maxLength = kMaxChannelFrameLength);
// The reply frame of request |id|.
FlutterMessage replyFrame(std::uint32_t id, FlutterMessageView reply);

class ChannelSocketMessenger final : public HostMessenger {
 public:
  // Listens on a Unix socket at |path| (mode 0600), replacing a socket file that no
  // process listens on. Throws std::runtime_error, with a message for a person, when
  // it cannot: a path too long for a Unix socket, a file that is not a stale socket,
  // a folder that is not there. |mainQueue| runs the handlers; |diagnostics| must
  // outlive every message's reply.
  ChannelSocketMessenger(DispatchQueue& mainQueue, LineWriter& diagnostics, std::filesystem::path path,
                         const MessengerLimits& limits = {});
  // Stops reading and removes the socket file. Replies still owed go nowhere.
  ~ChannelSocketMessenger() override;
  ChannelSocketMessenger(const ChannelSocketMessenger&) = delete;
  ChannelSocketMessenger& operator=(const ChannelSocketMessenger&) = delete;

  void setMessageHandlerOnChannel(const std::string& channel, FlutterBinaryMessageHandler handler) override;

  // Starts accepting clients on a thread of its own. Once the client has closed its
  // end and every request read has been answered, |finished| runs once on the main
  // queue. Call at most once.
  void start(std::function<void()> finished) override;

 private:
  struct Core;
  class Connection;
  class Reader;

  std::filesystem::path path_;
  std::shared_ptr<Core> core_;
  UniqueFd listener_;  // until start() hands it to the reader
  std::unique_ptr<Reader> reader_;
};

}  // namespace platform::linux_backend
