#include "desktop/DesktopShell.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QUrl>

#include "desktop/PlainText.h"
#include "desktop/UiString.h"
#include "res/StringIds.h"

using tessel::desktop::PlainText;
using tessel::desktop::UiString;
namespace ids = tessel::res;

CDesktopShell::~CDesktopShell() = default;

void CDesktopShell::ShowMessage(QWidget* parent, const QString& text, Icon icon) {
  const QMessageBox::Icon box_icon = icon == Icon::kInformation ? QMessageBox::Information
                                     : icon == Icon::kCritical  ? QMessageBox::Critical
                                                                : QMessageBox::Warning;
  QMessageBox box(box_icon, UiString(ids::IDS_HTML_PRODUCT_TITLE), PlainText(text), QMessageBox::Ok,
                  parent);
  box.button(QMessageBox::Ok)->setText(UiString(ids::IDS_BUTTON_OK));
  box.exec();
}

bool CDesktopShell::AskYesNo(QWidget* parent, const QString& text) {
  QMessageBox box(QMessageBox::Question, UiString(ids::IDS_HTML_PRODUCT_TITLE), PlainText(text),
                  QMessageBox::Yes | QMessageBox::No, parent);
  box.button(QMessageBox::Yes)->setText(UiString(ids::IDS_BUTTON_YES));
  box.button(QMessageBox::No)->setText(UiString(ids::IDS_BUTTON_NO));
  // A stray Enter must not delete anything.
  box.setDefaultButton(QMessageBox::No);
  box.setEscapeButton(QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

QString CDesktopShell::PickFile(QWidget* parent) {
  return QFileDialog::getOpenFileName(parent);
}

QString CDesktopShell::PickFolder(QWidget* parent, const QString& start_folder) {
  return QFileDialog::getExistingDirectory(parent, QString(), start_folder);
}

bool CDesktopShell::OpenUrl(const QUrl& url) {
  return QDesktopServices::openUrl(url);
}

CDesktopShell& CDesktopShell::Standard() {
  static CDesktopShell shell;
  return shell;
}
