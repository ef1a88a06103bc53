#pragma once

#include <QBasicTimer>
#include <QWidget>

// A small indicator light. The main window shows server activity with a green round one that
// blinks while connections are being served.
class CLed : public QWidget {
  Q_OBJECT

 public:
  enum class Color { kRed, kGreen, kYellow, kBlue };
  enum class Mode { kOn, kOff, kDisabled };  // bright, dark, grey
  enum class Shape { kRound, kSquare };

  explicit CLed(QWidget* parent = nullptr);

  // Stores the three and redraws at once.
  void SetLed(Color color, Mode mode, Shape shape);
  // A non-zero period (ms) starts blinking when not blinking yet: on at once, then on and off at
  // every tick. Asked again while blinking, the rhythm stays (a new period only replaces the
  // timer's period). 0 stops the blinking and leaves the LED off.
  void SetBlink(int period_ms);

  Color GetColor() const { return m_color; }
  Mode GetMode() const { return m_mode; }
  Shape GetShape() const { return m_shape; }
  bool IsBlinking() const { return m_blink.isActive(); }
  int BlinkPeriod() const { return m_period; }
  // The id of the one blink timer while blinking, else 0.
  int BlinkTimerId() const { return m_blink.isActive() ? m_blink.timerId() : 0; }

  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void timerEvent(QTimerEvent* event) override;

 private:
  Color m_color = Color::kGreen;
  Mode m_mode = Mode::kOff;
  Shape m_shape = Shape::kRound;
  int m_period = 0;
  QBasicTimer m_blink;
};
