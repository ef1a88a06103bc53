#include "desktop/WindowTray.h"

#include <QSystemTrayIcon>

#include "desktop/PlainText.h"
#include "desktop/UiString.h"
#include "desktop/WindowIcons.h"
#include "res/StringIds.h"

using tessel::desktop::PlainText;
using tessel::desktop::UiString;

CWindowTray::CWindowTray(std::function<bool()> available, QObject* parent)
    : QObject(parent), m_available_now(std::move(available)) {}

CWindowTray::~CWindowTray() {
  Remove();
}

void CWindowTray::Update() {
  const bool available = Available();
  if (available) {
    if (!m_icon) {
      m_icon = new QSystemTrayIcon(this);
      ShowState();
      if (m_menu) m_icon->setContextMenu(m_menu);
      connect(m_icon, &QSystemTrayIcon::activated, this,
              [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger) emit Restore();
              });
    }
    // A tray that has come (back) gets the icon anew; while it stays, showing again is a no-op.
    if (!m_available) m_icon->hide();
    m_icon->show();
  } else if (m_available && m_icon) {
    m_icon->hide();
  }
  m_available = available;
}

bool CWindowTray::Tick() {
  Update();
  if (m_available) {
    m_ticks_without = 0;
    return false;
  }
  return ++m_ticks_without >= kGraceTicks;
}

void CWindowTray::SetMenu(QMenu* menu) {
  m_menu = menu;
  if (m_icon) m_icon->setContextMenu(menu);
}

void CWindowTray::SetPaused(bool paused) {
  m_paused = paused;
  if (m_icon) ShowState();
}

void CWindowTray::ShowState() {
  const QIcon icon = CWindowIcons::Icon(CWindowIcons::Kind::kProgram);
  m_icon->setIcon(m_paused ? QIcon(icon.pixmap(QSize(32, 32), QIcon::Disabled)) : icon);
  m_icon->setToolTip(
      UiString(m_paused ? tessel::res::IDS_TRAY_PAUSED_TIP : tessel::res::IDS_TRAY_TIP));
}

void CWindowTray::Notify(const QString& text) {
  const QString title = UiString(tessel::res::IDS_TRAY_TIP);
  if (m_notifier)
    m_notifier(title, PlainText(text));
  else if (m_icon && m_icon->isVisible())
    m_icon->showMessage(title, PlainText(text), QSystemTrayIcon::Information);
}

void CWindowTray::Remove() {
  if (m_icon) m_icon->hide();
}
