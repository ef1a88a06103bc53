#include "desktop/Led.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTimerEvent>

#include "desktop/OffscreenApp.h"

namespace {

// One tick of the LED's blink timer, delivered at once instead of waiting for it.
void Tick(CLed& led, int timer_id) {
  QTimerEvent tick(timer_id);
  QCoreApplication::sendEvent(&led, &tick);
}

TEST(Led, BlinkingTwiceKeepsOneTimerAndOneRhythm) {
  tessel::test::OffscreenApp();
  CLed led;
  led.SetLed(CLed::Color::kGreen, CLed::Mode::kOff, CLed::Shape::kRound);
  EXPECT_FALSE(led.IsBlinking());

  led.SetBlink(1000);
  ASSERT_TRUE(led.IsBlinking());
  EXPECT_EQ(led.GetMode(), CLed::Mode::kOn) << "blinking starts lit";
  const int timer = led.BlinkTimerId();
  Tick(led, timer);
  EXPECT_EQ(led.GetMode(), CLed::Mode::kOff);

  // The main window asks again every second while connections are served.
  led.SetBlink(1000);
  EXPECT_EQ(led.BlinkTimerId(), timer);
  EXPECT_EQ(led.GetMode(), CLed::Mode::kOff) << "asking again must not restart the rhythm";
  Tick(led, timer);
  EXPECT_EQ(led.GetMode(), CLed::Mode::kOn);

  // A timer that is not the blink timer does not flip it.
  Tick(led, timer + 1000);
  EXPECT_EQ(led.GetMode(), CLed::Mode::kOn);

  led.SetBlink(0);
  EXPECT_FALSE(led.IsBlinking());
  EXPECT_EQ(led.BlinkTimerId(), 0);
  EXPECT_EQ(led.GetMode(), CLed::Mode::kOff);
  EXPECT_EQ(led.GetColor(), CLed::Color::kGreen);
  EXPECT_EQ(led.GetShape(), CLed::Shape::kRound);
}

TEST(Led, BlinksOnItsOwnWithTheEventLoop) {
  tessel::test::OffscreenApp();
  CLed led;
  led.SetBlink(5);
  int flips = 0;
  CLed::Mode last = led.GetMode();
  QElapsedTimer waited;
  waited.start();
  // Generous: it only needs a few ticks of a 5 ms timer to arrive at all.
  while (flips < 3 && waited.elapsed() < 10000) {
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    if (led.GetMode() != last) {
      ++flips;
      last = led.GetMode();
    }
  }
  EXPECT_GE(flips, 3);
}

TEST(Led, PaintsEachColourShapeAndMode) {
  tessel::test::OffscreenApp();
  CLed led;
  led.resize(16, 16);
  led.SetLed(CLed::Color::kRed, CLed::Mode::kOn, CLed::Shape::kSquare);
  const QImage on = led.grab().toImage();
  led.SetLed(CLed::Color::kRed, CLed::Mode::kOff, CLed::Shape::kSquare);
  const QImage off = led.grab().toImage();
  const QColor lit = on.pixelColor(8, 8);
  const QColor dark = off.pixelColor(8, 8);
  EXPECT_GT(lit.red(), 200);
  EXPECT_GT(lit.red(), lit.green());
  EXPECT_LT(dark.lightness(), lit.lightness());
}

}  // namespace
