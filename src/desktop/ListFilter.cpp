#include "desktop/ListFilter.h"

#include <QKeyEvent>
#include <QTreeView>
#include <QTreeWidget>

#include "desktop/UiString.h"
#include "res/StringIds.h"

CListFilter::CListFilter(QWidget* parent) : QLineEdit(parent) {
  setObjectName("filter");
  setPlaceholderText(tessel::desktop::UiString(tessel::res::IDS_FILTER_HINT));
  setClearButtonEnabled(true);
  hide();
}

void CListFilter::Open() {
  show();
  setFocus(Qt::ShortcutFocusReason);
  selectAll();
}

bool CListFilter::Close() {
  if (isHidden()) return false;
  clear();
  hide();
  emit Left();
  return true;
}

void CListFilter::FilterRows(QTreeWidget* list, int column, const QString& text) {
  for (int row = 0; row < list->topLevelItemCount(); ++row) {
    QTreeWidgetItem* item = list->topLevelItem(row);
    const bool hidden = !text.isEmpty() && !item->text(column).contains(text, Qt::CaseInsensitive);
    item->setHidden(hidden);
    if (hidden) item->setSelected(false);
  }
}

void CListFilter::FilterRows(QTreeView* list, int column, const QString& text) {
  const QAbstractItemModel* model = list->model();
  for (int row = 0; row < model->rowCount(); ++row) {
    const QModelIndex cell = model->index(row, column);
    const bool hidden =
        !text.isEmpty() && !cell.data().toString().contains(text, Qt::CaseInsensitive);
    list->setRowHidden(row, QModelIndex(), hidden);
    if (hidden && list->selectionModel())
      list->selectionModel()->select(cell,
                                     QItemSelectionModel::Deselect | QItemSelectionModel::Rows);
  }
}

void CListFilter::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Escape:
      Close();
      return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Down:
      emit Left();
      return;
    default:
      QLineEdit::keyPressEvent(event);
  }
}
