#include "desktop/PlainText.h"

#include <QTextDocument>

namespace tessel::desktop {

QString PlainText(const QString& text) {
  if (!Qt::mightBeRichText(text)) return text;
  // White space kept as it stands, as a plain label would show it.
  return Qt::convertFromPlainText(text, Qt::WhiteSpacePre);
}

}  // namespace tessel::desktop
