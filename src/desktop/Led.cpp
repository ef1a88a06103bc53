#include "desktop/Led.h"

CLed::CLed(QWidget* parent) : QWidget(parent) {}
void CLed::SetLed(Color color, Mode mode, Shape shape) {
  m_color = color;
  m_mode = mode;
  m_shape = shape;
}
void CLed::SetBlink(int period_ms) {
  m_period = period_ms;
}
QSize CLed::sizeHint() const {
  return {16, 16};
}
void CLed::paintEvent(QPaintEvent*) {}
void CLed::timerEvent(QTimerEvent*) {}
