#pragma once

#include <QApplication>
#include <QByteArray>

namespace tessel::test {

// The one QApplication of a desktop test process, on the offscreen platform (no display needed,
// widgets still paint, grab and take synthetic events). Call it before making any widget; it is
// made on the first call and lives until the process ends.
inline QApplication& OffscreenApp() {
  static int argc = 1;
  static char name[] = "tessel-test";
  static char* argv[] = {name, nullptr};
  static QApplication* app = [] {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // No session bus: Qt would otherwise start one that outlives the test.
    qputenv("DBUS_SESSION_BUS_ADDRESS", "disabled:");
    return new QApplication(argc, argv);
  }();
  return *app;
}

}  // namespace tessel::test
