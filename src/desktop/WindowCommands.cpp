#include "desktop/WindowCommands.h"

#include <QAction>
#include <QClipboard>
#include <QDir>
#include <QGuiApplication>
#include <QMessageBox>
#include <QUrl>
#include <cerrno>
#include <cstring>

#include "app/DesktopFrontEnd.h"
#include "app/HttpsSetup.h"
#include "base/UrlCodec.h"
#include "desktop/AccountList.h"
#include "desktop/DesktopShell.h"
#include "desktop/DlgAccount.h"
#include "desktop/DlgFileShare.h"
#include "desktop/DlgSettings.h"
#include "desktop/ShareList.h"
#include "desktop/UiString.h"
#include "desktop/WindowActions.h"
#include "desktop/WindowCheckView.h"
#include "desktop/WindowIcons.h"
#include "desktop/WindowTray.h"
#include "res/StringIds.h"
#include "service/ServiceHttp.h"
#include "store/DataSystem.h"

namespace res = tessel::res;
using tessel::desktop::UiString;

CWindowCommands::CWindowCommands(const Window& window, MainWindowContext& context,
                                 CDesktopShell& shell, const tessel::WebService& web)
    : QObject(window.widget), m_window(window), m_context(context), m_shell(shell), m_web(web) {}

void CWindowCommands::Connect(const CWindowActions& actions) {
  using A = CWindowActions;
  const auto on = [&](A::Command command, auto handler) {
    connect(actions.Action(command), &QAction::triggered, this, handler);
  };
  on(A::kCopyUrl, [this] { CopyUrl(); });
  on(A::kCopyInternetUrl, [this] { CopyInternetUrl(); });
  connect(actions.Action(A::kPauseSharing), &QAction::toggled, this,
          [this](bool pause) { PauseSharing(pause); });
  on(A::kNewShare, [this] { EditShare(true); });
  on(A::kEditShare, [this] { EditShare(false); });
  on(A::kNewAccount, [this] { EditAccount(true); });
  on(A::kEditAccount, [this] { EditAccount(false); });
  on(A::kDeleteAccount, [this] { DeleteAccount(); });
  on(A::kSettings, [this] { OpenSettings(); });
  on(A::kAbout, [this] { ShowAbout(); });
  on(A::kHelp, [this] { OpenAddress(QUrl(WebAddress("download/tessel.pdf"))); });
  on(A::kHomepage, [this] { OpenAddress(QUrl(WebAddress(QString()))); });
  on(A::kMyComputer, [this] { OpenAddress(QUrl::fromLocalFile(QDir::homePath())); });
  on(A::kMyShare, [this] {
    const std::string url = m_window.check_view->PageUrl();
    if (!url.empty()) OpenAddress(QUrl(QString::fromStdString(url)));
  });
  on(A::kUploadPath, [this] {
    OpenAddress(QUrl::fromLocalFile(QString::fromStdString(m_context.system.GetUploadPath())));
  });
}

QString CWindowCommands::WebAddress(const QString& path) const {
  return QString::fromStdString(m_web.Url()) + '/' + path;
}

void CWindowCommands::CopyUrl() {
  const CWindowCheckView& check = *m_window.check_view;
  if (check.PageUrl().empty()) return;
  QString text = QString::fromStdString(check.DirectUrl());
  // Escaped as the pages' links are: "#", "+", "%" and blanks would change or cut the link.
  if (const QString name = m_window.shares->FocusedName(); !name.isEmpty())
    text += "/download.htm?file=" + QString::fromStdString(tessel::UrlEncode(name.toStdString()));
  QGuiApplication::clipboard()->setText(text, QClipboard::Clipboard);
}

void CWindowCommands::CopyInternetUrl() {
  const std::string url = m_window.check_view->PageUrl();
  if (!url.empty()) QGuiApplication::clipboard()->setText(QString::fromStdString(url));
}

void CWindowCommands::PauseSharing(bool pause) {
  CServiceHttp& service = m_context.service;
  QString status;
  if (pause) {
    if (service.IsRunning()) m_paused_port = service.Port();
    service.Stop();
    status = UiString(res::IDS_STATUS_PAUSED);
  } else if (m_paused_port > 0) {
    errno = 0;
    if (service.Start(m_paused_port)) {
      status = UiString(res::IDS_STATUS_SERVING).arg(m_paused_port);
    } else {
      const QString reason = QString::fromStdString(std::strerror(errno != 0 ? errno : EADDRINUSE));
      status = UiString(res::IDS_STATUS_PORT_NONE).arg(m_paused_port).arg(reason);
    }
  }
  m_window.tray->SetPaused(pause);
  if (!status.isEmpty()) m_window.check_view->ShowStatusText(status);
}

void CWindowCommands::EditShare(bool new_share) {
  const QString name = new_share ? QString() : m_window.shares->FocusedName();
  if (!new_share && name.isEmpty()) return;
  CDlgFileShare dialog(m_context.shares, new_share, name.toStdString(), m_window.widget, &m_shell);
  if (dialog.exec() == QDialog::Accepted) m_window.show_shares();
}

void CWindowCommands::EditAccount(bool new_account) {
  const QString name = new_account ? QString() : m_window.accounts->FocusedName();
  if (!new_account && name.isEmpty()) return;
  CDlgAccount dialog(m_context.accounts, new_account, name.toStdString(), m_window.widget,
                     &m_shell);
  if (dialog.exec() == QDialog::Accepted) m_window.show_accounts();
}

void CWindowCommands::DeleteAccount() {
  const QString name = m_window.accounts->FocusedName();
  if (name.isEmpty()) return;
  if (CDlgAccount::DeleteAccount(m_context.accounts, name.toStdString(), m_window.widget, &m_shell))
    m_window.show_accounts();
}

void CWindowCommands::OpenSettings() {
  CDlgSettings dialog(m_context.system, m_context.program_path, m_window.widget, &m_shell, m_web,
                      m_context.https ? m_context.https->Current() : CHttpsSetup::State{});
  if (dialog.exec() != QDialog::Accepted) return;
  if (m_context.https) m_context.https->SettingsChanged();
  if (dialog.NewPort() != 0)
    MoveService(dialog.NewPort());
  else
    m_window.check_view->ShowStatusText(dialog.PortProblem());
  m_window.start_check();
}

void CWindowCommands::MoveService(int port) {
  CServiceHttp& service = m_context.service;
  const int old = service.Port();
  QString status;
  errno = 0;
  if (service.Restart(port)) {
    status = UiString(res::IDS_STATUS_SERVING).arg(port);
  } else {
    // A port that cannot be opened must not leave friends without a server: back to the old one.
    const QString reason = QString::fromStdString(std::strerror(errno != 0 ? errno : EADDRINUSE));
    if (old <= 0)  // nothing listened before, and nothing does now
      status = UiString(res::IDS_STATUS_PORT_NONE).arg(port).arg(reason);
    else if (service.Restart(old))
      status = UiString(res::IDS_STATUS_PORT_TAKEN).arg(port).arg(reason).arg(old);
    else
      status = UiString(res::IDS_STATUS_PORT_LOST).arg(port).arg(reason).arg(old);
  }
  m_window.check_view->ShowStatusText(status);
}

void CWindowCommands::ShowAbout() {
  if (m_about) {
    m_about->raise();
    m_about->activateWindow();
    return;
  }
  auto* box = new QMessageBox(m_window.widget);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowTitle(UiString(res::IDS_ABOUT_TITLE));
  box->setIconPixmap(CWindowIcons::Pixmap(CWindowIcons::Kind::kProgram, 64));
  box->setText(UiString(res::IDS_ABOUT_VERSION));
  box->setStandardButtons(QMessageBox::Ok);
  m_about = box;
  box->open();
}

void CWindowCommands::OpenAddress(const QUrl& url) {
  // Failures are left alone: the desktop says itself when it has no handler.
  m_shell.OpenUrl(url);
}
