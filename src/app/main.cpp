#include <malloc.h>

#include "app/TesselApp.h"

int main(int argc, char** argv) {
  // Large buffers (uploads, zips) always get their own mapping, returned when freed. Left to
  // itself, glibc raises this threshold after the first such free and then serves them from the
  // per-thread heaps, which keep the memory: resident size crept up under a long mixed load.
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);
  CTesselApp app(argc, argv);
  return app.InitInstance();
}
