#include "desktop/GfxOutBarCtrl.h"

CGfxOutBarCtrl::CGfxOutBarCtrl(QWidget* parent, unsigned flags) : QWidget(parent), m_flags(flags) {}
CGfxOutBarCtrl::~CGfxOutBarCtrl() = default;
void CGfxOutBarCtrl::SetFlags(unsigned flags) {
  m_flags = flags;
}
void CGfxOutBarCtrl::SetImageList(const QList<QIcon>&, int, QSize) {}
int CGfxOutBarCtrl::AddFolder(const QString&, quintptr) {
  return -1;
}
bool CGfxOutBarCtrl::RemoveFolder(int) {
  return false;
}
CBarFolder* CGfxOutBarCtrl::GetFolder(int) {
  return nullptr;
}
int CGfxOutBarCtrl::InsertItem(int, int, const QString&, int, quintptr) {
  return -1;
}
bool CGfxOutBarCtrl::RemoveItem(int) {
  return false;
}
void CGfxOutBarCtrl::SetSelFolder(int) {}
void CGfxOutBarCtrl::SetSelectedItem(int index) {
  m_selected = index;
}
void CGfxOutBarCtrl::SetTimerPeriod(int) {}
bool CGfxOutBarCtrl::StartItemEdit(int) {
  return false;
}
bool CGfxOutBarCtrl::StartFolderEdit(int) {
  return false;
}
QRect CGfxOutBarCtrl::ItemRect(int) const {
  return {};
}
QRect CGfxOutBarCtrl::FolderRect(int) const {
  return {};
}
QSize CGfxOutBarCtrl::sizeHint() const {
  return {110, 300};
}
QSize CGfxOutBarCtrl::minimumSizeHint() const {
  return {60, 100};
}
void CGfxOutBarCtrl::paintEvent(QPaintEvent*) {}
void CGfxOutBarCtrl::mousePressEvent(QMouseEvent*) {}
void CGfxOutBarCtrl::mouseMoveEvent(QMouseEvent*) {}
void CGfxOutBarCtrl::mouseReleaseEvent(QMouseEvent*) {}
void CGfxOutBarCtrl::mouseDoubleClickEvent(QMouseEvent*) {}
void CGfxOutBarCtrl::wheelEvent(QWheelEvent*) {}
void CGfxOutBarCtrl::keyPressEvent(QKeyEvent*) {}
void CGfxOutBarCtrl::leaveEvent(QEvent*) {}
void CGfxOutBarCtrl::resizeEvent(QResizeEvent*) {}
void CGfxOutBarCtrl::contextMenuEvent(QContextMenuEvent*) {}
void CGfxOutBarCtrl::timerEvent(QTimerEvent*) {}
