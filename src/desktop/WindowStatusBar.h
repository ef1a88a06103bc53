#pragma once

#include "desktop/ExtStatusControlBar.h"

class CLed;
class QLineEdit;

// The window's status bar, left to right: the activity light, the Internet check's progress, the
// status text (stretching; its tip may hold more than one line) and the date and the time.
class CWindowStatusBar : public CExtStatusControlBar {
  Q_OBJECT

 public:
  explicit CWindowStatusBar(QWidget* parent = nullptr);

  CLed* Led() const { return m_led; }
  CExtStatusBarProgressCtrl* Progress() const { return m_progress; }
  QLineEdit* Text() const { return m_text; }
  // Shows the local date and time now.
  void UpdateDateTime();

 private:
  CLed* m_led = nullptr;
  CExtStatusBarProgressCtrl* m_progress = nullptr;
  QLineEdit* m_text = nullptr;
};
