#include "desktop/WindowPlacement.h"

#include <QByteArray>
#include <QGuiApplication>
#include <QHeaderView>
#include <QScreen>
#include <QStringList>
#include <QTreeView>
#include <QWidget>
#include <algorithm>

#include "store/DataSystem.h"

namespace {

// The window's first size in dialog units; a dialog unit is a quarter of the font's average
// character width across and an eighth of its height.
constexpr QSize kStartUnits(554, 304);
// Column widths beyond this are taken for a damaged setting.
constexpr int kMaxColumnWidth = 10000;

}  // namespace

CWindowPlacement::CWindowPlacement(QWidget& window, CDataSystem& settings,
                                   std::vector<std::pair<QTreeView*, std::string>> lists)
    : m_window(window), m_settings(settings), m_lists(std::move(lists)) {}

void CWindowPlacement::Restore(int min_width) {
  const QByteArray geometry =
      QByteArray::fromBase64(QByteArray::fromStdString(m_settings.GetParam(kGeometrySetting)));
  // Qt's own record of the place and size, which also moves a window off every screen back on.
  if (geometry.isEmpty() || !m_window.restoreGeometry(geometry)) PlaceAtStart(m_window, min_width);
  for (const auto& [list, setting] : m_lists) {
    const QStringList widths = QString::fromStdString(m_settings.GetParam(setting)).split(',');
    for (int column = 0; column < std::min<int>(widths.size(), list->header()->count()); ++column) {
      bool number = false;
      const int width = widths[column].trimmed().toInt(&number);
      if (number && width > 0 && width <= kMaxColumnWidth) list->setColumnWidth(column, width);
    }
  }
}

void CWindowPlacement::Save() {
  m_settings.SetParam(kGeometrySetting, m_window.saveGeometry().toBase64().toStdString());
  for (const auto& [list, setting] : m_lists) {
    QStringList widths;
    for (int column = 0; column < list->header()->count(); ++column)
      widths << QString::number(list->columnWidth(column));
    m_settings.SetParam(setting, widths.join(',').toStdString());
  }
}

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
