#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <functional>

#include "net/InternetCheck.h"

class CAccountList;
class CDesktopShell;
class CShareList;
class CWindowActions;
class CWindowCheckView;
class CWindowTray;
struct MainWindowContext;
class QUrl;

// What the window's share, account, settings and address commands do: the edit dialogs, the
// settings with their port move, the URL for the clipboard, the addresses the desktop opens,
// and About. Connects itself to their actions; the window keeps the commands that only show,
// hide or end it.
class CWindowCommands : public QObject {
  Q_OBJECT

 public:
  // The parts of the window the commands work on.
  struct Window {
    QWidget* widget;  // the dialogs' parent
    CShareList* shares;
    CAccountList* accounts;
    CWindowCheckView* check_view;
    CWindowTray* tray;
    std::function<void()> show_shares;    // brings File Share, refilled, to the front
    std::function<void()> show_accounts;  // the same for My Friends
    std::function<void()> start_check;    // starts an Internet check
  };

  CWindowCommands(const Window& window, MainWindowContext& context, CDesktopShell& shell,
                  const tessel::WebService& web);

  // Carries out actions' commands of this kind from now on.
  void Connect(const CWindowActions& actions);
  // The address of path on the web service.
  QString WebAddress(const QString& path) const;

 private:
  void CopyUrl();
  void CopyInternetUrl();
  // Stops the service accepting (paused) or starts it again on its port.
  void PauseSharing(bool pause);
  void EditShare(bool new_share);
  void EditAccount(bool new_account);
  void DeleteAccount();
  void OpenSettings();
  // Moves the service to port; on failure it goes back where it was and the status text says so.
  void MoveService(int port);
  void ShowAbout();
  void OpenAddress(const QUrl& url);

  Window m_window;
  MainWindowContext& m_context;
  CDesktopShell& m_shell;
  tessel::WebService m_web;
  QPointer<QWidget> m_about;
  int m_paused_port = 0;
};
