#include "desktop/QtDesktop.h"

#include <QApplication>

#include "desktop/QtTranslations.h"
#include "desktop/TesselDlg.h"
#include "desktop/WindowIcons.h"

std::unique_ptr<QCoreApplication> CQtDesktop::CreateApplication(int& argc, char** argv) {
  auto app = std::make_unique<QApplication>(argc, argv);
  // The window hides to the tray; only Exit ends the program, never a last window closing.
  QApplication::setQuitOnLastWindowClosed(false);
  QApplication::setApplicationName("Tessel");
  QApplication::setDesktopFileName("tessel");
  QApplication::setWindowIcon(CWindowIcons::Icon(CWindowIcons::Kind::kProgram));
  tessel::desktop::InstallQtTranslations(*app, tessel::res::CurrentLanguage());
  return app;
}

std::unique_ptr<MainWindow> CQtDesktop::CreateMainWindow(const MainWindowContext& context) {
  return std::make_unique<CTesselDlg>(context);
}
