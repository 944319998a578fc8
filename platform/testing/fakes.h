// Scriptable stand-ins for standard output, the main bundle, the file manager and
// the Flutter messenger.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/flutter.h"
#include "platform/foundation.h"
#include "platform/output.h"
#include "platform/testing/virtual_loop.h"

namespace platform::testing {

class CapturedOutput final : public StandardOutput {
 public:
  void writeLine(std::string_view line) override { lines_.emplace_back(line); }
  void writeDiagnostic(std::string_view text, std::string_view detail) override {
    details_.emplace_back(detail);
    StandardOutput::writeDiagnostic(text, detail);
  }
  const std::vector<std::string>& lines() const { return lines_; }
  // Of each line written in two parts, the part that is not the host's own.
  const std::vector<std::string>& details() const { return details_; }
  void clear() {
    lines_.clear();
    details_.clear();
  }

 private:
  std::vector<std::string> lines_;
  std::vector<std::string> details_;
};

class TestBundle final : public NSBundle {
 public:
  std::optional<PlistDictionary> info;
  std::optional<std::string> frameworksPath;
  mutable int infoDictionaryReads = 0;

  std::optional<PlistDictionary> infoDictionary() const override {
    ++infoDictionaryReads;
    return info;
  }
  std::optional<std::string> privateFrameworksPath() const override { return frameworksPath; }
};

class TestFileManager final : public NSFileManager {
 public:
  std::set<std::string> files;
  bool fileExistsAtPath(const std::string& path) const override { return files.count(path) != 0; }
};

// The Flutter side of the channel, as an engine drives it: a test sends method calls
// (or any bytes) and reads every answer with the queue and the virtual time it arrived
// at. Calls go out encoded by the standard method codec, and replies are decoded.
class TestMessenger final : public FlutterBinaryMessenger {
 public:
  struct Answer {
    FlutterResultValue value;  // decoded from |reply| (decodeResult)
    bool onMainQueue;
    std::chrono::milliseconds at;
    FlutterMessage reply;
  };

  TestMessenger(VirtualLoop& loop, DispatchQueue& mainQueue) : loop_(loop), main_(mainQueue) {}

  void setMessageHandlerOnChannel(const std::string& channel, FlutterBinaryMessageHandler handler) override;
  bool hasHandler(const std::string& channel) const { return handlers_.count(channel) != 0; }

  // Delivers one call on |channel| as the embedding does, on the main queue's thread,
  // and returns its index.
  std::size_t send(const std::string& channel, const std::string& method, EncodableValue arguments = {});
  // The same for a message of any bytes.
  std::size_t sendMessage(const std::string& channel, FlutterMessage message);

  const std::vector<Answer>& answers(std::size_t call) const { return answers_.at(call); }
  std::size_t callCount() const { return answers_.size(); }

 private:
  VirtualLoop& loop_;
  DispatchQueue& main_;
  std::map<std::string, FlutterBinaryMessageHandler> handlers_;
  std::vector<std::vector<Answer>> answers_;
};

}  // namespace platform::testing
