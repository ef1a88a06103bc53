#include "desktop/ShareList.h"

#include <sys/stat.h>

#include <QSet>
#include <cerrno>

#include "desktop/DlgFileShare.h"
#include "desktop/LogModel.h"
#include "desktop/ReportList.h"
#include "desktop/UiString.h"
#include "desktop/WindowIcons.h"
#include "res/StringIds.h"
#include "store/DataFileShare.h"
#include "store/SizeText.h"

namespace res = tessel::res;
using tessel::desktop::UiString;
using Icons = CWindowIcons;

CShareList::CShareList(CDataFileShare& shares, QWidget* parent)
    : QTreeWidget(parent), m_shares(shares) {
  setObjectName("shares");
  SetUpReportList(this);
  setHeaderLabels({UiString(res::IDS_COL_FILE_NAME), UiString(res::IDS_COL_TYPE),
                   UiString(res::IDS_COL_SIZE), UiString(res::IDS_COL_FILE_TIME),
                   UiString(res::IDS_COL_SHARE_TIME), UiString(res::IDS_COL_UPLOADER),
                   UiString(res::IDS_COL_FILE_PATH), UiString(res::IDS_COL_DESCRIPTION)});
  headerItem()->setTextAlignment(kColSize, Qt::AlignRight | Qt::AlignVCenter);
  const double scale = std::max(1.0, fontMetrics().averageCharWidth() / 5.5);
  const int widths[] = {150, 50, 70, 120, 120, 70, 200, 90};
  for (int column = 0; column < 8; ++column)
    setColumnWidth(column, static_cast<int>(widths[column] * scale));
  // Time stamps are shown whole.
  const int stamp = fontMetrics().horizontalAdvance("0000-00-00 00:00:00") + 16;
  setColumnWidth(kColFileTime, stamp);
  setColumnWidth(kColShareTime, stamp);
}

void CShareList::Fill() {
  // The rows chosen before stay chosen, so a refill after an upload does not undo a selection.
  QSet<QString> selected;
  for (const QTreeWidgetItem* item : selectedItems()) selected.insert(item->text(kColName));
  const QString current = currentItem() ? currentItem()->text(kColName) : QString();

  std::vector<FileShareRecord> shares;
  m_shares.ListShares(shares);
  const QIcon public_icon = Icons::Icon(Icons::Kind::kPublicShare);
  const QIcon auth_icon = Icons::Icon(Icons::Kind::kAuthShare);
  const QString public_text = UiString(res::IDS_SHARE_PUBLIC);
  const QString auth_text = UiString(res::IDS_SHARE_AUTH);
  QList<QTreeWidgetItem*> rows;
  rows.reserve(static_cast<qsizetype>(shares.size()));
  QTreeWidgetItem* current_row = nullptr;
  std::vector<QTreeWidgetItem*> selected_rows;
  for (const FileShareRecord& share : shares) {
    struct stat info {};
    bool known = ::stat(share.path.c_str(), &info) == 0;
    // Only a path the file system says is gone ends its share. One that cannot be read now (no
    // permission, a drive not mounted, an I/O error) keeps it, shown without size and time.
    if (!known && (errno == ENOENT || errno == ENOTDIR)) {
      m_shares.RemoveShare(share.name);
      continue;
    }
    auto* row = new CListRow;
    const QString name = QString::fromStdString(share.name);
    const bool is_public = share.share_mode == FileShareRecord::kModePublic;
    row->setText(kColName, name);
    row->setIcon(kColName, is_public ? public_icon : auth_icon);
    row->setText(kColType, is_public ? public_text : auth_text);
    if (known) {
      // A folder's own size is the file system's bookkeeping, not its content: shown as 0.
      const uint64_t size = S_ISDIR(info.st_mode) ? 0 : static_cast<uint64_t>(info.st_size);
      row->setText(kColSize, QString::fromStdString(FormatNumber(size)));
      row->setText(kColFileTime, CLogModel::TimeText(info.st_mtime));
    }
    row->setTextAlignment(kColSize, Qt::AlignRight | Qt::AlignVCenter);
    row->setText(kColShareTime, QString::fromStdString(share.share_time));
    row->setText(kColUploader, QString::fromStdString(share.uploader));
    row->setText(kColPath, QString::fromStdString(share.path));
    row->setText(kColDescription, QString::fromStdString(share.description));
    if (name == current) current_row = row;
    if (selected.contains(name)) selected_rows.push_back(row);
    rows.append(row);
  }
  setUpdatesEnabled(false);
  clear();
  addTopLevelItems(rows);
  if (current_row) setCurrentItem(current_row, 0, QItemSelectionModel::NoUpdate);
  for (QTreeWidgetItem* row : selected_rows) row->setSelected(true);
  setUpdatesEnabled(true);
}

QString CShareList::FocusedName() const {
  const QTreeWidgetItem* row = FocusedSelected(this);
  return row ? row->text(kColName) : QString();
}

void CShareList::DeleteSelected() {
  const QList<QTreeWidgetItem*> rows = selectedItems();
  for (QTreeWidgetItem* row : rows) {
    CDlgFileShare::DeleteShare(m_shares, row->text(kColName).toStdString());
    delete row;
  }
}
