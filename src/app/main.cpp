#include "app/TesselApp.h"

int main(int argc, char** argv) {
  CTesselApp app(argc, argv);
  return app.InitInstance();
}
