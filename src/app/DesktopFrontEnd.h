#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

class CDataAccount;
class CDataFileShare;
class CDataLog;
class CDataSystem;
class CHttpsSetup;
class CServiceHttp;
class CThreadPool;
class CTransferRegistry;
class QCoreApplication;

// The parts of the running program the main window works with; all of them outlive it.
struct MainWindowContext {
  // A message start-up gave the user, in the window's wording.
  struct Notice {
    std::string text;
    bool problem = false;  // something the user may want to act on
  };

  CDataAccount& accounts;
  CDataFileShare& shares;
  CDataLog& log;
  CDataSystem& system;
  CThreadPool& pool;
  CServiceHttp& service;
  // The running executable; the updater and the auto-start entry are found from it.
  std::string program_path;
  // Where activity lines go when no window takes them (before it opens, after it closes).
  std::function<void(const std::string& line)> print_log_line;
  // What start-up told the user, oldest first; the status text shows them.
  std::vector<Notice> notices = {};
  // The certificate in use and the ACME renewal; null where nothing serves TLS (tests).
  CHttpsSetup* https = nullptr;
  // The downloads and uploads going on now; null where nothing registers them (tests).
  CTransferRegistry* transfers = nullptr;
};

// The owner's window as start-up and later starts see it. It lives on the main thread; its Exit
// command ends the event loop with QCoreApplication::exit(0), and the program then destroys it.
class MainWindow {
 public:
  virtual ~MainWindow() = default;
  // Shows the window in its normal state, in front (a later start, or start-up without "-mini").
  virtual void ShowWindow() = 0;
  // A path a later start handed over ("-f", "-a"): shared with the mode, File Share brought to
  // the front. False when nothing was shared.
  virtual bool ShareHandedOver(const std::string& path, int share_mode) = 0;
};

// What start-up needs to run with a window. The desktop layer above provides it; src/app itself
// links no widgets.
class DesktopFrontEnd {
 public:
  virtual ~DesktopFrontEnd() = default;
  // The event loop's object, able to show windows. Made once, before any thread starts.
  virtual std::unique_ptr<QCoreApplication> CreateApplication(int& argc, char** argv) = 0;
  // The main window, made hidden.
  virtual std::unique_ptr<MainWindow> CreateMainWindow(const MainWindowContext& context) = 0;
};
