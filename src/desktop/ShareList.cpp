#include "desktop/ShareList.h"

#include <sys/stat.h>

#include <QApplication>
#include <QKeyEvent>
#include <QPalette>
#include <QPointer>
#include <QSet>
#include <cerrno>
#include <thread>

#include "desktop/DlgFileShare.h"
#include "desktop/ListOrder.h"
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
using PathState = CShareList::PathInfo::State;
using tessel::desktop::kSortRole;
using tessel::desktop::SortByHeading;
using tessel::desktop::TimeStampKey;

CShareList::CShareList(CDataFileShare& shares, QWidget* parent)
    : QTreeWidget(parent), m_shares(shares) {
  setObjectName("shares");
  SetUpReportList(this);
  setHeaderLabels({UiString(res::IDS_COL_FILE_NAME), UiString(res::IDS_COL_TYPE),
                   UiString(res::IDS_COL_SIZE), UiString(res::IDS_COL_FILE_TIME),
                   UiString(res::IDS_COL_SHARE_TIME), UiString(res::IDS_COL_UPLOADER),
                   UiString(res::IDS_COL_FILE_PATH), UiString(res::IDS_COL_DESCRIPTION)});
  headerItem()->setTextAlignment(kColSize, Qt::AlignRight | Qt::AlignVCenter);
  SortByHeading(this);
  const double scale = std::max(1.0, fontMetrics().averageCharWidth() / 5.5);
  const int widths[] = {150, 50, 70, 120, 120, 70, 200, 90};
  for (int column = 0; column < 8; ++column)
    setColumnWidth(column, static_cast<int>(widths[column] * scale));
  // Time stamps are shown whole.
  const int stamp = fontMetrics().horizontalAdvance("0000-00-00 00:00:00") + 16;
  setColumnWidth(kColFileTime, stamp);
  setColumnWidth(kColShareTime, stamp);
}

CShareList::PathInfo CShareList::Look(const std::string& path) {
  PathInfo info;
  struct stat status {};
  if (::stat(path.c_str(), &status) == 0) {
    info.state = PathState::kFound;
    // A folder's own size is the file system's bookkeeping, not its content: shown as 0.
    info.size = S_ISDIR(status.st_mode) ? 0 : static_cast<uint64_t>(status.st_size);
    info.time = status.st_mtime;
  } else {
    // Only a path the file system says is gone is missing. One that cannot be read now (no
    // permission, an I/O error) is shown without size and time.
    info.state = errno == ENOENT || errno == ENOTDIR ? PathState::kMissing : PathState::kUnreadable;
  }
  return info;
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
  QList<QTreeWidgetItem*> rows;
  rows.reserve(static_cast<qsizetype>(shares.size()));
  QTreeWidgetItem* current_row = nullptr;
  std::vector<QTreeWidgetItem*> selected_rows;
  for (const FileShareRecord& share : shares) {
    auto* row = new CListRow;
    const QString name = QString::fromStdString(share.name);
    const bool is_public = share.share_mode == FileShareRecord::kModePublic;
    row->setText(kColName, name);
    row->setIcon(kColName, is_public ? public_icon : auth_icon);
    row->setData(kColType, Qt::UserRole, is_public);
    row->setTextAlignment(kColSize, Qt::AlignRight | Qt::AlignVCenter);
    row->setText(kColShareTime, QString::fromStdString(share.share_time));
    row->setData(kColShareTime, kSortRole, TimeStampKey(row->text(kColShareTime)));
    row->setText(kColUploader, QString::fromStdString(share.uploader));
    row->setText(kColPath, QString::fromStdString(share.path));
    row->setText(kColDescription, QString::fromStdString(share.description));
    ShowPath(row, m_paths.value(row->text(kColPath)));
    if (name == current) current_row = row;
    if (selected.contains(name)) selected_rows.push_back(row);
    rows.append(row);
  }
  setUpdatesEnabled(false);
  clear();
  // Added in one go with sorting on, the rows would come in reverse; sorted once they are in.
  setSortingEnabled(false);
  addTopLevelItems(rows);
  setSortingEnabled(true);
  if (current_row) setCurrentItem(current_row, 0, QItemSelectionModel::NoUpdate);
  for (QTreeWidgetItem* row : selected_rows) row->setSelected(true);
  setUpdatesEnabled(true);
  StartLook();
}

void CShareList::ShowPath(QTreeWidgetItem* row, const PathInfo& info) const {
  const bool is_public = row->data(kColType, Qt::UserRole).toBool();
  const bool missing = info.state == PathState::kMissing;
  row->setText(kColType, UiString(missing     ? res::IDS_SHARE_MISSING
                                  : is_public ? res::IDS_SHARE_PUBLIC
                                              : res::IDS_SHARE_AUTH));
  const bool found = info.state == PathState::kFound;
  row->setText(kColSize, found ? QString::fromStdString(FormatNumber(info.size)) : QString());
  row->setText(kColFileTime, found ? CLogModel::TimeText(info.time) : QString());
  // Unknown sizes and times sort before every known one.
  row->setData(kColSize, kSortRole, found ? static_cast<qlonglong>(info.size) : -1);
  row->setData(kColFileTime, kSortRole, found ? static_cast<qlonglong>(info.time) : -1);
  const QBrush text =
      palette().brush(missing ? QPalette::Disabled : QPalette::Active, QPalette::Text);
  for (int column = 0; column < columnCount(); ++column) row->setForeground(column, text);
}

void CShareList::StartLook() {
  if (m_looking) {
    m_look_again = true;
    return;
  }
  std::vector<std::string> paths;
  for (int row = 0; row < topLevelItemCount(); ++row)
    paths.push_back(topLevelItem(row)->text(kColPath).toStdString());
  m_looking = true;
  // Detached: a look that hangs in the file system must not hold the window when it closes.
  // The answer goes through the application object, which outlives every window.
  std::thread([paths = std::move(paths), list = QPointer<CShareList>(this)]() mutable {
    QHash<QString, PathInfo> found;
    for (const std::string& path : paths) found.insert(QString::fromStdString(path), Look(path));
    QMetaObject::invokeMethod(
        qApp,
        [found = std::move(found), list = std::move(list)] {
          if (list) list->TakeLook(found);
        },
        Qt::QueuedConnection);
  }).detach();
}

void CShareList::TakeLook(const QHash<QString, PathInfo>& found) {
  m_paths = found;
  m_looking = false;
  // Rows sorted by size or time move as they change: all are taken before the first changes.
  QList<QTreeWidgetItem*> rows;
  for (int row = 0; row < topLevelItemCount(); ++row) rows.append(topLevelItem(row));
  for (QTreeWidgetItem* item : rows) ShowPath(item, m_paths.value(item->text(kColPath)));
  if (m_look_again) {
    m_look_again = false;
    StartLook();
    return;
  }
  emit Looked();
}

void CShareList::keyPressEvent(QKeyEvent* event) {
  if (event->matches(QKeySequence::Copy)) {
    event->ignore();
    return;
  }
  QTreeWidget::keyPressEvent(event);
}

QString CShareList::FocusedName() const {
  const QTreeWidgetItem* row = FocusedSelected(this);
  return row ? row->text(kColName) : QString();
}

void CShareList::DeleteSelected() {
  const QList<QTreeWidgetItem*> rows = selectedItems();
  for (QTreeWidgetItem* row : rows) {
    if (row->isHidden()) continue;  // filtered out of sight
    CDlgFileShare::DeleteShare(m_shares, row->text(kColName).toStdString());
    delete row;
  }
}
