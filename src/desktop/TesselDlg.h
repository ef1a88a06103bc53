#pragma once

#include <QMainWindow>
#include <QPointer>
#include <QStringList>
#include <QTimer>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/DesktopFrontEnd.h"
#include "desktop/LogModel.h"
#include "net/InternetCheck.h"
#include "net/UPnPNat.h"

class CDesktopShell;
class CExtStatusBarProgressCtrl;
class CExtStatusControlBar;
class CGfxOutBarCtrl;
class CInfoBar;
class CLed;
class CLogBridge;
class QLineEdit;
class QMenu;
class QStackedWidget;
class QSystemTrayIcon;
class QToolBar;
class QTreeView;
class QTreeWidget;
class QTreeWidgetItem;

// The owner's console: the shares, the accounts ("My Friends") and this run's activity in three
// lists chosen from the out bar; commands in the menu, the toolbar, the lists' context menus and
// keys; files and folders dropped anywhere on it become public shares; the status bar shows the
// activity LED, the Internet check's progress and text, and the date and time; a tray icon brings
// it back once hidden. Its one-second timer docks the tray icon, lights the LED, starts the
// updater once and the Internet check on its first tick and every 301 ticks after.
//
// Everything runs on the window's thread. Log lines and "shares changed" arrive from worker
// threads through a CLogBridge, the Internet check's texts through queued calls.
class CTesselDlg : public QMainWindow, public MainWindow, public InternetCheckView {
  Q_OBJECT

 public:
  // Commands, by the ids the menu, the toolbar and other threads use.
  enum Command : int {
    kRefreshShares = 104,
    kMyShare = 105,
    kMyComputer = 106,
    kUploadPath = 107,
    kCopyUrl = 108,
    kNewAccount = 132,
    kExit = 134,
    kHide = 138,
    kSettings = 139,
    kInternetCheck = 140,
    kNewShare = 142,
    kAbout = 32771,
    kEditAccount = 32774,
    kDeleteAccount = 32775,
    kEditShare = 32776,
    kDeleteShare = 32777,
    kHomepage = 32783,
    kHelp = 32875,
  };
  // The lists, by the out bar's item index.
  enum View : int { kViewFileShare = 0, kViewMyFriends = 1, kViewLogs = 2 };
  // File Share columns.
  enum ShareColumn : int {
    kColName,
    kColType,
    kColSize,
    kColFileTime,
    kColShareTime,
    kColUploader,
    kColPath,
    kColDescription,
  };

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

  // InternetCheckView: called on the check's thread; the window changes on its own.
  void SetStatusText(const std::string& text) override;
  void SetPageUrl(const std::string& url) override;
  void SetDirectUrl(const std::string& url) override;
  void SetInfoText(const std::string& text) override;
  void SetProgress(int position) override;
  void StepProgress() override;

  // Carries out a command; unknown ids do nothing.
  void OnCommand(int id);
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
  QTreeWidget* SharesList() const { return m_shares; }
  QTreeWidget* AccountsList() const { return m_accounts; }
  QTreeView* LogsList() const { return m_logs; }
  CLogModel* LogModel() const { return m_log_model; }
  CLogBridge& LogBridge() const { return *m_log_bridge; }
  CGfxOutBarCtrl* OutBar() const { return m_out_bar; }
  CInfoBar* InfoBar() const { return m_info_bar; }
  CLed* Led() const { return m_led; }
  CExtStatusBarProgressCtrl* Progress() const { return m_progress; }
  CExtStatusControlBar* StatusBar() const { return m_status_bar; }
  QString StatusText() const;
  std::string PageUrl() const;
  std::string DirectUrl() const;
  QMenu* ShareMenu() const { return m_share_menu; }
  QMenu* AccountMenu() const { return m_account_menu; }
  QSystemTrayIcon* TrayIcon() const { return m_tray; }
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
  void BuildActions();
  void BuildMenus();
  void BuildToolBar();
  void BuildOutBar();
  void BuildLists();
  void BuildStatusBar();
  void PlaceAtStart();
  // Start-up's notices in the status text.
  void ShowNotices();

  void FillShares();
  void FillAccounts();
  // The row that is both current and selected, or nullptr.
  static QTreeWidgetItem* FocusedSelected(QTreeWidget* list);
  void DeleteSelectedShares();
  void CopyUrl();
  void EditShare(bool new_share);
  void EditAccount(bool new_account);
  void DeleteAccount();
  void OpenSettings();
  // Moves the service to port; on failure it goes back where it was and the status text says so.
  void MoveService(int port);
  void ShowAbout();
  void OpenAddress(const QUrl& url);
  QString WebAddress(const QString& path) const;

  // Hides the window where a tray icon can bring it back; otherwise iconifies it, so it is
  // never out of reach.
  void HideOrIconify();
  void UpdateTrayIcon();
  void StartUpdaterOnce();
  void UpdateDateTime();
  void DeliverLog(std::vector<CLogModel::Line>&& lines, bool shares_changed);
  // Runs f on the window's thread, later; safe from any thread while the window lives.
  template <typename F>
  void Post(F&& f);

  MainWindowContext m_context;
  CDesktopShell& m_shell;
  tessel::WebService m_web;

  std::map<int, QAction*> m_actions;
  QMenu* m_share_menu = nullptr;
  QMenu* m_account_menu = nullptr;
  QToolBar* m_tool_bar = nullptr;
  CGfxOutBarCtrl* m_out_bar = nullptr;
  CInfoBar* m_info_bar = nullptr;
  QStackedWidget* m_stack = nullptr;
  QTreeWidget* m_shares = nullptr;
  QTreeWidget* m_accounts = nullptr;
  QTreeView* m_logs = nullptr;
  CLogModel* m_log_model = nullptr;
  CExtStatusControlBar* m_status_bar = nullptr;
  CLed* m_led = nullptr;
  CExtStatusBarProgressCtrl* m_progress = nullptr;
  QLineEdit* m_status_text = nullptr;
  QSystemTrayIcon* m_tray = nullptr;
  bool m_tray_available = false;
  int m_ticks_without_tray = 0;
  QPointer<QWidget> m_about;

  QTimer m_timer;
  bool m_update_check = true;  // cleared by the first tick
  int m_check_counter = kCheckTicks - 1;

  mutable std::mutex m_url_mutex;  // the check's thread writes the URLs, this one reads them
  std::string m_page_url;
  std::string m_direct_url;

  std::unique_ptr<CLogBridge> m_log_bridge;
  // Last: destroyed first, it cancels and awaits a running check, which uses the members above.
  CUPnPNat m_nat;
  std::unique_ptr<CInternetCheck> m_check;
};
