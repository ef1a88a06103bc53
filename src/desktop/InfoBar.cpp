#include "desktop/InfoBar.h"

CInfoBar::CInfoBar(QWidget* parent) : QWidget(parent) {}
void CInfoBar::SetText(const QString& text) {
  m_text = text;
}
void CInfoBar::SetBitmap(const QPixmap& bitmap) {
  m_bitmap = bitmap;
}
void CInfoBar::SetQrText(const QString& text) {
  m_qr_text = text;
}
QImage CInfoBar::QrImage(const QString&) {
  return {};
}
QSize CInfoBar::sizeHint() const {
  return {400, 40};
}
QSize CInfoBar::minimumSizeHint() const {
  return {100, 24};
}
void CInfoBar::paintEvent(QPaintEvent*) {}
void CInfoBar::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
}
QRect CInfoBar::QrRect() const {
  return {};
}
