#include "desktop/WindowStatusBar.h"

#include <QLineEdit>
#include <ctime>

#include "desktop/Led.h"
#include "desktop/LogModel.h"

namespace {

// Panes, left to right.
constexpr int kPaneLed = 100;
constexpr int kPaneProgress = 101;
constexpr int kPaneText = 102;
constexpr int kPaneDate = 103;
constexpr int kPaneTime = 104;

}  // namespace

CWindowStatusBar::CWindowStatusBar(QWidget* parent) : CExtStatusControlBar(parent) {
  const int ids[] = {kPaneLed, kPaneProgress, kPaneText, kPaneDate, kPaneTime};
  for (int position = 0; position < 5; ++position) AddPane(ids[position], position);
  const int clock_width = std::max(70, fontMetrics().horizontalAdvance(" 0000-00-00 ") + 8);
  SetPaneWidth(kPaneLed, 20);
  SetPaneWidth(kPaneProgress, 90);
  SetPaneStyle(kPaneText, kPaneStretch);
  SetPaneWidth(kPaneDate, clock_width);
  SetPaneWidth(kPaneTime, clock_width);

  m_led = new CLed;
  m_led->SetLed(CLed::Color::kGreen, CLed::Mode::kOff, CLed::Shape::kRound);
  AddPaneControl(m_led, kPaneLed, true);
  m_progress = new CExtStatusBarProgressCtrl;
  m_progress->setRange(0, 10);
  m_progress->SetStep(1);
  m_progress->setValue(0);
  AddPaneControl(m_progress, kPaneProgress, true);
  m_text = new QLineEdit;
  m_text->setObjectName("statusText");
  m_text->setReadOnly(true);
  m_text->setFrame(false);
  m_text->setFocusPolicy(Qt::ClickFocus);
  m_text->setStyleSheet("QLineEdit { background: transparent; }");
  AddPaneControl(m_text, kPaneText, true);
}

void CWindowStatusBar::UpdateDateTime() {
  const QString stamp = CLogModel::TimeText(std::time(nullptr));  // "%Y-%m-%d %H:%M:%S"
  SetPaneText(kPaneDate, ' ' + stamp.left(10) + ' ');
  SetPaneText(kPaneTime, ' ' + stamp.mid(11) + ' ');
}
