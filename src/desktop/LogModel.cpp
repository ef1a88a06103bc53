#include "desktop/LogModel.h"

#include "desktop/ListOrder.h"
#include "desktop/PlainText.h"
#include "desktop/UiString.h"
#include "res/StringIds.h"

using tessel::desktop::UiString;

CLogModel::CLogModel(QObject* parent, int max_rows)
    : QAbstractTableModel(parent), m_max_rows(max_rows > 0 ? max_rows : 1) {}

void CLogModel::Append(std::vector<Line>&& lines) {
  if (lines.empty()) return;
  const size_t max = static_cast<size_t>(m_max_rows);
  if (lines.size() >= max) {
    // The batch alone fills the list: start afresh with its newest lines.
    beginResetModel();
    m_lines.clear();
    for (auto it = lines.end() - static_cast<std::ptrdiff_t>(max); it != lines.end(); ++it)
      m_lines.push_back(std::move(*it));
    endResetModel();
    return;
  }
  const size_t total = m_lines.size() + lines.size();
  if (total > max) {
    const int drop = static_cast<int>(total - max);
    beginRemoveRows(QModelIndex(), 0, drop - 1);
    m_lines.erase(m_lines.begin(), m_lines.begin() + drop);
    endRemoveRows();
  }
  const int first = static_cast<int>(m_lines.size());
  beginInsertRows(QModelIndex(), first, first + static_cast<int>(lines.size()) - 1);
  for (Line& line : lines) m_lines.push_back(std::move(line));
  endInsertRows();
}

int CLogModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(m_lines.size());
}

int CLogModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : 2;
}

QVariant CLogModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount()) return {};
  const Line& line = At(index.row());
  if (role == tessel::desktop::kSortRole && index.column() == 0)
    return static_cast<qlonglong>(line.time);
  if (role != Qt::DisplayRole && role != Qt::ToolTipRole) return {};
  if (index.column() == 0) return role == Qt::DisplayRole ? TimeText(line.time) : QVariant();
  const QString text = QString::fromStdString(line.text);
  return role == Qt::ToolTipRole ? tessel::desktop::PlainText(text) : text;
}

QVariant CLogModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  if (section == 0) return UiString(tessel::res::IDS_COL_LOG_TIME);
  if (section == 1) return UiString(tessel::res::IDS_COL_LOG_CONTENT);
  return {};
}

QString CLogModel::TimeText(std::time_t time) {
  std::tm local{};
  localtime_r(&time, &local);
  char text[32];
  const size_t length = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return QString::fromLatin1(text, static_cast<int>(length));
}
