#include "desktop/WindowTray.h"

#include <QSystemTrayIcon>

#include "desktop/UiString.h"
#include "desktop/WindowIcons.h"
#include "res/StringIds.h"

CWindowTray::CWindowTray(std::function<bool()> available, QObject* parent)
    : QObject(parent), m_available_now(std::move(available)) {}

CWindowTray::~CWindowTray() {
  Remove();
}

void CWindowTray::Update() {
  const bool available = Available();
  if (available) {
    if (!m_icon) {
      m_icon = new QSystemTrayIcon(CWindowIcons::Icon(CWindowIcons::Kind::kProgram), this);
      m_icon->setToolTip(tessel::desktop::UiString(tessel::res::IDS_TRAY_TIP));
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

void CWindowTray::Remove() {
  if (m_icon) m_icon->hide();
}
