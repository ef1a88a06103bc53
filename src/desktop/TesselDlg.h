#pragma once

#include <QMainWindow>
#include <QStringList>
#include <QTimer>
#include <memory>
#include <string>
#include <vector>

#include "app/DesktopFrontEnd.h"
#include "desktop/AccountList.h"
#include "desktop/LogModel.h"
#include "desktop/ShareList.h"
#include "desktop/WindowActions.h"
#include "desktop/WindowCheckView.h"
#include "desktop/WindowTray.h"
#include "net/InternetCheck.h"
#include "net/UPnPNat.h"

class CDesktopShell;
class CExtStatusBarProgressCtrl;
class CGfxOutBarCtrl;
class CInfoBar;
class CLed;
class CLogBridge;
class CTransfersView;
class CWindowCommands;
class CWindowStatusBar;
class QMenu;
class QStackedWidget;
class QSystemTrayIcon;
class QToolBar;
class QTreeView;

// The owner's console: the shares, the accounts ("My Friends") and this run's activity in three
// lists chosen from the out bar; commands (CWindowActions) in the menu, the toolbar, the lists'
// context menus and keys; files and folders dropped anywhere on it become public shares; the
// status bar shows the activity LED, the Internet check's progress and text, and the date and
// time; a tray icon brings it back once hidden. Its one-second timer docks the tray icon, lights
// the LED, starts the updater once and the Internet check on its first tick and every 301 ticks
// after.
//
// Everything runs on the window's thread. Log lines and "shares changed" arrive from worker
// threads through a CLogBridge, the Internet check's texts through a CWindowCheckView.
class CTesselDlg : public QMainWindow, public MainWindow {
  Q_OBJECT

 public:
  using Command = CWindowActions::Command;
  using enum CWindowActions::Command;
  using enum CShareList::Column;
  // The lists, by the out bar's item index.
  enum View : int { kViewFileShare = 0, kViewMyFriends = 1, kViewLogs = 2, kViewTransfers = 3 };

  static constexpr int kTickMs = 1000;
  // The Internet check runs on the first tick and then every kCheckTicks ticks.
  static constexpr int kCheckTicks = 301;
  // Beside the program, started once when the setting CheckNewVersion is not "0".
  static constexpr const char* kUpdaterName = "tessel-update";
  static constexpr const char* kVersion = "3.6";

  // shell answers messages and opens addresses (nullptr: the standard one); web is the web
  // service behind Help, Homepage, the update list and the Internet check.
  explicit CTesselDlg(const MainWindowContext& context, CDesktopShell* shell = nullptr,
                      const tessel::WebService& web = tessel::WebService::Default());
  // Waits for a running Internet check and hands the activity log back to the context's printer.
  ~CTesselDlg() override;

  // MainWindow.
  void ShowWindow() override;
  bool ShareHandedOver(const std::string& path, int share_mode) override;

  // The command's action: trigger() carries it out.
  QAction* Action(Command command) const { return m_actions->Action(command); }
  // Refills a list (File Share, My Friends) or scrolls it to its end (Logs); with show, brings
  // it to the front and selects its out-bar item.
  void ShowList(int view, bool show);
  // One tick of the one-second timer.
  void OnTimer();
  // Shares each non-empty local path publicly and shows File Share. Returns how many were shared.
  int ShareDropped(const QStringList& paths);
  // Hands the activity log back to the context's printer (the program is ending); lines queued
  // so far still reach the Logs list. Later calls do nothing.
  void ReleaseLog();

  // What the window shows, for tests and screenshots.
  int CurrentView() const;
  CShareList* SharesList() const { return m_shares; }
  CAccountList* AccountsList() const { return m_accounts; }
  QTreeView* LogsList() const { return m_logs; }
  CLogModel* LogModel() const { return m_log_model; }
  CTransfersView* TransfersList() const { return m_transfers; }
  CLogBridge& LogBridge() const { return *m_log_bridge; }
  CGfxOutBarCtrl* OutBar() const { return m_out_bar; }
  CInfoBar* InfoBar() const { return m_info_bar; }
  CLed* Led() const;
  CExtStatusBarProgressCtrl* Progress() const;
  CWindowStatusBar* StatusBar() const { return m_status_bar; }
  // The Internet check's view of the window; the check calls it from its own thread.
  CWindowCheckView& CheckView() const { return *m_check_view; }
  // The tray icon, its menu and the notifications.
  CWindowTray& Tray() const { return *m_tray; }
  QString StatusText() const;
  std::string PageUrl() const;
  std::string DirectUrl() const;
  QMenu* ShareMenu() const { return m_actions->ShareMenu(); }
  QMenu* AccountMenu() const { return m_actions->AccountMenu(); }
  QSystemTrayIcon* TrayIcon() const;
  // The one-second timer; tests stop it and tick by hand.
  QTimer& TickTimer() { return m_timer; }

 protected:
  // Starts an Internet check on its own thread; false when one still runs or nothing listens.
  virtual bool StartInternetCheck();
  // Starts the updater without waiting for it; false when it could not be started.
  virtual bool StartUpdater(const QString& program, const QStringList& arguments);
  // Whether the desktop shows tray icons now (a panel may come and go while the program runs).
  virtual bool SystemTrayAvailable() const;

  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  void ConnectActions();
  void BuildOutBar();
  void BuildLists();
  void PlaceAtStart();
  // Start-up's notices in the status text.
  void ShowNotices();

  void Exit();

  // Hides the window where a tray icon can bring it back; otherwise iconifies it, so it is
  // never out of reach.
  void HideOrIconify();
  void StartUpdaterOnce();
  void DeliverLog(std::vector<CLogModel::Line>&& lines, bool shares_changed);
  // Tells the owner text through the tray, unless the setting Notifications is "0".
  void Notify(const QString& text);
  // Greys the commands that need a selected row in the list in front when there is none.
  void UpdateActions();

  MainWindowContext m_context;
  CDesktopShell& m_shell;
  tessel::WebService m_web;

  CWindowActions* m_actions = nullptr;
  CWindowCommands* m_commands = nullptr;
  QToolBar* m_tool_bar = nullptr;
  CGfxOutBarCtrl* m_out_bar = nullptr;
  CInfoBar* m_info_bar = nullptr;
  QStackedWidget* m_stack = nullptr;
  CShareList* m_shares = nullptr;
  CAccountList* m_accounts = nullptr;
  QTreeView* m_logs = nullptr;
  CLogModel* m_log_model = nullptr;
  CTransfersView* m_transfers = nullptr;
  CWindowStatusBar* m_status_bar = nullptr;
  CWindowTray* m_tray = nullptr;
  CWindowCheckView* m_check_view = nullptr;

  QTimer m_timer;
  bool m_update_check = true;  // cleared by the first tick
  bool m_activity = false;     // log lines came since the last tick
  int m_check_counter = kCheckTicks - 1;

  std::unique_ptr<CLogBridge> m_log_bridge;
  // Last: destroyed first, it cancels and awaits a running check, which uses the members above.
  CUPnPNat m_nat;
  std::unique_ptr<CInternetCheck> m_check;
};
