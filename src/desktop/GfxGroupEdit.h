#pragma once

#include <QLineEdit>
#include <QRect>

// The in-place editor the out bar puts over an item's text or a folder's caption. Enter ends the
// edit, Escape ends it cancelled, and losing the focus closes it; on closing, unless cancelled
// and when the text is not empty, it emits EditEnded once. It then deletes itself. While the
// person types it widens to fit the text, never past its bounds.
class CGfxGroupEdit : public QLineEdit {
  Q_OBJECT

 public:
  enum class Kind { kItem, kFolder };

  // start is where the editor opens (in parent's coordinates), bounds what it may grow into.
  CGfxGroupEdit(QWidget* parent, Kind kind, int index, const QString& text, const QRect& start,
                const QRect& bounds);

  Kind GetKind() const { return m_kind; }
  // The item's index in the current folder, or the folder's index.
  int GetIndex() const { return m_index; }
  bool IsCancelled() const { return m_cancelled; }

  // Closes the editor as losing the focus does.
  void Close();

 signals:
  void EditEnded(CGfxGroupEdit::Kind kind, int index, const QString& text);

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;

 private:
  void FitToText();

  Kind m_kind;
  int m_index;
  QRect m_start;
  QRect m_bounds;
  bool m_cancelled = false;
  bool m_closed = false;
};
