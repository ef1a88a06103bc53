#pragma once

#include <QTreeWidget>
#include <QTreeWidgetItem>

class QTreeView;

// The report-style look the window's lists share: whole rows selected, several at a time, no
// editing in place, movable columns, the context menu left to the window.
void SetUpReportList(QTreeView* list);

// A list row whose tip is its text, so a cut-off cell can be read by pointing at it; shown as
// plain text whatever it holds. Rows sort by the sort keys of their cells where they have one
// (tessel::desktop::kSortRole), else by their texts.
class CListRow : public QTreeWidgetItem {
 public:
  using QTreeWidgetItem::QTreeWidgetItem;
  QVariant data(int column, int role) const override;
  bool operator<(const QTreeWidgetItem& other) const override;
};

// The row of list that is both current and selected, or nullptr.
QTreeWidgetItem* FocusedSelected(const QTreeWidget* list);
