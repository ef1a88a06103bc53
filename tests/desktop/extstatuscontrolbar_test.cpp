#include "desktop/ExtStatusControlBar.h"

#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPointer>

#include "desktop/Led.h"
#include "desktop/OffscreenApp.h"

namespace {

// The main window's bar: LED, progress, text (stretching), date, time.
struct MainWindowBar {
  MainWindowBar() {
    for (int id = 100; id <= 104; ++id) EXPECT_TRUE(bar.AddPane(id, id - 100));
    bar.SetPaneWidth(100, 20);
    bar.SetPaneWidth(101, 90);
    bar.SetPaneStyle(102, CExtStatusControlBar::kPaneStretch);
    bar.SetPaneWidth(103, 70);
    bar.SetPaneWidth(104, 70);
    bar.resize(600, 24);
    bar.show();  // a hidden widget gets its resize events only when shown
    led = new CLed;
    progress = new CExtStatusBarProgressCtrl;
    text = new QLineEdit;
    EXPECT_TRUE(bar.AddPaneControl(led, 100, true));
    EXPECT_TRUE(bar.AddPaneControl(progress, 101, true));
    EXPECT_TRUE(bar.AddPaneControl(text, 102, false));
  }

  CExtStatusControlBar bar;
  QPointer<CLed> led;
  QPointer<CExtStatusBarProgressCtrl> progress;
  QPointer<QLineEdit> text;
};

TEST(ExtStatusControlBar, RefusesAControlForAnUnknownPane) {
  tessel::test::OffscreenApp();
  MainWindowBar main;
  QLineEdit stray;
  EXPECT_FALSE(main.bar.AddPaneControl(&stray, 105, false));
  EXPECT_NE(stray.parentWidget(), &main.bar) << "a refused control is left where it was";
  EXPECT_FALSE(main.bar.AddPaneControl(nullptr, 100, false));
  EXPECT_FALSE(main.bar.AddPane(102, 0)) << "ids are unique";
  EXPECT_FALSE(main.bar.AddPane(200, 6)) << "past the end";
  EXPECT_FALSE(main.bar.AddPane(200, -1));
  EXPECT_FALSE(main.bar.SetPaneText(99, "x"));
  CExtStatusControlBar::PaneInfo info;
  info.id = -7;
  EXPECT_FALSE(main.bar.GetPaneInfo(99, info));
  EXPECT_EQ(info.id, -7);
}

TEST(ExtStatusControlBar, HostedControlsStayInsideTheirPanesWhenResized) {
  tessel::test::OffscreenApp();
  MainWindowBar main;
  for (int width : {600, 900, 320, 750}) {
    main.bar.resize(width, 26);
    SCOPED_TRACE(width);
    EXPECT_EQ(main.bar.PaneRect(100).width(), 20);
    EXPECT_EQ(main.bar.PaneRect(101).width(), 90);
    // The text pane takes what the fixed panes and the gaps leave.
    EXPECT_EQ(main.bar.PaneRect(102).width(), std::max(0, width - 20 - 90 - 70 - 70 - 4 * 2));
    EXPECT_EQ(main.bar.PaneRect(104).right(), std::max(width, 20 + 90 + 70 + 70 + 4 * 2) - 1);
    const QRect panes[] = {main.bar.PaneRect(100), main.bar.PaneRect(101), main.bar.PaneRect(102)};
    const QWidget* controls[] = {main.led, main.progress, main.text};
    for (int i = 0; i < 3; ++i) {
      const QRect inner = panes[i].adjusted(1, 1, -1, -1);
      EXPECT_EQ(controls[i]->geometry(), inner) << "pane " << i;
    }
  }
  // Panes after the stretching one keep their order and widths.
  EXPECT_LT(main.bar.PaneRect(102).right(), main.bar.PaneRect(103).left());
  EXPECT_EQ(main.bar.CommandToIndex(103), 3);
}

TEST(ExtStatusControlBar, PaneInfoAndTexts) {
  tessel::test::OffscreenApp();
  MainWindowBar main;
  EXPECT_TRUE(main.bar.SetPaneText(103, " 2024-05-01 "));
  CExtStatusControlBar::PaneInfo info;
  ASSERT_TRUE(main.bar.GetPaneInfo(103, info));
  EXPECT_EQ(info.id, 103);
  EXPECT_EQ(info.width, 70);
  EXPECT_EQ(info.text, " 2024-05-01 ");
  ASSERT_TRUE(main.bar.GetPaneInfo(102, info));
  EXPECT_EQ(info.style, CExtStatusControlBar::kPaneStretch);
  // A pane without border puts its control 1 pixel in at top and bottom.
  main.bar.SetPaneStyle(100, CExtStatusControlBar::kPaneNoBorders);
  EXPECT_EQ(main.led->geometry(), main.bar.PaneRect(100).adjusted(1, 1, -1, -1));
}

TEST(ExtStatusControlBar, RemovingAPaneHidesItsControlAndDestroysItWhenAsked) {
  tessel::test::OffscreenApp();
  MainWindowBar main;
  main.bar.show();
  EXPECT_TRUE(main.text->isVisible());
  EXPECT_TRUE(main.bar.RemovePane(102));
  ASSERT_FALSE(main.text.isNull()) << "added without auto-destroy: kept";
  EXPECT_FALSE(main.text->isVisible());
  EXPECT_TRUE(main.bar.RemovePane(100));
  EXPECT_TRUE(main.led.isNull()) << "added with auto-destroy: deleted";
  EXPECT_FALSE(main.bar.RemovePane(100));
  EXPECT_EQ(main.bar.PaneCount(), 3);
  EXPECT_EQ(main.bar.CommandToIndex(101), 0);

  // A control its owner deletes leaves the bar's list: later layouts do not touch it.
  delete main.progress.data();
  main.bar.resize(700, 24);
  main.bar.SetPaneWidth(101, 50);
  delete main.text.data();
}

TEST(ExtStatusControlBar, ProgressStepsAndStartsOverPastTheEnd) {
  tessel::test::OffscreenApp();
  CExtStatusBarProgressCtrl progress;
  progress.setRange(0, 10);
  progress.setValue(0);
  progress.SetStep(4);
  progress.StepIt();
  progress.StepIt();
  EXPECT_EQ(progress.value(), 8);
  progress.StepIt();
  EXPECT_EQ(progress.value(), 0);
  progress.SetStep(1);
  progress.StepIt();
  EXPECT_EQ(progress.value(), 1);
}

}  // namespace
