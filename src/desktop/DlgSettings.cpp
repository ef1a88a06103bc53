#include "desktop/DlgSettings.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>
#include <cstdlib>

#include "app/AutoStart.h"
#include "desktop/DesktopShell.h"
#include "desktop/DialogParts.h"
#include "desktop/UiString.h"
#include "res/StringIds.h"

using tessel::desktop::Buddy;
using tessel::desktop::OkCancelButtons;
using tessel::desktop::UiString;
namespace ids = tessel::res;

namespace {

QCheckBox* CheckBox(int text_id, const char* name) {
  auto* box = new QCheckBox(UiString(text_id));
  box->setObjectName(name);
  return box;
}

// The auto-start entry counts when it exists with something in it.
bool AutoStartEntryExists() {
  const QFileInfo entry(QString::fromStdString(tessel::AutoStartEntryPath()));
  return entry.isFile() && entry.size() > 0;
}

}  // namespace

CDlgSettings::CDlgSettings(CDataSystem& system, const std::string& program_path, QWidget* parent,
                           CDesktopShell* shell, const tessel::WebService& web)
    : QDialog(parent),
      m_system(system),
      m_program_path(program_path),
      m_shell(shell ? *shell : CDesktopShell::Standard()),
      m_web(web) {
  setWindowTitle(UiString(ids::IDS_DLG_SETTINGS_TITLE));

  m_port = new QLineEdit;
  m_port->setObjectName("port");
  m_port->setMaximumWidth(fontMetrics().averageCharWidth() * 10);
  m_upload_path = new QLineEdit;
  m_upload_path->setObjectName("uploadPath");
  m_upload_path->setMinimumWidth(fontMetrics().averageCharWidth() * 40);
  m_browse = new QPushButton(UiString(ids::IDS_DLG_BROWSER));
  m_browse->setObjectName("browse");
  m_browse->setAutoDefault(false);
  m_internet_access = CheckBox(ids::IDS_DLG_SETTINGS_INTERNET, "internetAccess");
  m_auto_run = CheckBox(ids::IDS_DLG_SETTINGS_AUTO_RUN, "autoRun");
  m_zip_folders = CheckBox(ids::IDS_DLG_SETTINGS_ZIP, "zipFolders");
  m_url_user = new QLineEdit;
  m_url_user->setObjectName("urlUser");
  m_url_password = new QLineEdit;
  m_url_password->setObjectName("urlPassword");
  m_url_password->setEchoMode(QLineEdit::Password);
  m_url_preview = new QLineEdit;
  m_url_preview->setObjectName("urlPreview");
  m_url_preview->setReadOnly(true);
  m_url_preview->setFocusPolicy(Qt::ClickFocus);
  m_sign_up = new QPushButton(UiString(ids::IDS_DLG_SETTINGS_SIGN_UP));
  m_sign_up->setObjectName("signUp");
  m_sign_up->setAutoDefault(false);
  m_check_version = CheckBox(ids::IDS_DLG_SETTINGS_CHECK_VERSION, "checkVersion");

  auto* general = new QGroupBox(UiString(ids::IDS_DLG_SETTINGS_GENERAL));
  auto* general_form = new QFormLayout(general);
  general_form->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
  general_form->addRow(Buddy(UiString(ids::IDS_DLG_SETTINGS_PORT), m_port), m_port);
  auto* upload_row = new QHBoxLayout;
  upload_row->addWidget(m_upload_path, 1);
  upload_row->addWidget(m_browse);
  general_form->addRow(Buddy(UiString(ids::IDS_DLG_SETTINGS_UPLOAD_PATH), m_upload_path),
                       upload_row);
  general_form->addRow(m_internet_access);
  general_form->addRow(m_auto_run);
  general_form->addRow(m_zip_folders);

  auto* friendly = new QGroupBox(UiString(ids::IDS_DLG_SETTINGS_FRIENDLY));
  auto* friendly_grid = new QGridLayout(friendly);
  friendly_grid->addWidget(Buddy(UiString(ids::IDS_DLG_SETTINGS_USER), m_url_user), 0, 0);
  friendly_grid->addWidget(m_url_user, 0, 1);
  friendly_grid->addWidget(Buddy(UiString(ids::IDS_DLG_SETTINGS_PASSWORD), m_url_password), 0, 2);
  friendly_grid->addWidget(m_url_password, 0, 3);
  auto* preview_row = new QHBoxLayout;
  preview_row->addWidget(m_url_preview, 1);
  preview_row->addWidget(m_sign_up);
  friendly_grid->addLayout(preview_row, 1, 0, 1, 4);
  friendly_grid->setColumnStretch(1, 1);
  friendly_grid->setColumnStretch(3, 1);

  QDialogButtonBox* buttons = OkCancelButtons(this);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(general);
  layout->addWidget(friendly);
  layout->addWidget(m_check_version);
  layout->addSpacing(6);
  layout->addWidget(buttons);
  layout->setSizeConstraint(QLayout::SetMinimumSize);

  setTabOrder(m_port, m_upload_path);
  setTabOrder(m_upload_path, m_browse);
  setTabOrder(m_browse, m_internet_access);
  setTabOrder(m_internet_access, m_auto_run);
  setTabOrder(m_auto_run, m_zip_folders);
  setTabOrder(m_zip_folders, m_url_user);
  setTabOrder(m_url_user, m_url_password);
  setTabOrder(m_url_password, m_sign_up);
  setTabOrder(m_sign_up, m_check_version);
  setTabOrder(m_check_version, buttons->button(QDialogButtonBox::Ok));

  connect(m_url_user, &QLineEdit::textChanged, this, &CDlgSettings::UpdatePreview);
  connect(m_browse, &QPushButton::clicked, this, [this] {
    const QString folder = m_shell.PickFolder(this, m_upload_path->text());
    if (!folder.isEmpty()) m_upload_path->setText(QDir::toNativeSeparators(folder));
  });
  connect(m_sign_up, &QPushButton::clicked, this,
          [this] { m_shell.OpenUrl(QUrl(FriendlyUrl(m_web, "signup.php"))); });
  Load();
}

void CDlgSettings::accept() {
  const QString port = m_port->text();
  // Stored as typed whatever it holds; the next start-up reads it its own way.
  m_system.SetParam("LocalPort", port.toStdString());
  m_system.SetParam("internetaccess", m_internet_access->isChecked() ? "1" : "0");
  m_system.SetParam("UploadPath", m_upload_path->text().toStdString());
  m_system.SetParam("URLUsername", m_url_user->text().toStdString());
  m_system.SetParam("URLPassword", m_url_password->text().toStdString());
  m_system.SetParam("EnableZipFolder", m_zip_folders->isChecked() ? "1" : "0");
  m_system.SetParam("CheckNewVersion", m_check_version->isChecked() ? "1" : "0");
  if (m_auto_run->isChecked()) {
    if (!m_program_path.empty()) tessel::WriteAutoStartEntry(m_program_path);
  } else {
    tessel::RemoveAutoStartEntry();
  }

  m_new_port = ParsePort(port);
  if (m_new_port != 0) {
    m_port_problem.clear();
  } else if (port.trimmed().isEmpty()) {
    m_port_problem = UiString(ids::IDS_STATUS_PORT_EMPTY);
  } else {
    m_port_problem = UiString(ids::IDS_STATUS_PORT_INVALID).arg(port.trimmed());
  }
  QDialog::accept();
}

int CDlgSettings::ParsePort(const QString& text) {
  const QString digits = text.trimmed();
  if (digits.isEmpty() || digits.size() > 5) return 0;
  for (QChar c : digits) {
    if (c < '0' || c > '9') return 0;
  }
  const int port = digits.toInt();
  return port >= 1 && port <= 65535 ? port : 0;
}

QString CDlgSettings::FriendlyUrl(const tessel::WebService& web, const QString& user_name) {
  return QString::fromStdString(tessel::ServerUrl(web.host, web.port)) + "/" + user_name;
}

void CDlgSettings::Load() {
  m_port->setText(QString::fromStdString(m_system.GetParam("LocalPort")));
  m_internet_access->setChecked(m_system.GetParam("internetaccess") != "0");
  m_upload_path->setText(QString::fromStdString(m_system.GetUploadPath()));
  m_auto_run->setChecked(AutoStartEntryExists());
  m_zip_folders->setChecked(std::atoi(m_system.GetParam("EnableZipFolder").c_str()) == 1);
  m_url_user->setText(QString::fromStdString(m_system.GetParam("URLUsername")));
  m_url_password->setText(QString::fromStdString(m_system.GetParam("URLPassword")));
  m_check_version->setChecked(m_system.GetParam("CheckNewVersion") != "0");
  UpdatePreview();
}

void CDlgSettings::UpdatePreview() {
  m_url_preview->setText(FriendlyUrl(m_web, m_url_user->text()));
}
