#include "desktop/InfoBar.h"

#include <qrencode.h>

#include <QEvent>
#include <QFontDatabase>
#include <QPainter>
#include <algorithm>

#include "desktop/PlainText.h"
#include "desktop/UiString.h"
#include "res/StringIds.h"

namespace {

constexpr int kMargin = 4;
constexpr int kQuietZone = 4;     // modules of white around the code, as readers expect
constexpr int kModulePixels = 2;  // the least a phone reads from a screen reliably

QFont CaptionFont() {
  QFont font = QFontDatabase::systemFont(QFontDatabase::TitleFont);
  font.setBold(true);
  return font;
}

}  // namespace

CInfoBar::CInfoBar(QWidget* parent) : QWidget(parent) {
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  setFont(CaptionFont());
  m_text = tessel::desktop::UiString(tessel::res::IDS_INFO_CAPTION);
}

void CInfoBar::SetText(const QString& text) {
  if (text == m_text) return;
  m_text = text;
  update();
}

void CInfoBar::SetBitmap(const QPixmap& bitmap) {
  m_bitmap = bitmap;
  updateGeometry();
  update();
}

void CInfoBar::SetQrText(const QString& text) {
  if (text == m_qr_text) return;
  m_qr_text = text;
  m_qr = QrImage(text);
  setToolTip(m_qr.isNull()
                 ? QString()
                 : tessel::desktop::PlainText(
                       tessel::desktop::UiString(tessel::res::IDS_INFO_QR_TIP).arg(text)));
  updateGeometry();
  update();
}

QImage CInfoBar::QrImage(const QString& text) {
  if (text.isEmpty()) return {};
  const QByteArray bytes = text.toUtf8();
  // Level M survives a smudged or glaring screen; a URL still fits a small version.
  QRcode* code = QRcode_encodeString8bit(bytes.constData(), 0, QR_ECLEVEL_M);
  if (!code) return {};
  const int width = code->width;
  const int side = width + 2 * kQuietZone;
  QImage image(side, side, QImage::Format_RGB32);
  image.fill(Qt::white);
  for (int y = 0; y < width; ++y) {
    for (int x = 0; x < width; ++x) {
      // The least significant bit of each module byte says dark.
      if (code->data[y * width + x] & 1) image.setPixel(x + kQuietZone, y + kQuietZone, 0xff000000);
    }
  }
  QRcode_free(code);
  return image;
}

QSize CInfoBar::sizeHint() const {
  const int text_height = fontMetrics().height() + 2 * kMargin + 4;
  int height = std::max(text_height, m_bitmap.isNull() ? 0 : m_bitmap.height() + 2 * kMargin);
  if (!m_qr.isNull()) height = std::max(height, m_qr.height() * kModulePixels + 2 * kMargin);
  return {fontMetrics().horizontalAdvance(m_text) + 2 * kMargin + height, height};
}

QSize CInfoBar::minimumSizeHint() const {
  return {100, sizeHint().height()};
}

void CInfoBar::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  // The button-shadow colour, darkened where a light theme makes white text hard to read.
  QColor background = palette().color(QPalette::Dark);
  while (background.lightness() > 110) background = background.darker(115);
  painter.fillRect(rect(), background);

  int right = width() - kMargin;
  const QRect code = QrRect();
  if (!code.isEmpty()) {
    // Whole pixels per module: a smoothed code blurs its edges and reads worse.
    painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
    painter.drawImage(code, m_qr);
    right = code.left() - kMargin;
  }
  if (!m_bitmap.isNull()) {
    const QSize size = m_bitmap.deviceIndependentSize().toSize();
    const QRect box(right - size.width(), (height() - size.height()) / 2, size.width(),
                    size.height());
    painter.drawPixmap(box, m_bitmap);
    right = box.left() - kMargin;
  }
  const QRect text_box(kMargin + 2, 0, right - kMargin - 2, height());
  painter.setPen(Qt::white);
  const int lines = std::max(1, text_box.height() / fontMetrics().lineSpacing());
  if (lines > 1 && fontMetrics().horizontalAdvance(m_text) > text_box.width()) {
    painter.drawText(text_box,
                     Qt::AlignVCenter | Qt::AlignLeft | Qt::TextWordWrap | Qt::TextWrapAnywhere,
                     m_text);
  } else {
    painter.drawText(text_box, Qt::AlignVCenter | Qt::AlignLeft,
                     fontMetrics().elidedText(m_text, Qt::ElideMiddle, text_box.width()));
  }
}

void CInfoBar::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::FontChange) updateGeometry();
}

QRect CInfoBar::QrRect() const {
  if (m_qr.isNull()) return {};
  const int available = height() - 2 * kMargin;
  const int module = std::max(1, available / m_qr.height());
  const int side = m_qr.height() * module;
  return {width() - kMargin - side, (height() - side) / 2, side, side};
}
