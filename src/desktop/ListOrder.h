#pragma once

#include <QSortFilterProxyModel>
#include <QString>
#include <QVariant>

class QTreeView;

// How the window's lists sort when the owner clicks a column heading: the first click on a column
// sorts it ascending, the next one descending, and so on. Until the first click a list keeps the
// order its rows came in.
namespace tessel::desktop {

// The role of a cell's sort key, where its text would sort wrongly: a number (a size) or a time
// (seconds since the epoch). Cells without one sort by their text.
constexpr int kSortRole = Qt::UserRole + 1;

// Whether the cell (key, text) sorts before the other: by the keys when both have one, else by
// the texts as people read them (letter case aside, "file9" before "file10").
bool SortsBefore(const QVariant& key, const QString& text, const QVariant& other_key,
                 const QString& other_text);

// Lets the owner sort list by a click on a column heading.
void SortByHeading(QTreeView* list);

// The sort key of a time stamp "yyyy-MM-dd HH:mm:ss" in local time; invalid when text is none.
QVariant TimeStampKey(const QString& text);

}  // namespace tessel::desktop

// The rows of a model sorted as SortsBefore says, and only those whose filter column holds the
// filter text (in any letter case).
class CListOrderProxy : public QSortFilterProxyModel {
  Q_OBJECT

 public:
  using QSortFilterProxyModel::QSortFilterProxyModel;

 protected:
  bool lessThan(const QModelIndex& left, const QModelIndex& right) const override;
};
