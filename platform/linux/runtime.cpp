#include "platform/linux/runtime.h"

namespace platform::linux_backend {

LinuxRuntime::LinuxRuntime(const std::filesystem::path& systemRoot, const std::filesystem::path& bundle)
    : root_(systemRoot),
      background_(std::make_unique<asio::io_context>()),
      backgroundGuard_(std::make_unique<asio::executor_work_guard<asio::io_context::executor_type>>(
          background_->get_executor())),
      backgroundThread_([&context = *background_] { context.run(); }),
      queue_(std::make_unique<MainRunLoop>()),
      bundle_(bundle),
      files_(root_),
      security_(std::make_unique<LinuxSecurity>(root_, bundle)),
      services_(std::make_unique<ServiceNamespace>(*background_, root_)) {}

LinuxRuntime::~LinuxRuntime() {
  // The link's thread stops first, so that nothing arrives from a connection's queue
  // once the application has quit, and the process waits for no helper: what was sent
  // is in the sockets already, and answers still owed are dropped with the rest.
  background_->stop();
  backgroundThread_.join();
  backgroundGuard_.reset();
  services_->abandonConnections();
  // Drops the messenger too, when the caller no longer holds it, and with it the
  // thread that reads for it.
  if (installed_) installBackend(previous_);
  // The namespace's sockets and the runs it watches are registered with the background
  // context, so they go while it is still there.
  services_.reset();
  background_.reset();
  // Last, for what went above may still post to it: a call's answer that goes
  // unanswered settles the call on the main queue.
  queue_.reset();
  security_.reset();
}

void LinuxRuntime::install(std::shared_ptr<FlutterBinaryMessenger> messenger) {
  if (installed_) return;
  Backend backend;
  backend.mainQueue = queue_.get();
  backend.standardOutput = &output_;
  backend.mainBundle = &bundle_;
  backend.fileManager = &files_;
  backend.security = security_.get();
  backend.xpc = services_.get();
  backend.flutterMessenger = std::move(messenger);
  previous_ = installBackend(backend);
  installed_ = true;
}

}  // namespace platform::linux_backend
