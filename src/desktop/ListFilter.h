#pragma once

#include <QLineEdit>

class QTreeView;
class QTreeWidget;

// The field that filters the list in front by name (Ctrl+F): hidden until opened; Enter goes on
// to the list, Escape clears and hides it.
class CListFilter : public QLineEdit {
  Q_OBJECT

 public:
  explicit CListFilter(QWidget* parent = nullptr);

  // Shows the field with the keyboard in it.
  void Open();
  // Clears and hides the field; false when it was not open.
  bool Close();

  // Hides the rows of list whose column does not hold text (in any letter case), deselecting
  // them so that no command acts on a row out of sight; an empty text shows every row.
  static void FilterRows(QTreeWidget* list, int column, const QString& text);
  // The same for the rows of a list over a flat model.
  static void FilterRows(QTreeView* list, int column, const QString& text);

 signals:
  // The keyboard goes back to the list.
  void Left();

 protected:
  void keyPressEvent(QKeyEvent* event) override;
};
