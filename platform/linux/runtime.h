// The runtime backend in one piece: the background loop that carries the helper
// link, the main queue (a run loop of its own, MainRunLoop), and the services rooted
// in one system root. NSApplicationMain runs on it; a benchmark can run the same wiring
// in-process.
#pragma once

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <filesystem>
#include <memory>
#include <thread>

#include "platform/backend.h"
#include "platform/linux/bundle.h"
#include "platform/linux/file_manager.h"
#include "platform/linux/line_writer.h"
#include "platform/linux/main_queue.h"
#include "platform/linux/security.h"
#include "platform/linux/service_namespace.h"
#include "platform/linux/system_root.h"

namespace platform::linux_backend {

class LinuxRuntime {
 public:
  // Starts the background thread. |systemRoot| must exist; |bundle| need not.
  LinuxRuntime(const std::filesystem::path& systemRoot, const std::filesystem::path& bundle);
  // Takes everything down at once: the link's background thread first (what was sent
  // is written, replies still awaited are dropped), the backend that was installed
  // before (the messenger and its reader), then the main queue's leftovers.
  ~LinuxRuntime();
  LinuxRuntime(const LinuxRuntime&) = delete;
  LinuxRuntime& operator=(const LinuxRuntime&) = delete;

  // Installs the runtime as the backend, with |messenger| standing for the Flutter
  // engine's messenger. At most once.
  void install(std::shared_ptr<FlutterBinaryMessenger> messenger);

  // Run by the thread that is to be the main thread.
  MainRunLoop& mainQueue() { return *queue_; }
  ServiceNamespace& services() { return *services_; }

 private:
  SystemRoot root_;
  std::unique_ptr<asio::io_context> background_;
  std::unique_ptr<asio::executor_work_guard<asio::io_context::executor_type>> backgroundGuard_;
  std::thread backgroundThread_;
  std::unique_ptr<MainRunLoop> queue_;
  LinuxStandardOutput output_;
  PlistBundle bundle_;
  RootedFileManager files_;
  std::unique_ptr<LinuxSecurity> security_;
  std::unique_ptr<ServiceNamespace> services_;
  Backend previous_;
  bool installed_ = false;
};

}  // namespace platform::linux_backend
