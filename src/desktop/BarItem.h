#pragma once

#include <QString>
#include <QtGlobal>

// One item of an out-bar folder: a text under (or beside) an icon of the bar's image list.
class CBarItem {
 public:
  CBarItem(const QString& text, int image, quintptr data)
      : m_text(text), m_image(image), m_data(data) {}

  const QString& GetText() const { return m_text; }
  void SetText(const QString& text) { m_text = text; }
  // Index into the bar's image list; -1 or an index past the list draws no icon.
  int GetImage() const { return m_image; }
  void SetImage(int image) { m_image = image; }
  // The caller's own value, never looked at by the bar.
  quintptr GetData() const { return m_data; }
  void SetData(quintptr data) { m_data = data; }

 private:
  QString m_text;
  int m_image;
  quintptr m_data;
};
