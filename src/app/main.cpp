#include <malloc.h>

#include "app/DesktopModule.h"
#include "app/TesselApp.h"
#include "store/DataBasic.h"

int main(int argc, char** argv) {
  // A few heaps for all workers instead of glibc's eight per core: each heap keeps the large
  // buffers (pages, uploads, zips) it has served, so resident memory crept up under a long
  // mixed load as more and more worker threads got heaps of their own.
  mallopt(M_ARENA_MAX, 2);
#ifdef TESSEL_WITHOUT_DESKTOP
  CTesselApp app(argc, argv);
#else
  CTesselApp app(argc, argv, [](std::string* error) {
    return tessel::LoadDesktopModule(tessel::ExecutableFolder(), error);
  });
#endif
  return app.InitInstance();
}
