#include "desktop/ReportList.h"

#include <QHeaderView>
#include <QTreeView>

#include "desktop/ListOrder.h"
#include "desktop/PlainText.h"

void SetUpReportList(QTreeView* list) {
  list->setRootIsDecorated(false);
  list->setItemsExpandable(false);
  list->setUniformRowHeights(true);
  list->setAlternatingRowColors(true);
  list->setSelectionMode(QAbstractItemView::ExtendedSelection);
  list->setSelectionBehavior(QAbstractItemView::SelectRows);
  list->setAllColumnsShowFocus(true);
  list->setEditTriggers(QAbstractItemView::NoEditTriggers);
  list->setTextElideMode(Qt::ElideRight);
  list->header()->setSectionsMovable(true);
  list->header()->setStretchLastSection(true);
  list->header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  list->setContextMenuPolicy(Qt::CustomContextMenu);
}

QVariant CListRow::data(int column, int role) const {
  if (role == Qt::ToolTipRole)
    return tessel::desktop::PlainText(QTreeWidgetItem::data(column, Qt::DisplayRole).toString());
  return QTreeWidgetItem::data(column, role);
}

bool CListRow::operator<(const QTreeWidgetItem& other) const {
  const int column = treeWidget() ? treeWidget()->sortColumn() : 0;
  using tessel::desktop::kSortRole;
  return tessel::desktop::SortsBefore(data(column, kSortRole), text(column),
                                      other.data(column, kSortRole), other.text(column));
}

QTreeWidgetItem* FocusedSelected(const QTreeWidget* list) {
  QTreeWidgetItem* item = list->currentItem();
  return item && item->isSelected() ? item : nullptr;
}
