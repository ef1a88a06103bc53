#include "desktop/DlgAccount.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

#include "desktop/DesktopShell.h"
#include "desktop/DialogParts.h"
#include "desktop/UiString.h"
#include "res/StringIds.h"

using tessel::desktop::Buddy;
using tessel::desktop::OkCancelButtons;
using tessel::desktop::RefusedCharacter;
using tessel::desktop::UiString;
namespace ids = tessel::res;

namespace {

constexpr int kIconSize = 48;

// The desktop theme's user icon, or a drawn head and shoulders where the theme has none.
QPixmap UserPicture() {
  const QIcon themed = QIcon::fromTheme("avatar-default", QIcon::fromTheme("user-identity"));
  if (!themed.isNull()) return themed.pixmap(kIconSize, kIconSize);
  QPixmap picture(kIconSize, kIconSize);
  picture.fill(Qt::transparent);
  QPainter painter(&picture);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(72, 84, 102));
  painter.drawEllipse(QRectF(5, 5, 38, 38));
  painter.setBrush(QColor(236, 240, 245));
  painter.drawEllipse(QRectF(17, 11, 14, 14));
  painter.drawChord(QRectF(11, 27, 26, 24), 0, 180 * 16);
  return picture;
}

}  // namespace

CDlgAccount::CDlgAccount(CDataAccount& accounts, bool new_record, const std::string& key_name,
                         QWidget* parent, CDesktopShell* shell)
    : QDialog(parent),
      m_accounts(accounts),
      m_shell(shell ? *shell : CDesktopShell::Standard()),
      m_new_record(new_record),
      m_key_name(new_record ? std::string() : key_name) {
  setWindowTitle(UiString(ids::IDS_DLG_ACCOUNT_TITLE));

  m_icon = new QLabel;
  m_icon->setPixmap(UserPicture());
  m_icon->setAlignment(Qt::AlignTop | Qt::AlignHCenter);
  m_name = new QLineEdit;
  m_name->setObjectName("accountName");
  m_auth_type = new QComboBox;
  m_auth_type->setObjectName("authType");
  // The list index is the stored authentication type.
  m_auth_type->addItem(UiString(ids::IDS_AUTH_USER_PASSWORD));
  m_auth_type->addItem(UiString(ids::IDS_AUTH_IP_ADDRESS));
  m_password = new QLineEdit;
  m_password->setObjectName("password");
  m_ip_address = new QLineEdit;
  m_ip_address->setObjectName("ipAddress");
  m_description = new QLineEdit;
  m_description->setObjectName("description");
  m_enabled = new QCheckBox(UiString(ids::IDS_DLG_ACCOUNT_ENABLED));
  m_enabled->setObjectName("enabled");
  m_allow_upload = new QCheckBox(UiString(ids::IDS_DLG_ACCOUNT_ALLOW_UPLOAD));
  m_allow_upload->setObjectName("allowUpload");
  m_allow_delete = new QCheckBox(UiString(ids::IDS_DLG_ACCOUNT_ALLOW_DELETE));
  m_allow_delete->setObjectName("allowDelete");

  auto* form = new QFormLayout;
  form->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
  form->addRow(Buddy(UiString(ids::IDS_DLG_ACCOUNT_NAME), m_name), m_name);
  form->addRow(Buddy(UiString(ids::IDS_DLG_ACCOUNT_AUTH_TYPE), m_auth_type), m_auth_type);
  form->addRow(Buddy(UiString(ids::IDS_DLG_ACCOUNT_PASSWORD), m_password), m_password);
  form->addRow(Buddy(UiString(ids::IDS_DLG_ACCOUNT_IP_ADDRESS), m_ip_address), m_ip_address);
  form->addRow(Buddy(UiString(ids::IDS_DLG_DESCRIPTION), m_description), m_description);
  auto* rights = new QHBoxLayout;
  rights->addWidget(m_enabled);
  rights->addWidget(m_allow_upload);
  rights->addWidget(m_allow_delete);
  rights->addStretch();
  form->addRow(QString(), rights);

  auto* body = new QHBoxLayout;
  body->setSpacing(16);
  body->addWidget(m_icon, 0, Qt::AlignTop);
  body->addLayout(form, 1);

  QDialogButtonBox* buttons = OkCancelButtons(this);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(body);
  layout->addSpacing(6);
  layout->addWidget(buttons);
  layout->setSizeConstraint(QLayout::SetMinimumSize);
  m_name->setMinimumWidth(fontMetrics().averageCharWidth() * 32);

  setTabOrder(m_name, m_auth_type);
  setTabOrder(m_auth_type, m_password);
  setTabOrder(m_password, m_ip_address);
  setTabOrder(m_ip_address, m_description);
  setTabOrder(m_description, m_enabled);
  setTabOrder(m_enabled, m_allow_upload);
  setTabOrder(m_allow_upload, m_allow_delete);
  setTabOrder(m_allow_delete, buttons->button(QDialogButtonBox::Ok));

  connect(m_auth_type, &QComboBox::currentIndexChanged, this, &CDlgAccount::UpdateAuthFields);
  Load();
}

bool CDlgAccount::DeleteAccount(CDataAccount& accounts, const std::string& key_name,
                                QWidget* parent, CDesktopShell* shell) {
  CDesktopShell& ask = shell ? *shell : CDesktopShell::Standard();
  if (!ask.AskYesNo(parent, UiString(ids::IDS_MSG_DELETE_ACCOUNT))) return false;
  accounts.DeleteAccount(key_name);
  return true;
}

void CDlgAccount::accept() {
  const std::string name = m_name->text().toStdString();
  if (name.empty()) {
    // Nothing to save without a name; the dialog stays as it is.
    if (m_name->isEnabled()) m_name->setFocus();
    return;
  }
  // Basic credentials end the name at the first ":".
  if (const QChar bad = RefusedCharacter(m_name->text(), ":"); !bad.isNull() && m_new_record) {
    m_shell.ShowMessage(this, UiString(ids::IDS_MSG_NAME_CHARACTER).arg(bad));
    m_name->setFocus();
    return;
  }
  AccountRecord record;
  record.account_name = name;
  record.allow_delete = m_allow_delete->isChecked() ? 1 : 0;
  record.allow_upload = m_allow_upload->isChecked() ? 1 : 0;
  record.enabled = m_enabled->isChecked() ? 1 : 0;
  record.auth_type = m_auth_type->currentIndex();
  record.description = m_description->text().toStdString();
  // Both are kept whatever the type, so switching back finds them again.
  record.ip_address = m_ip_address->text().toStdString();
  record.password = m_password->text().toStdString();

  if (m_new_record) {
    AccountRecord existing;
    if (m_accounts.GetAccount(name, existing)) {
      m_shell.ShowMessage(this, UiString(ids::IDS_MSG_ACCOUNT_EXISTS));
      m_name->setFocus();
      m_name->selectAll();
      return;
    }
    if (!m_accounts.AddAccount(record)) {
      m_shell.ShowMessage(this, UiString(ids::IDS_MSG_ACCOUNT_NOT_SAVED),
                          CDesktopShell::Icon::kCritical);
      return;
    }
  } else if (!m_accounts.ModifyAccount(record)) {
    m_shell.ShowMessage(this, UiString(ids::IDS_MSG_ACCOUNT_NOT_SAVED),
                        CDesktopShell::Icon::kCritical);
    return;
  }
  QDialog::accept();
}

void CDlgAccount::Load() {
  // A new account may do everything until the owner says otherwise.
  AccountRecord record;
  record.enabled = record.allow_upload = record.allow_delete = 1;
  if (!m_new_record) {
    // An account gone meanwhile shows as an empty record: nothing checked, nothing to save.
    AccountRecord stored;
    if (m_accounts.GetAccount(m_key_name, stored)) {
      record = stored;
    } else {
      record = AccountRecord{};
      record.enabled = record.allow_upload = record.allow_delete = 0;
    }
  }
  m_name->setText(QString::fromStdString(record.account_name));
  m_name->setEnabled(m_new_record);
  m_enabled->setChecked(record.enabled != 0);
  m_allow_upload->setChecked(record.allow_upload != 0);
  m_allow_delete->setChecked(record.allow_delete != 0);
  m_auth_type->setCurrentIndex(record.auth_type == AccountRecord::kAuthPassword ? 0 : 1);
  m_description->setText(QString::fromStdString(record.description));
  m_ip_address->setText(QString::fromStdString(record.ip_address));
  m_password->setText(QString::fromStdString(record.password));
  UpdateAuthFields();
  if (!m_new_record) m_auth_type->setFocus();
}

void CDlgAccount::UpdateAuthFields() {
  const bool by_password = m_auth_type->currentIndex() == 0;
  m_password->setEnabled(by_password);
  m_ip_address->setEnabled(!by_password);
}
