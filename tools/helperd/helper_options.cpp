#include "tools/helperd/helper_options.h"

#include <algorithm>
#include <charconv>
#include <limits>

namespace helperd {
namespace {

std::optional<unsigned long> number(const std::string& text) {
  unsigned long value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

bool knownOperation(const std::string& op) {
  const auto& names = operationNames();
  return std::find(names.begin(), names.end(), op) != names.end();
}

}  // namespace

const std::vector<std::string>& operationNames() {
  static const std::vector<std::string> names = {"exitHelper", "getVersion", "access",   "getTunnelVersion",
                                                 "iosOn",      "iosOff",     "setHive",  "setToken",
                                                 "setForce",   "setRule"};
  return names;
}

std::string operationName(const std::string& selector) {
  std::string op = selector.substr(0, selector.find(':'));
  if (op == "getVersionWithCompletion") return "getVersion";
  return op;
}

const char* usage() {
  return "usage: veltrino-helperd [options]\n"
         "  --system-root DIR        the system root (else VELTRINO_SYSTEM_ROOT)\n"
         "  --version V              the version that getVersion reports\n"
         "  --build B                the build that getVersion reports\n"
         "  --reply-delay-ms N       answer every operation N milliseconds late\n"
         "  --late-reply OP          only OP is answered late (repeatable)\n"
         "  --silent OP              never answer OP (repeatable)\n"
         "  --access-fail CODE:NAME  access answers false with CODE and NAME\n"
         "  --tunnel-version S       the tunnel version that getTunnelVersion reports\n"
         "  --no-tunnel-version      getTunnelVersion reports none\n"
         "  --crash-after N          end abruptly, unanswered, when the Nth operation arrives\n"
         "  --malformed-reply OP     answer OP with a frame that is not whole MessagePack\n"
         "  --oversize-reply OP      answer OP with a length over the frame limit\n"
         "  --unknown-id-reply OP    answer OP under a call id that was never sent\n"
         "  --wrong-types-reply OP   answer OP with values of the wrong types\n"
         "  --half-frame-reply OP    write half of OP's answer, then close the connection\n"
         "operations: exitHelper getVersion access getTunnelVersion iosOn iosOff setHive setToken setForce setRule\n";
}

std::variant<HelperOptions, std::string> parseOptions(const std::vector<std::string>& arguments,
                                                      HelperOptions defaults) {
  HelperOptions options = std::move(defaults);
  const std::map<std::string, ReplyFault> faultFlags = {
      {"--malformed-reply", ReplyFault::Malformed},   {"--oversize-reply", ReplyFault::Oversize},
      {"--unknown-id-reply", ReplyFault::UnknownId},  {"--wrong-types-reply", ReplyFault::WrongTypes},
      {"--half-frame-reply", ReplyFault::HalfFrame},
  };
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& flag = arguments[i];
    if (flag == "--help" || flag == "-h") {
      options.help = true;
      continue;
    }
    if (flag == "--no-tunnel-version") {
      options.tunnelVersion.reset();
      continue;
    }
    static const std::set<std::string> valued = {"--system-root", "--version",        "--build",
                                                 "--reply-delay-ms", "--silent",      "--access-fail", "--late-reply",
                                                 "--tunnel-version", "--crash-after"};
    if (valued.count(flag) == 0 && faultFlags.count(flag) == 0) return "unknown option " + flag;
    if (i + 1 >= arguments.size()) return "option " + flag + " needs a value";
    const std::string& value = arguments[++i];

    if (flag == "--system-root") {
      if (value.empty()) return "--system-root needs a folder";
      options.systemRoot = value;
    } else if (flag == "--version") {
      options.version = value;
    } else if (flag == "--build") {
      options.build = value;
    } else if (flag == "--reply-delay-ms") {
      auto n = number(value);
      if (!n || *n > static_cast<unsigned long>(std::numeric_limits<int>::max())) {
        return "--reply-delay-ms needs a number of milliseconds, not \"" + value + "\"";
      }
      options.replyDelay = std::chrono::milliseconds(*n);
    } else if (flag == "--late-reply") {
      if (!knownOperation(value)) return "--late-reply: unknown operation \"" + value + "\"";
      options.late.insert(value);
    } else if (flag == "--silent") {
      if (!knownOperation(value)) return "--silent: unknown operation \"" + value + "\"";
      options.silent.insert(value);
    } else if (flag == "--access-fail") {
      const auto colon = value.find(':');
      if (colon == std::string::npos) return "--access-fail needs CODE:NAME, not \"" + value + "\"";
      options.accessFailure = std::make_pair(value.substr(0, colon), value.substr(colon + 1));
    } else if (flag == "--tunnel-version") {
      options.tunnelVersion = value;
    } else if (flag == "--crash-after") {
      auto n = number(value);
      if (!n || *n == 0) return "--crash-after needs a count from 1, not \"" + value + "\"";
      options.crashAfter = *n;
    } else {
      if (!knownOperation(value)) return flag + ": unknown operation \"" + value + "\"";
      options.faults[value] = faultFlags.at(flag);
    }
  }
  return options;
}

}  // namespace helperd
