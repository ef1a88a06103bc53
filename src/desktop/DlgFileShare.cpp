#include "desktop/DlgFileShare.h"

#include <sys/stat.h>

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>
#include <cerrno>

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

// The desktop theme's shared-folder icon, or a drawn folder with a share arrow.
QPixmap SharePicture() {
  const QIcon themed = QIcon::fromTheme("folder-publicshare", QIcon::fromTheme("folder-remote"));
  if (!themed.isNull()) return themed.pixmap(kIconSize, kIconSize);
  QPixmap picture(kIconSize, kIconSize);
  picture.fill(Qt::transparent);
  QPainter painter(&picture);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(214, 160, 52));
  painter.drawRoundedRect(QRectF(4, 10, 18, 8), 2, 2);
  painter.setBrush(QColor(240, 190, 80));
  painter.drawRoundedRect(QRectF(4, 14, 40, 28), 3, 3);
  painter.setPen(QPen(QColor(72, 84, 102), 3.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  painter.setBrush(Qt::NoBrush);
  QPainterPath arrow(QPointF(15, 36));
  arrow.cubicTo(QPointF(15, 28), QPointF(21, 24), QPointF(31, 24));
  painter.drawPath(arrow);
  painter.drawPolyline(QPolygonF({QPointF(27, 19), QPointF(32, 24), QPointF(27, 29)}));
  return picture;
}

QLineEdit* ReadOnlyField(const char* name) {
  auto* field = new QLineEdit;
  field->setObjectName(name);
  field->setReadOnly(true);
  // Seen and copied, never typed into: Tab passes it by.
  field->setFocusPolicy(Qt::ClickFocus);
  return field;
}

}  // namespace

CDlgFileShare::CDlgFileShare(CDataFileShare& shares, bool new_record, const std::string& key_name,
                             QWidget* parent, CDesktopShell* shell)
    : QDialog(parent),
      m_shares(shares),
      m_shell(shell ? *shell : CDesktopShell::Standard()),
      m_new_record(new_record),
      m_key_name(new_record ? std::string() : key_name) {
  setWindowTitle(UiString(ids::IDS_DLG_SHARE_TITLE));

  m_icon = new QLabel;
  m_icon->setPixmap(SharePicture());
  m_path = new QLineEdit;
  m_path->setObjectName("filePath");
  // A file or a folder may be shared: the button offers both pickers.
  m_browse = new QPushButton(UiString(ids::IDS_DLG_BROWSER));
  m_browse->setObjectName("browse");
  m_browse->setAutoDefault(false);
  auto* pick = new QMenu(m_browse);
  QAction* pick_file = pick->addAction(UiString(ids::IDS_DLG_PICK_FILE));
  pick_file->setObjectName("pickFile");
  QAction* pick_folder = pick->addAction(UiString(ids::IDS_DLG_PICK_FOLDER));
  pick_folder->setObjectName("pickFolder");
  m_browse->setMenu(pick);
  connect(pick_file, &QAction::triggered, this, [this] { TakePickedPath(m_shell.PickFile(this)); });
  connect(pick_folder, &QAction::triggered, this, [this] {
    const QFileInfo current(m_path->text());
    TakePickedPath(m_shell.PickFolder(this, current.exists() ? current.absolutePath() : QString()));
  });

  m_name = new QLineEdit;
  m_name->setObjectName("shareName");
  m_description = new QLineEdit;
  m_description->setObjectName("description");
  m_share_time = ReadOnlyField("shareTime");
  m_uploader = ReadOnlyField("uploader");
  m_auth = new QCheckBox(UiString(ids::IDS_DLG_SHARE_AUTH));
  m_auth->setObjectName("auth");

  auto* path_row = new QHBoxLayout;
  path_row->addWidget(m_path, 1);
  path_row->addWidget(m_browse);

  auto* form = new QFormLayout;
  form->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
  form->addRow(Buddy(UiString(ids::IDS_DLG_SHARE_PATH), m_path), path_row);
  form->addRow(Buddy(UiString(ids::IDS_DLG_SHARE_NAME), m_name), m_name);
  form->addRow(Buddy(UiString(ids::IDS_DLG_DESCRIPTION), m_description), m_description);
  form->addRow(UiString(ids::IDS_DLG_SHARE_TIME), m_share_time);
  form->addRow(UiString(ids::IDS_DLG_SHARE_UPLOADER), m_uploader);
  form->addRow(QString(), m_auth);

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
  m_path->setMinimumWidth(fontMetrics().averageCharWidth() * 44);

  setTabOrder(m_path, m_browse);
  setTabOrder(m_browse, m_name);
  setTabOrder(m_name, m_description);
  setTabOrder(m_description, m_auth);
  setTabOrder(m_auth, buttons->button(QDialogButtonBox::Ok));
  Load();
}

bool CDlgFileShare::DeleteShare(CDataFileShare& shares, const std::string& key_name) {
  return shares.RemoveShare(key_name);
}

void CDlgFileShare::accept() {
  const std::string name = m_name->text().toStdString();
  if (name.empty()) {
    m_name->setFocus();
    return;
  }
  // The store splits names at "\", and a "&" would end the name in a link's query.
  if (const QChar bad = RefusedCharacter(m_name->text(), "\\&"); !bad.isNull()) {
    m_shell.ShowMessage(this, UiString(ids::IDS_MSG_NAME_CHARACTER).arg(bad));
    m_name->setFocus();
    return;
  }
  // A mistyped path, or a drive not plugged in: kept only when the owner says so.
  struct stat info {};
  const std::string path = m_path->text().toStdString();
  if (!path.empty() && ::stat(path.c_str(), &info) != 0 && (errno == ENOENT || errno == ENOTDIR) &&
      !m_shell.AskYesNo(this, UiString(ids::IDS_MSG_SHARE_PATH_MISSING).arg(m_path->text()))) {
    m_path->setFocus();
    return;
  }
  if (name != m_key_name) {
    FileShareRecord existing;
    // Names compare without letter case, so the share found under the new name may be this very
    // share, renamed only in letter case; that is no clash.
    if (m_shares.GetShare(name, existing) && (m_new_record || existing.name != m_key_name)) {
      m_shell.ShowMessage(this, UiString(ids::IDS_MSG_SHARE_EXISTS));
      m_name->setFocus();
      m_name->selectAll();
      return;
    }
  }
  FileShareRecord record;
  record.name = name;
  record.path = path;
  record.description = m_description->text().toStdString();
  record.share_mode =
      m_auth->isChecked() ? FileShareRecord::kModeAuth : FileShareRecord::kModePublic;
  record.share_time = m_share_time->text().toStdString();
  record.uploader = m_uploader->text().toStdString();
  const bool written =
      m_new_record ? m_shares.AddShare(record) : m_shares.ModifyShare(record, m_key_name);
  if (!written) {
    m_shell.ShowMessage(this, UiString(ids::IDS_MSG_SHARE_NOT_SAVED),
                        CDesktopShell::Icon::kCritical);
    return;
  }
  QDialog::accept();
}

void CDlgFileShare::Load() {
  if (m_new_record) return;
  FileShareRecord record;
  if (!m_shares.GetShare(m_key_name, record)) return;
  m_name->setText(QString::fromStdString(record.name));
  m_path->setText(QString::fromStdString(record.path));
  m_description->setText(QString::fromStdString(record.description));
  m_auth->setChecked(record.share_mode != FileShareRecord::kModePublic);
  m_share_time->setText(QString::fromStdString(record.share_time));
  m_uploader->setText(QString::fromStdString(record.uploader));
}

void CDlgFileShare::TakePickedPath(const QString& path) {
  if (path.isEmpty()) return;
  const QString local = QDir::toNativeSeparators(path);
  m_path->setText(local);
  m_name->setText(QString::fromStdString(m_shares.MakeUniqueShareName(local.toStdString())));
}
