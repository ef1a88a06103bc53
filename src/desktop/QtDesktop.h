#pragma once

#include "app/DesktopFrontEnd.h"

// The desktop as start-up uses it: a Qt Widgets application and the main window CTesselDlg.
class CQtDesktop : public DesktopFrontEnd {
 public:
  std::unique_ptr<QCoreApplication> CreateApplication(int& argc, char** argv) override;
  std::unique_ptr<MainWindow> CreateMainWindow(const MainWindowContext& context) override;
};
