#include "platform/dynamic_loader.h"

#include <dlfcn.h>

namespace platform {

std::optional<std::string> dlerror() {
  if (const char* text = ::dlerror()) return std::string(text);
  return std::nullopt;
}

}  // namespace platform
