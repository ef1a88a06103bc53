#include "desktop/ExtStatusControlBar.h"

CExtStatusBarProgressCtrl::CExtStatusBarProgressCtrl(QWidget* parent) : QProgressBar(parent) {}
void CExtStatusBarProgressCtrl::StepIt() {}

CExtStatusControlBar::CExtStatusControlBar(QWidget* parent) : QWidget(parent) {}
CExtStatusControlBar::~CExtStatusControlBar() = default;
bool CExtStatusControlBar::AddPane(int, int) {
  return false;
}
bool CExtStatusControlBar::RemovePane(int) {
  return false;
}
bool CExtStatusControlBar::SetPaneWidth(int, int) {
  return false;
}
bool CExtStatusControlBar::SetPaneStyle(int, unsigned) {
  return false;
}
bool CExtStatusControlBar::SetPaneText(int, const QString&) {
  return false;
}
bool CExtStatusControlBar::GetPaneInfo(int, PaneInfo&) const {
  return false;
}
int CExtStatusControlBar::CommandToIndex(int) const {
  return -1;
}
QRect CExtStatusControlBar::PaneRect(int) const {
  return {};
}
bool CExtStatusControlBar::AddPaneControl(QWidget*, int, bool) {
  return false;
}
QSize CExtStatusControlBar::sizeHint() const {
  return {200, 24};
}
QSize CExtStatusControlBar::minimumSizeHint() const {
  return {0, 24};
}
void CExtStatusControlBar::paintEvent(QPaintEvent*) {}
void CExtStatusControlBar::resizeEvent(QResizeEvent*) {}
void CExtStatusControlBar::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
}
void CExtStatusControlBar::LayoutControls() {}
std::vector<QRect> CExtStatusControlBar::PaneRects() const {
  return {};
}
int CExtStatusControlBar::EdgeWidth() const {
  return 1;
}
