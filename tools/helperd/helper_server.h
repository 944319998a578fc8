// The reference helper's server: answers the helper operations over the wire, many
// connections at once on one thread, as its options script it, and appends every
// operation it receives to the ops log.
#pragma once

#include <asio/io_context.hpp>

#include <filesystem>
#include <memory>

#include "platform/linux/unique_fd.h"
#include "tools/helperd/helper_options.h"

namespace helperd {

class HelperServer {
 public:
  // Serves connections accepted on |listener| (a listening Unix-domain socket) until
  // exitHelper arrives, then stops |io|.
  HelperServer(asio::io_context& io, platform::linux_backend::UniqueFd listener, HelperOptions options,
               const std::filesystem::path& opsLog);
  ~HelperServer();
  HelperServer(const HelperServer&) = delete;
  HelperServer& operator=(const HelperServer&) = delete;

  // False with |error| when the ops log cannot be opened.
  bool start(std::string& error);

  struct Impl;

 private:
  std::shared_ptr<Impl> impl_;
};

}  // namespace helperd
