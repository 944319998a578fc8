// The process entry: the application's main loop runs inside NSApplicationMain, which
// the backend linked with this file provides.
#include "platform/appkit.h"

int main(int argc, char* argv[]) {
  platform::NSApplicationMain(argc, argv);
  return 0;
}
