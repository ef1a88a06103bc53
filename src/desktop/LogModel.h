#pragma once

#include <QAbstractTableModel>
#include <ctime>
#include <deque>
#include <string>
#include <vector>

// The rows of the Logs list: the activity lines of this run, oldest first, and only the newest
// kMaxRows of them, so a busy server cannot grow the list without bound. Column 0 is the local
// time the line was logged ("%Y-%m-%d %H:%M:%S"), column 1 the line.
class CLogModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  static constexpr int kMaxRows = 10000;

  struct Line {
    std::time_t time = 0;
    std::string text;
  };

  explicit CLogModel(QObject* parent = nullptr, int max_rows = kMaxRows);

  // Appends the lines in order, dropping the oldest rows beyond the limit.
  void Append(std::vector<Line>&& lines);
  const Line& At(int row) const { return m_lines[static_cast<size_t>(row)]; }
  int MaxRows() const { return m_max_rows; }

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;

  // The local time text of a log line.
  static QString TimeText(std::time_t time);

 private:
  int m_max_rows;
  std::deque<Line> m_lines;
};
