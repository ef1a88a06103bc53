#include "desktop/GfxGroupEdit.h"

CGfxGroupEdit::CGfxGroupEdit(QWidget* parent, Kind kind, int index, const QString& text,
                             const QRect& start, const QRect& bounds)
    : QLineEdit(text, parent), m_kind(kind), m_index(index), m_start(start), m_bounds(bounds) {}
void CGfxGroupEdit::Close() {}
void CGfxGroupEdit::keyPressEvent(QKeyEvent* event) {
  QLineEdit::keyPressEvent(event);
}
void CGfxGroupEdit::focusOutEvent(QFocusEvent* event) {
  QLineEdit::focusOutEvent(event);
}
void CGfxGroupEdit::FitToText() {}
