#include "desktop/WindowPlacement.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>
#include <algorithm>

namespace {

// The window's first size in dialog units; a dialog unit is a quarter of the font's average
// character width across and an eighth of its height.
constexpr QSize kStartUnits(554, 304);

}  // namespace

void CWindowPlacement::PlaceAtStart(QWidget& window, int min_width) {
  const QFontMetrics metrics = window.fontMetrics();
  QSize size(kStartUnits.width() * metrics.averageCharWidth() / 4,
             kStartUnits.height() * metrics.height() / 8);
  size.setWidth(std::max(size.width(), min_width));
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect available = screen->availableGeometry();
    size = size.boundedTo(available.size());
    window.resize(size);
    window.move(available.center() - QPoint(size.width() / 2, size.height() / 2));
  } else {
    window.resize(size);
  }
}
