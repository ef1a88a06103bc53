#include "desktop/TransferModel.h"

#include "desktop/PlainText.h"
#include "service/TransferText.h"

namespace transfers = tessel::transfers;

namespace {

// How much of the speed the newest sample makes: enough to follow a change within a few ticks
// without the figure jumping about.
constexpr double kNewWeight = 0.5;

QString Text(const std::string& text) {
  return QString::fromStdString(text);
}

}  // namespace

CTransferModel::CTransferModel(QObject* parent) : QAbstractTableModel(parent) {}

void CTransferModel::Take(Entry& entry, Row&& row, Clock::time_point now) {
  if (entry.row.id != row.id) {
    entry.speed = transfers::AverageSpeed(row, now);
  } else {
    const double seconds = std::chrono::duration<double>(now - entry.sampled).count();
    if (seconds > 0 && row.bytes >= entry.row.bytes) {
      const double recent = static_cast<double>(row.bytes - entry.row.bytes) / seconds;
      entry.speed = entry.speed > 0 ? kNewWeight * recent + (1 - kNewWeight) * entry.speed : recent;
    }
  }
  entry.row = std::move(row);
  entry.sampled = now;
}

void CTransferModel::Update(std::vector<Row>&& rows, Clock::time_point now) {
  // Rows gone first, from the end, a run at a time.
  {
    std::vector<bool> kept(m_entries.size(), false);
    std::size_t next = 0;
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
      while (next < rows.size() && rows[next].id < m_entries[i].row.id) ++next;
      kept[i] = next < rows.size() && rows[next].id == m_entries[i].row.id;
    }
    for (std::size_t end = m_entries.size(); end > 0;) {
      if (kept[end - 1]) {
        --end;
        continue;
      }
      std::size_t begin = end - 1;
      while (begin > 0 && !kept[begin - 1]) --begin;
      beginRemoveRows({}, static_cast<int>(begin), static_cast<int>(end - 1));
      m_entries.erase(m_entries.begin() + static_cast<std::ptrdiff_t>(begin),
                      m_entries.begin() + static_cast<std::ptrdiff_t>(end));
      endRemoveRows();
      end = begin;
    }
  }
  // Then the rows left are updated in place and new ones inserted where their ids go (at the
  // end, as ids only grow), a run at a time.
  // Inserts come after every row updated so far, so the updated rows stay where they were seen.
  std::size_t position = 0;
  bool changed = false;
  std::size_t first_changed = 0;
  std::size_t last_changed = 0;
  for (std::size_t i = 0; i < rows.size();) {
    if (position < m_entries.size() && m_entries[position].row.id == rows[i].id) {
      Take(m_entries[position], std::move(rows[i]), now);
      if (!changed) first_changed = position;
      changed = true;
      last_changed = position;
      ++position;
      ++i;
      continue;
    }
    std::size_t end = i;
    while (end < rows.size() &&
           (position >= m_entries.size() || rows[end].id < m_entries[position].row.id))
      ++end;
    const std::size_t count = end - i;
    beginInsertRows({}, static_cast<int>(position), static_cast<int>(position + count - 1));
    std::vector<Entry> added(count);
    for (std::size_t k = 0; k < count; ++k) Take(added[k], std::move(rows[i + k]), now);
    m_entries.insert(m_entries.begin() + static_cast<std::ptrdiff_t>(position),
                     std::make_move_iterator(added.begin()), std::make_move_iterator(added.end()));
    endInsertRows();
    position += count;
    i = end;
  }
  if (changed)
    emit dataChanged(index(static_cast<int>(first_changed), kItem),
                     index(static_cast<int>(last_changed), kTimeLeft), {Qt::DisplayRole});
}

int CTransferModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(m_entries.size());
}

int CTransferModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kColumnCount;
}

QVariant CTransferModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount()) return {};
  if (role != Qt::DisplayRole && role != Qt::ToolTipRole) return {};
  const Entry& entry = m_entries[static_cast<std::size_t>(index.row())];
  const Row& row = entry.row;
  QString text;
  switch (index.column()) {
    case kVisitor:
      text = Text(transfers::VisitorText(row.account, row.address));
      break;
    case kItem:
      text = Text(row.item);
      break;
    case kDirection:
      text = Text(transfers::DirectionText(row.direction));
      break;
    case kBytes:
      text = Text(transfers::BytesText(row.bytes, row.total));
      break;
    case kSpeed:
      text = Text(transfers::SpeedText(entry.speed));
      break;
    case kTimeLeft:
      text = Text(transfers::TimeLeftText(row.bytes, row.total, entry.speed));
      break;
    default:
      return {};
  }
  // A friend's file name is shown as text, whatever markup it may hold.
  return role == Qt::ToolTipRole ? tessel::desktop::PlainText(text) : text;
}

QVariant CTransferModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  static const std::vector<std::string> titles = transfers::ColumnTitles();
  if (section < 0 || section >= static_cast<int>(titles.size())) return {};
  return Text(titles[static_cast<std::size_t>(section)]);
}
