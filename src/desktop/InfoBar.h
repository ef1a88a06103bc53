#pragma once

#include <QImage>
#include <QPixmap>
#include <QString>
#include <QWidget>

// The caption bar over the lists: one line of white text on the button-shadow colour, with an
// optional picture and a QR code of an address at its right end, so a phone can open the address
// by its camera.
class CInfoBar : public QWidget {
  Q_OBJECT

 public:
  // Starts with the product caption of the string table.
  explicit CInfoBar(QWidget* parent = nullptr);

  // Redraws only when the text differs.
  void SetText(const QString& text);
  const QString& GetText() const { return m_text; }
  // A picture drawn left of the QR code; a null pixmap removes it.
  void SetBitmap(const QPixmap& bitmap);
  // The address the QR code carries; empty removes the code. Redraws only when it differs.
  void SetQrText(const QString& text);
  const QString& GetQrText() const { return m_qr_text; }

  // The QR code of text, one pixel per module with a quiet zone of four modules, black on white;
  // a null image when text is empty or cannot be encoded.
  static QImage QrImage(const QString& text);

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  QRect QrRect() const;

  QString m_text;
  QPixmap m_bitmap;
  QString m_qr_text;
  QImage m_qr;
};
