#include "desktop/GfxGroupEdit.h"

#include <QFocusEvent>
#include <QKeyEvent>
#include <algorithm>

CGfxGroupEdit::CGfxGroupEdit(QWidget* parent, Kind kind, int index, const QString& text,
                             const QRect& start, const QRect& bounds)
    : QLineEdit(text, parent),
      m_kind(kind),
      m_index(index),
      m_start(start.intersected(bounds)),
      m_bounds(bounds) {
  if (m_kind == Kind::kItem) setAlignment(Qt::AlignHCenter);
  setGeometry(m_start);
  selectAll();
  connect(this, &QLineEdit::textChanged, this, &CGfxGroupEdit::FitToText);
  FitToText();
}

void CGfxGroupEdit::Close() {
  if (m_closed) return;
  m_closed = true;
  const QString value = text();
  if (!m_cancelled && !value.isEmpty()) emit EditEnded(m_kind, m_index, value);
  hide();
  deleteLater();
}

void CGfxGroupEdit::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
      Close();
      return;
    case Qt::Key_Escape:
      m_cancelled = true;
      Close();
      return;
    default:
      QLineEdit::keyPressEvent(event);
  }
}

void CGfxGroupEdit::focusOutEvent(QFocusEvent* event) {
  QLineEdit::focusOutEvent(event);
  // The editor's own context menu (cut, copy, paste) takes the focus for a moment only.
  if (event->reason() != Qt::PopupFocusReason) Close();
}

void CGfxGroupEdit::FitToText() {
  if (m_closed) return;
  const QMargins margins = textMargins() + contentsMargins();
  // Room for the cursor and the frame beside the text itself.
  const int wanted =
      fontMetrics().horizontalAdvance(text()) + margins.left() + margins.right() + 12;
  const int width =
      std::clamp(wanted, m_start.width(), std::max(m_start.width(), m_bounds.width()));
  QRect box(m_start.left(), m_start.top(), width, m_start.height());
  if (m_kind == Kind::kItem) box.moveCenter(QPoint(m_start.center().x(), m_start.center().y()));
  // Keep inside the bar: slide back from whichever side it crossed.
  if (box.right() > m_bounds.right()) box.moveRight(m_bounds.right());
  if (box.left() < m_bounds.left()) box.moveLeft(m_bounds.left());
  setGeometry(box);
}
