// The reference helper's command line. Every flag is also what a job's
// ProgramArguments may carry, so tests script the helper through its job.
#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace helperd {

// Ways to answer an operation that break the wire on purpose.
enum class ReplyFault {
  Malformed,   // a frame whose body ends inside its map
  Oversize,    // a length header over the frame limit
  UnknownId,   // a reply to a call that was never made
  WrongTypes,  // well-formed, but values of the wrong types
  HalfFrame,   // half a frame, then the connection closes
};

struct HelperOptions {
  std::string version;
  std::string build;
  std::chrono::milliseconds replyDelay{0};
  std::set<std::string> late;  // when any, the only operations answered late
  std::set<std::string> silent;  // operations never answered
  std::optional<std::pair<std::string, std::string>> accessFailure;  // code, name
  std::optional<std::string> tunnelVersion = std::string("1.0.0");
  std::optional<unsigned long> crashAfter;  // ends abruptly when this operation arrives, counted from 1
  std::optional<std::filesystem::path> systemRoot;
  std::map<std::string, ReplyFault> faults;
  bool help = false;
};

// The ten operations by their first keyword.
const std::vector<std::string>& operationNames();
// An operation's name from its selector: "setHive:ip:...:completion:" gives "setHive",
// "getVersionWithCompletion:" gives "getVersion".
std::string operationName(const std::string& selector);

// |defaults| carries the version and build to report when no flag says otherwise.
// Returns the options, or a description of the first bad argument.
std::variant<HelperOptions, std::string> parseOptions(const std::vector<std::string>& arguments,
                                                      HelperOptions defaults);

const char* usage();

}  // namespace helperd
