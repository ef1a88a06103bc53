// The entry of the window's module, which the program opens when it shows a window.
#include "app/DesktopModule.h"
#include "desktop/QtDesktop.h"

extern "C" __attribute__((visibility("default"))) DesktopFrontEnd* TesselDesktopFrontEnd() {
  static CQtDesktop desktop;
  return &desktop;
}
