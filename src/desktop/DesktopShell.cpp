#include "desktop/DesktopShell.h"

#include <QUrl>

CDesktopShell::~CDesktopShell() = default;
void CDesktopShell::ShowMessage(QWidget*, const QString&, Icon) {}
bool CDesktopShell::AskYesNo(QWidget*, const QString&) {
  return false;
}
QString CDesktopShell::PickFile(QWidget*) {
  return {};
}
QString CDesktopShell::PickFolder(QWidget*, const QString&) {
  return {};
}
bool CDesktopShell::OpenUrl(const QUrl&) {
  return false;
}
CDesktopShell& CDesktopShell::Standard() {
  static CDesktopShell shell;
  return shell;
}
