#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "app/DesktopFrontEnd.h"
#include "app/HttpsSetup.h"
#include "app/InstanceChannel.h"
#include "app/ProgramFolders.h"
#include "net/Firewall.h"
#include "service/ServiceStack.h"

class CInternetCheckTimer;
class CTransferReport;
class QCoreApplication;
class QSocketNotifier;

// A message for the user from start-up: where the database is, a database that cannot be opened
// or still has the default password, a port other than the setting's and why, or no port at all.
struct StartupNotice {
  std::string text;      // may hold several lines
  bool problem = false;  // something the user may want to act on
  std::string status;    // the window's own wording, when it differs from text (else empty)
};

// The program: opens the store, obeys the command line, keeps one instance running per user,
// serves HTTP and runs the event loop until told to exit (the window's Exit, the Exit request
// from a later start, SIGTERM or SIGINT). With a desktop front end and a display it shows the
// main window; otherwise it runs headless, logging to standard output. The objects it owns are
// destroyed in reverse order of declaration, so at exit the window goes first and the service
// stops before the stores close.
class CTesselApp {
 public:
  // Ports tried after the one of the setting when it cannot be opened.
  static constexpr int kMorePorts = 9;
  // The first of the ports tried next when every port of the setting's range needs privilege.
  static constexpr int kUnprivilegedPort = 8080;

  // Finds the desktop front end when a window is to be shown; nullptr (with *error saying why)
  // when there is none. The front end must outlive the program object.
  using DesktopLoader = std::function<DesktopFrontEnd*(std::string* error)>;

  // argc and argv must outlive the object (the event loop keeps them). Without load_desktop the
  // program never opens a window.
  CTesselApp(int& argc, char** argv, DesktopLoader load_desktop = {});
  ~CTesselApp();
  CTesselApp(const CTesselApp&) = delete;
  CTesselApp& operator=(const CTesselApp&) = delete;

  // Runs start-up and then the event loop until Exit. Returns the process's exit status: 0 when
  // the loop ended normally or a short job (hand-over to the running instance, "-uninstall",
  // "-z") is done; non-zero when the job failed, a switch lacks its path, or "-headless" cannot
  // listen.
  int InitInstance();

  // The first port to try for the "LocalPort" setting: its leading decimal integer (blanks and a
  // sign may precede it). Empty, non-numeric, 0 and numbers that are no port give 80.
  static int PortFromSetting(const std::string& value);

  // The start-up notices so far, in order. Each is printed as it comes (on standard output, a
  // problem on standard error); the window shows them in its status text once it exists, in
  // their status wording where they have one.
  const std::vector<StartupNotice>& StartupNotices() const { return m_notices; }

 private:
  // Obeys the switch of the command line. Returns true when start-up goes on, otherwise false
  // with *status set to the exit status. A failed share sets *status to 1 and goes on.
  bool ObeyCommandLine(const CommandLine& line, int* status);
  bool ShareFromCommandLine(const CommandLine& line);
  int ZipFromCommandLine(const CommandLine& line);
  // A later start while an instance runs: it is told to show itself, and this process ends.
  int HandOverToRunningInstance();
  // Answers "--help" and "--version"; true when the line asked for one of them.
  static bool AnswerWithoutStarting(const CommandLine& line);
  // Makes the per-user data folder of an installed program; says so when it cannot.
  void PrepareDataFolder();
  // Starts the service on the port of the setting or one of the next kMorePorts; when all of
  // them need privilege, on kUnprivilegedPort or one of the next kMorePorts.
  bool StartService();
  // Starts the service on the first port from first to last that opens: that port, or 0 with
  // *denied telling whether every port failed for lack of privilege and *error the last failure.
  int StartOnFirstFreePort(int first, int last, bool* denied, int* error);
  // How to let this program listen on ports below 1024.
  std::string LowPortAdvice() const;
  // Records a notice and prints it (a problem on standard error, as "tessel: " and text);
  // status is the window's wording when it must differ (a window has its own ways to mend).
  void Notify(const std::string& text, bool problem, const std::string& status = "");
  void PrintAddresses() const;
  // A request from a later start, on the event loop.
  bool OnInstanceRequest(const InstanceRequest& request);
  int RunEventLoop();
  // The Internet check about a second from now and every 301 seconds after (headless; the
  // window runs its own from its timer).
  void StartInternetChecks();
  // Whether this start shows a window (loading the desktop for it); says on standard error why
  // not when a window was wanted.
  bool ChooseWindow();
  void OpenMainWindow();

  int& m_argc;
  char** m_argv;
  std::string m_program_path;
  DesktopLoader m_load_desktop;
  DesktopFrontEnd* m_desktop = nullptr;  // once loaded
  // Before the stores, which are placed by it.
  tessel::ProgramFolders m_folders;
  std::vector<StartupNotice> m_notices;
  bool m_headless = false;     // "-headless": no window, and no service ends the program
  bool m_with_window = false;  // a window is made
  bool m_show_window = true;   // cleared by "-mini"; read once the main window exists

  std::unique_ptr<QCoreApplication> m_qt;
  std::unique_ptr<QSocketNotifier> m_stop_notifier;
  // SIGUSR1 prints the transfers while the event loop runs.
  std::unique_ptr<CTransferReport> m_transfer_report;
  CInstanceChannel m_channel;
  // Before the stack: the service uses its context until it stops.
  CHttpsSetup m_https;
  CServiceStack m_stack;
  CDataAccount& m_accounts = m_stack.accounts;
  CDataFileShare& m_shares = m_stack.shares;
  CDataLog& m_log = m_stack.log;
  CDataSystem& m_system = m_stack.settings;
  CThreadPool& m_pool = m_stack.pool;
  CServiceHttp& m_service = m_stack.service;
  CFirewall m_firewall;
  // Near the end: its check reads the settings and the service's port until it is destroyed.
  std::unique_ptr<CInternetCheckTimer> m_internet_check;
  // Last: it uses everything above and goes before the event loop's object.
  std::unique_ptr<MainWindow> m_window;
};
