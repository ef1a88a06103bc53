#include "desktop/DlgSettings.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QUrl>
#include <QVBoxLayout>
#include <cstdlib>

#include "app/AutoStart.h"
#include "base/TlsCertificate.h"
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

QLineEdit* LineEdit(const char* name) {
  auto* edit = new QLineEdit;
  edit->setObjectName(name);
  return edit;
}

QPushButton* Button(const QString& text, const char* name) {
  auto* button = new QPushButton(text);
  button->setObjectName(name);
  button->setAutoDefault(false);
  return button;
}

QString SourceText(CTlsCertificates::Source source) {
  switch (source) {
    case CTlsCertificates::Source::kOwn:
      return UiString(ids::IDS_DLG_SETTINGS_SOURCE_OWN);
    case CTlsCertificates::Source::kAcme:
      return UiString(ids::IDS_DLG_SETTINGS_SOURCE_ACME);
    case CTlsCertificates::Source::kSelfSigned:
      return UiString(ids::IDS_DLG_SETTINGS_SOURCE_SELF_SIGNED);
    case CTlsCertificates::Source::kNone:
      break;
  }
  return UiString(ids::IDS_DLG_SETTINGS_SOURCE_NONE);
}

// The auto-start entry counts when it exists with something in it.
bool AutoStartEntryExists() {
  const QFileInfo entry(QString::fromStdString(tessel::AutoStartEntryPath()));
  return entry.isFile() && entry.size() > 0;
}

}  // namespace

CDlgSettings::CDlgSettings(CDataSystem& system, const std::string& program_path, QWidget* parent,
                           CDesktopShell* shell, const tessel::WebService& web,
                           const CHttpsSetup::State& https)
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
  m_notifications = CheckBox(ids::IDS_DLG_SETTINGS_NOTIFICATIONS, "notifications");

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

  QWidget* secure = SecureGroup(https);
  QDialogButtonBox* buttons = OkCancelButtons(this);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(general);
  layout->addWidget(friendly);
  layout->addWidget(secure);
  layout->addWidget(m_check_version);
  layout->addWidget(m_notifications);
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
  setTabOrder(m_sign_up, m_source_own);
  setTabOrder(m_source_own, m_source_acme);
  setTabOrder(m_source_acme, m_source_self_signed);
  setTabOrder(m_source_self_signed, m_cert_file);
  setTabOrder(m_cert_file, m_cert_browse);
  setTabOrder(m_cert_browse, m_key_file);
  setTabOrder(m_key_file, m_key_browse);
  setTabOrder(m_key_browse, m_cert_domain);
  setTabOrder(m_cert_domain, m_check_version);
  setTabOrder(m_check_version, m_notifications);
  setTabOrder(m_notifications, buttons->button(QDialogButtonBox::Ok));

  connect(m_url_user, &QLineEdit::textChanged, this, &CDlgSettings::UpdatePreview);
  connect(m_browse, &QPushButton::clicked, this, [this] {
    const QString folder = m_shell.PickFolder(this, m_upload_path->text());
    if (!folder.isEmpty()) m_upload_path->setText(QDir::toNativeSeparators(folder));
  });
  connect(m_sign_up, &QPushButton::clicked, this,
          [this] { m_shell.OpenUrl(QUrl(FriendlyUrl(m_web, "signup.php"))); });
  for (auto [edit, button] : {std::pair{m_cert_file, m_cert_browse}, {m_key_file, m_key_browse}}) {
    connect(button, &QPushButton::clicked, this, [this, edit] {
      const QString file = m_shell.PickFile(this);
      if (!file.isEmpty()) edit->setText(file);
    });
  }
  for (QRadioButton* source : {m_source_own, m_source_acme, m_source_self_signed})
    connect(source, &QRadioButton::toggled, this, &CDlgSettings::UpdateSourceFields);
  Load();
}

QWidget* CDlgSettings::SecureGroup(const CHttpsSetup::State& https) {
  auto* group = new QGroupBox(UiString(ids::IDS_DLG_SETTINGS_SECURE));
  group->setObjectName("secure");
  auto* form = new QFormLayout(group);
  form->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
  // The dialog's layout takes minimum sizes only: a wrapped text gets its height at the
  // narrowest width it may have.
  const int narrowest = fontMetrics().averageCharWidth() * 45;
  const auto fact = [&](int label_id, const QString& text, const char* name, bool wrap = true) {
    auto* value = new QLabel(text);
    value->setObjectName(name);
    value->setTextInteractionFlags(Qt::TextSelectableByMouse);
    if (wrap) {
      value->setWordWrap(true);
      value->setMinimumWidth(narrowest);
      value->setMinimumHeight(value->heightForWidth(narrowest));
    } else {
      value->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    }
    form->addRow(UiString(label_id), value);
    return value;
  };

  // What serves now; the owner reads the fingerprint out to friends who check it.
  const CTlsCertificates::Status& status = https.certificate;
  fact(ids::IDS_DLG_SETTINGS_CERT_IN_USE, SourceText(status.source), "certSource");
  if (const CTlsCertificate* certificate = status.certificate.get()) {
    QStringList names;
    for (const std::string& name : certificate->Names()) names << QString::fromStdString(name);
    fact(ids::IDS_DLG_SETTINGS_CERT_ISSUER, QString::fromStdString(certificate->Issuer()),
         "certIssuer");
    fact(ids::IDS_DLG_SETTINGS_CERT_NAMES, names.join(", "), "certNames");
    fact(ids::IDS_DLG_SETTINGS_CERT_EXPIRY,
         QString::fromStdString(tessel::LocalTimeText(certificate->NotAfter())), "certExpiry");
    fact(ids::IDS_DLG_SETTINGS_CERT_FINGERPRINT, FingerprintLines(certificate->Fingerprint()),
         "certFingerprint", false);
  }
  if (!status.own_error.empty())
    fact(ids::IDS_DLG_SETTINGS_OWN_ERROR, QString::fromStdString(status.own_error), "ownError");
  fact(ids::IDS_DLG_SETTINGS_ACME_ERROR,
       https.acme_error.empty() ? UiString(ids::IDS_DLG_SETTINGS_NO_ERROR)
                                : QString::fromStdString(https.acme_error),
       "acmeError");

  // Where the next certificate comes from.
  m_source_own = new QRadioButton(UiString(ids::IDS_DLG_SETTINGS_CERT_OWN));
  m_source_own->setObjectName("sourceOwn");
  m_source_acme = new QRadioButton(UiString(ids::IDS_DLG_SETTINGS_CERT_AUTOMATIC));
  m_source_acme->setObjectName("sourceAcme");
  m_source_self_signed = new QRadioButton(UiString(ids::IDS_DLG_SETTINGS_CERT_SELF_SIGNED));
  m_source_self_signed->setObjectName("sourceSelfSigned");
  auto* sources = new QHBoxLayout;
  sources->addWidget(m_source_own);
  sources->addWidget(m_source_acme);
  sources->addWidget(m_source_self_signed);
  sources->addStretch(1);
  form->addRow(UiString(ids::IDS_DLG_SETTINGS_CERT_SOURCE), sources);

  m_cert_file = LineEdit("certFile");
  m_cert_browse = Button(UiString(ids::IDS_DLG_SETTINGS_BROWSE_FILE), "certBrowse");
  m_key_file = LineEdit("keyFile");
  m_key_browse = Button(UiString(ids::IDS_DLG_SETTINGS_BROWSE_FILE), "keyBrowse");
  m_cert_domain = LineEdit("certDomain");
  for (auto [label_id, edit, button] :
       {std::tuple{ids::IDS_DLG_SETTINGS_CERT_FILE, m_cert_file, m_cert_browse},
        {ids::IDS_DLG_SETTINGS_KEY_FILE, m_key_file, m_key_browse}}) {
    auto* row = new QHBoxLayout;
    row->addWidget(edit, 1);
    row->addWidget(button);
    form->addRow(Buddy(UiString(label_id), edit), row);
  }
  form->addRow(Buddy(UiString(ids::IDS_DLG_SETTINGS_CERT_DOMAIN), m_cert_domain), m_cert_domain);
  return group;
}

void CDlgSettings::UpdateSourceFields() {
  const bool own = m_source_own->isChecked();
  for (QWidget* field : {static_cast<QWidget*>(m_cert_file), static_cast<QWidget*>(m_cert_browse),
                         static_cast<QWidget*>(m_key_file), static_cast<QWidget*>(m_key_browse)})
    field->setEnabled(own);
  m_cert_domain->setEnabled(m_source_acme->isChecked());
}

QString CDlgSettings::FingerprintLines(const std::string& fingerprint) {
  const QString text = QString::fromStdString(fingerprint);
  // 32 pairs of "AB:" are 95 characters; the first line ends after the 16th pair's colon.
  return text.size() > 48 ? text.left(48) + '\n' + text.mid(48) : text;
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
  m_system.SetParam(kNotificationsSetting, m_notifications->isChecked() ? "1" : "0");
  m_system.SetParam(CTlsCertificates::kChoiceSetting,
                    m_source_own->isChecked()    ? CTlsCertificates::kChoiceOwn
                    : m_source_acme->isChecked() ? CTlsCertificates::kChoiceAcme
                                                 : CTlsCertificates::kChoiceSelfSigned);
  m_system.SetParam("CertFile", m_cert_file->text().toStdString());
  m_system.SetParam("KeyFile", m_key_file->text().toStdString());
  m_system.SetParam("CertDomain", m_cert_domain->text().toStdString());
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
  return QString::fromStdString(web.Url()) + "/" + user_name;
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
  m_notifications->setChecked(m_system.GetParam(kNotificationsSetting) != "0");
  const std::string cert_file = m_system.GetParam("CertFile");
  std::string choice = m_system.GetParam(CTlsCertificates::kChoiceSetting);
  // Unchosen, the owner's files serve when they are named, else ACME's; any other word counts as
  // ACME, as it does for the renewal.
  if (choice.empty())
    choice = cert_file.empty() ? CTlsCertificates::kChoiceAcme : CTlsCertificates::kChoiceOwn;
  m_source_own->setChecked(choice == CTlsCertificates::kChoiceOwn);
  m_source_acme->setChecked(choice != CTlsCertificates::kChoiceOwn &&
                            choice != CTlsCertificates::kChoiceSelfSigned);
  m_source_self_signed->setChecked(choice == CTlsCertificates::kChoiceSelfSigned);
  m_cert_file->setText(QString::fromStdString(cert_file));
  m_key_file->setText(QString::fromStdString(m_system.GetParam("KeyFile")));
  m_cert_domain->setText(QString::fromStdString(m_system.GetParam("CertDomain")));
  UpdateSourceFields();
  UpdatePreview();
}

void CDlgSettings::UpdatePreview() {
  m_url_preview->setText(FriendlyUrl(m_web, m_url_user->text()));
}
