#include "desktop/ListOrder.h"

#include <QCollator>
#include <QDateTime>
#include <QHeaderView>
#include <QTreeView>
#include <memory>

namespace {

const QCollator& Collator() {
  static const QCollator collator = [] {
    // The "C" locale compares code points and knows no numbers: then English rules.
    const QLocale locale =
        QLocale().language() == QLocale::C ? QLocale(QLocale::English) : QLocale();
    QCollator made(locale);
    made.setNumericMode(true);
    made.setCaseSensitivity(Qt::CaseInsensitive);
    return made;
  }();
  return collator;
}

}  // namespace

bool tessel::desktop::SortsBefore(const QVariant& key, const QString& text,
                                  const QVariant& other_key, const QString& other_text) {
  if (key.isValid() && other_key.isValid()) return key.toLongLong() < other_key.toLongLong();
  return Collator().compare(text, other_text) < 0;
}

void tessel::desktop::SortByHeading(QTreeView* list) {
  QHeaderView* header = list->header();
  // No column yet: the rows stay in the order they came.
  header->setSortIndicator(-1, Qt::AscendingOrder);
  list->setSortingEnabled(true);
  // A column clicked for the first time sorts ascending, whichever way the last one went.
  auto last = std::make_shared<int>(-1);
  QObject::connect(header, &QHeaderView::sortIndicatorChanged, list,
                   [header, last](int column, Qt::SortOrder order) {
                     const bool first_click = column != *last;
                     *last = column;
                     if (first_click && order != Qt::AscendingOrder)
                       header->setSortIndicator(column, Qt::AscendingOrder);
                   });
}

QVariant tessel::desktop::TimeStampKey(const QString& text) {
  const QDateTime time = QDateTime::fromString(text, "yyyy-MM-dd HH:mm:ss");
  return time.isValid() ? QVariant(time.toSecsSinceEpoch()) : QVariant();
}

bool CListOrderProxy::lessThan(const QModelIndex& left, const QModelIndex& right) const {
  using tessel::desktop::kSortRole;
  return tessel::desktop::SortsBefore(left.data(kSortRole), left.data().toString(),
                                      right.data(kSortRole), right.data().toString());
}
