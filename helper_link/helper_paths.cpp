#include "helper_link/helper_paths.h"

namespace helper_link {

const std::string& helperLabel() {
  static const std::string label = "com.veltrino.mac.helper";
  return label;
}

const std::string& helperPath() {
  static const std::string path = "/Library/PrivilegedHelperTools/" + helperLabel();
  return path;
}

}  // namespace helper_link
