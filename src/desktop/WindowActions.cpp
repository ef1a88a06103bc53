#include "desktop/WindowActions.h"

#include <QAction>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QToolBar>

#include "desktop/UiString.h"
#include "desktop/WindowIcons.h"
#include "res/StringIds.h"

namespace res = tessel::res;
using tessel::desktop::UiString;
using Icons = CWindowIcons;

CWindowActions::CWindowActions(QMainWindow* window) : QObject(window) {
  struct Entry {
    Command command;
    int text;  // 0: the toolbar's label alone names it
    Icons::Kind icon;
    bool has_icon;
  };
  const Entry entries[] = {
      {kHide, res::IDS_MENU_HIDE, Icons::Kind::kHide, true},
      {kExit, res::IDS_MENU_EXIT, Icons::Kind::kExit, true},
      {kCopyUrl, res::IDS_MENU_COPY_URL, Icons::Kind::kCopyUrl, true},
      {kNewShare, res::IDS_MENU_NEW_SHARE, Icons::Kind::kNewShare, true},
      {kEditShare, res::IDS_MENU_EDIT_SHARE, Icons::Kind::kPublicShare, false},
      {kDeleteShare, res::IDS_MENU_DELETE_SHARE, Icons::Kind::kPublicShare, false},
      {kNewAccount, res::IDS_MENU_NEW_ACCOUNT, Icons::Kind::kNewAccount, true},
      {kEditAccount, res::IDS_MENU_EDIT_ACCOUNT, Icons::Kind::kFriend, false},
      {kDeleteAccount, res::IDS_MENU_DELETE_ACCOUNT, Icons::Kind::kFriend, false},
      {kSettings, res::IDS_MENU_SETTINGS, Icons::Kind::kSettings, true},
      {kInternetCheck, res::IDS_MENU_INTERNET_CHECK, Icons::Kind::kInternetCheck, true},
      {kHelp, res::IDS_MENU_HELP_DOCUMENT, Icons::Kind::kProgram, false},
      {kHomepage, res::IDS_MENU_HOMEPAGE, Icons::Kind::kMyShare, false},
      {kAbout, res::IDS_MENU_ABOUT, Icons::Kind::kProgram, true},
      {kMyComputer, 0, Icons::Kind::kMyComputer, true},
      {kMyShare, 0, Icons::Kind::kMyShare, true},
      {kUploadPath, 0, Icons::Kind::kUploadPath, true},
      {kRefreshShares, res::IDS_MENU_REFRESH, Icons::Kind::kProgram, false},
      {kShowWindow, res::IDS_TRAY_SHOW, Icons::Kind::kProgram, true},
      {kCopyInternetUrl, res::IDS_MENU_COPY_URL, Icons::Kind::kCopyUrl, true},
      {kPauseSharing, res::IDS_TRAY_PAUSE, Icons::Kind::kProgram, false},
      {kFilter, res::IDS_FILTER_HINT, Icons::Kind::kProgram, false},
  };
  for (const Entry& entry : entries) {
    auto* action = new QAction(entry.text != 0 ? UiString(entry.text) : QString(), window);
    if (entry.has_icon) action->setIcon(Icons::Icon(entry.icon));
    m_actions[entry.command] = action;
  }
  m_actions[kPauseSharing]->setCheckable(true);
  m_actions[kCopyUrl]->setShortcut(QKeySequence::Copy);
  m_actions[kRefreshShares]->setShortcut(QKeySequence(Qt::Key_F5));
  m_actions[kExit]->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
  m_actions[kFilter]->setShortcut(QKeySequence::Find);
  // F2, Enter and Delete act on the list in front (the window's own keys); the menus show them
  // beside their items.
  const auto with_key = [this](Command command, int text, QKeySequence key) {
    m_actions[command]->setText(UiString(text) + '\t' + key.toString(QKeySequence::NativeText));
  };
  with_key(kEditShare, res::IDS_MENU_EDIT_SHARE, QKeySequence(Qt::Key_F2));
  with_key(kDeleteShare, res::IDS_MENU_DELETE_SHARE, QKeySequence::Delete);
  with_key(kEditAccount, res::IDS_MENU_EDIT_ACCOUNT, QKeySequence(Qt::Key_F2));
  with_key(kDeleteAccount, res::IDS_MENU_DELETE_ACCOUNT, QKeySequence::Delete);
  for (QAction* action : m_actions) window->addAction(action);
}

void CWindowActions::BuildMenus(QMainWindow* window) {
  QMenuBar* bar = window->menuBar();
  QMenu* file = bar->addMenu(UiString(res::IDS_MENU_FILE));
  file->addAction(m_actions[kRefreshShares]);
  file->addAction(m_actions[kFilter]);
  file->addSeparator();
  file->addAction(m_actions[kHide]);
  file->addAction(m_actions[kExit]);
  m_share_menu = bar->addMenu(UiString(res::IDS_MENU_SHARE));
  m_share_menu->addAction(m_actions[kCopyUrl]);
  m_share_menu->addSeparator();
  m_share_menu->addAction(m_actions[kNewShare]);
  m_share_menu->addAction(m_actions[kEditShare]);
  m_share_menu->addAction(m_actions[kDeleteShare]);
  m_account_menu = bar->addMenu(UiString(res::IDS_MENU_ACCOUNT));
  m_account_menu->addAction(m_actions[kNewAccount]);
  m_account_menu->addAction(m_actions[kEditAccount]);
  m_account_menu->addAction(m_actions[kDeleteAccount]);
  QMenu* options = bar->addMenu(UiString(res::IDS_MENU_OPTIONS));
  options->addAction(m_actions[kSettings]);
  options->addAction(m_actions[kInternetCheck]);
  QMenu* help = bar->addMenu(UiString(res::IDS_MENU_HELP));
  help->addAction(m_actions[kHelp]);
  help->addAction(m_actions[kHomepage]);
  help->addSeparator();
  help->addAction(m_actions[kAbout]);
}

QMenu* CWindowActions::BuildTrayMenu(QWidget* parent) {
  auto* menu = new QMenu(parent);
  menu->setObjectName("trayMenu");
  menu->addAction(m_actions[kShowWindow]);
  menu->addAction(m_actions[kCopyInternetUrl]);
  menu->addAction(m_actions[kPauseSharing]);
  menu->addSeparator();
  menu->addAction(m_actions[kExit]);
  return menu;
}

QToolBar* CWindowActions::BuildToolBar(QMainWindow* window) {
  struct Button {
    Command command;
    bool separator;  // a separator takes a place in the labels too
    int tip;
  };
  const Button buttons[] = {
      {kNewAccount, false, res::IDS_TIP_NEW_ACCOUNT},
      {kNewShare, false, res::IDS_TIP_NEW_SHARE},
      {kNewShare, true, 0},
      {kMyComputer, false, res::IDS_TIP_MY_COMPUTER},
      {kMyShare, false, res::IDS_TIP_MY_SHARE},
      {kUploadPath, false, res::IDS_TIP_UPLOAD_PATH},
      {kCopyUrl, false, res::IDS_TIP_COPY_URL},
      {kCopyUrl, true, 0},
      {kInternetCheck, false, res::IDS_TIP_INTERNET_CHECK},
      {kSettings, false, res::IDS_TIP_SETTINGS},
      {kHide, false, res::IDS_TIP_HIDE},
      {kExit, false, res::IDS_TIP_EXIT},
  };
  const QStringList labels = UiString(res::IDS_TOOLBAR_LABELS).split('|');
  auto* tool_bar = new QToolBar(window);
  tool_bar->setObjectName("toolbar");
  tool_bar->setMovable(false);
  tool_bar->setFloatable(false);
  tool_bar->setContextMenuPolicy(Qt::PreventContextMenu);
  tool_bar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  tool_bar->setIconSize(QSize(20, 20));
  int position = 0;
  for (const Button& button : buttons) {
    const QString label = position < labels.size() ? labels[position].trimmed() : QString();
    ++position;
    if (button.separator) {
      tool_bar->addSeparator();
      continue;
    }
    QAction* action = m_actions[button.command];
    action->setIconText(label);
    action->setToolTip(UiString(button.tip));
    tool_bar->addAction(action);
  }
  window->addToolBar(Qt::TopToolBarArea, tool_bar);
  return tool_bar;
}
