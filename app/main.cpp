// The process entry: the application's main loop runs inside NSApplicationMain, which
// the backend linked with this file provides; the application hands it its main nib.
#include "app/main_nib.h"
#include "platform/appkit.h"

int main(int argc, char* argv[]) {
  platform::NSApplicationMain(argc, argv, app::main_nib::load);
  return 0;
}
