// The dynamic loader, as far as the host asks it anything.
#pragma once

#include <optional>
#include <string>

namespace platform {

// The last error the dynamic loader reported in this thread, which reading clears;
// none when there is none.
std::optional<std::string> dlerror();

}  // namespace platform
