#pragma once

#include <QApplication>
#include <QByteArray>
#include <QObject>

#include <gtest/gtest.h>

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

// The child of parent with the object name name, failing the test when there is none.
template <typename T>
T* Child(const QObject& parent, const char* name) {
  T* child = parent.findChild<T*>(name);
  EXPECT_NE(child, nullptr) << name;
  return child;
}

}  // namespace tessel::test

// Fontconfig, which Qt loads for text, keeps its caches to the end and frees them never; under
// the leak checker that would fail every test that draws text. Weak, so a second definition in
// the same test program does no harm.
extern "C" __attribute__((weak, used)) const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n";
}
