#pragma once

#include <QObject>
#include <array>

class QAction;
class QMainWindow;
class QMenu;
class QToolBar;

// The window's commands as actions, and the menu bar and toolbar made of them. Each command is
// one QAction, shared by its menu item, its toolbar button and its keys, so that greying it out
// or triggering it acts everywhere at once. The window connects each action to its handler.
class CWindowActions : public QObject {
  Q_OBJECT

 public:
  enum Command : int {
    kHide,
    kExit,
    kCopyUrl,
    kNewShare,
    kEditShare,
    kDeleteShare,
    kNewAccount,
    kEditAccount,
    kDeleteAccount,
    kSettings,
    kInternetCheck,
    kHelp,
    kHomepage,
    kAbout,
    kMyComputer,
    kMyShare,
    kUploadPath,
    kRefreshShares,
    kShowWindow,
    kCopyInternetUrl,
    kPauseSharing,  // checkable: checked while paused
    kFilter,
    kCommandCount
  };

  // Makes the actions (texts, icons, tips, keys) as children of window.
  explicit CWindowActions(QMainWindow* window);

  QAction* Action(Command command) const { return m_actions[command]; }
  // Fills window's menu bar; the Share and Account menus are also the lists' context menus.
  void BuildMenus(QMainWindow* window);
  // The toolbar's buttons are the same actions, with the toolbar's short labels and tips.
  QToolBar* BuildToolBar(QMainWindow* window);
  // The tray icon's menu: Show, Copy URL, Pause sharing, Exit.
  QMenu* BuildTrayMenu(QWidget* parent);
  QMenu* ShareMenu() const { return m_share_menu; }
  QMenu* AccountMenu() const { return m_account_menu; }

 private:
  std::array<QAction*, kCommandCount> m_actions{};
  QMenu* m_share_menu = nullptr;
  QMenu* m_account_menu = nullptr;
};
