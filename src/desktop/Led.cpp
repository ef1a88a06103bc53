#include "desktop/Led.h"

#include <QPainter>
#include <QRadialGradient>
#include <QTimerEvent>

namespace {

QColor BrightColor(CLed::Color color) {
  switch (color) {
    case CLed::Color::kRed:
      return QColor(255, 40, 40);
    case CLed::Color::kGreen:
      return QColor(40, 230, 60);
    case CLed::Color::kYellow:
      return QColor(255, 220, 40);
    case CLed::Color::kBlue:
      return QColor(60, 130, 255);
  }
  return Qt::gray;
}

}  // namespace

CLed::CLed(QWidget* parent) : QWidget(parent) {
  setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void CLed::SetLed(Color color, Mode mode, Shape shape) {
  m_color = color;
  m_mode = mode;
  m_shape = shape;
  repaint();
}

void CLed::SetBlink(int period_ms) {
  if (period_ms <= 0) {
    m_blink.stop();
    m_period = 0;
    m_mode = Mode::kOff;
    repaint();
    return;
  }
  if (m_blink.isActive()) {
    // Already blinking: keep the rhythm; a new period replaces the one timer's period.
    if (period_ms != m_period) m_blink.start(period_ms, this);
    m_period = period_ms;
    return;
  }
  m_period = period_ms;
  m_mode = Mode::kOn;
  m_blink.start(period_ms, this);
  repaint();
}

QSize CLed::sizeHint() const {
  return {16, 16};
}

void CLed::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const int side = std::min(width(), height()) - 2;
  if (side <= 2) return;
  const QRectF box((width() - side) / 2.0, (height() - side) / 2.0, side, side);

  QColor base = BrightColor(m_color);
  if (m_mode == Mode::kOff) base = base.darker(330);
  if (m_mode == Mode::kDisabled) base = QColor(150, 150, 150);
  QRadialGradient light(box.center() - QPointF(side / 5.0, side / 5.0), side * 0.75);
  light.setColorAt(0, m_mode == Mode::kOn ? base.lighter(170) : base.lighter(130));
  light.setColorAt(1, base);

  painter.setPen(QPen(base.darker(180), 1));
  painter.setBrush(light);
  if (m_shape == Shape::kRound) {
    painter.drawEllipse(box);
  } else {
    painter.drawRoundedRect(box, 2, 2);
  }
}

void CLed::timerEvent(QTimerEvent* event) {
  if (event->timerId() != m_blink.timerId()) {
    QWidget::timerEvent(event);
    return;
  }
  m_mode = m_mode == Mode::kOn ? Mode::kOff : Mode::kOn;
  update();
}
