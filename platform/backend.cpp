#include "platform/backend.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace platform {
namespace {

Backend& current() {
  static Backend backend;
  return backend;
}

template <typename T>
T& require(T* service, const char* name) {
  if (service == nullptr) {
    std::fprintf(stderr, "platform: no %s installed\n", name);
    std::abort();
  }
  return *service;
}

}  // namespace

Backend installBackend(const Backend& backend) {
  Backend previous = current();
  current() = backend;
  return previous;
}

const Backend& installedBackend() { return current(); }

DispatchQueue& mainQueue() { return require(current().mainQueue, "main queue"); }

void print(std::string_view item) {
  require(current().standardOutput, "standard output").writeLine(asOneLine(item));
}

void print(std::string_view text, std::string_view reported) {
  require(current().standardOutput, "standard output").writeDiagnostic(asOneLine(text), asOneLine(reported));
}

NSBundle& NSBundle::mainBundle() { return require(current().mainBundle, "main bundle"); }

NSFileManager& NSFileManager::defaultManager() { return require(current().fileManager, "file manager"); }

OSStatus AuthorizationCreate(const AuthorizationRights* rights, const AuthorizationEnvironment* environment,
                             AuthorizationFlags flags, AuthorizationRef* authorization) {
  return require(current().security, "security services")
      .authorizationCreate(rights, environment, flags, authorization);
}

OSStatus AuthorizationFree(AuthorizationRef authorization, AuthorizationFlags flags) {
  return require(current().security, "security services").authorizationFree(authorization, flags);
}

bool SMJobBless(std::string_view domain, std::string_view label, AuthorizationRef authorization,
                std::optional<NSError>* error) {
  return require(current().security, "security services").jobBless(domain, label, authorization, error);
}

XPCTransportFactory& xpcTransports() { return require(current().xpc, "XPC transport"); }

}  // namespace platform
