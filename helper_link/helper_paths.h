// Where the privileged helper lives: its service name, job label and file.
#pragma once

#include <string>

namespace helper_link {

// The helper's Mach service name, its launchd job label and the installed file's name.
const std::string& helperLabel();
// The installed helper's path.
const std::string& helperPath();

}  // namespace helper_link
