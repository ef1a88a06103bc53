#pragma once

#include <QAbstractTableModel>
#include <cstdint>
#include <vector>

#include "service/TransferRegistry.h"

// The rows of the Transfers list: the transfers of the latest sample, oldest first, each with a
// speed smoothed over the samples it was seen in. A new sample is merged into the rows by id,
// so the list keeps its selection and scroll position, and a thousand rows cost one repaint of
// what is on screen.
class CTransferModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  using Row = CTransferRegistry::Row;
  using Clock = CTransferRegistry::Clock;
  enum Column : int { kVisitor, kItem, kDirection, kBytes, kSpeed, kTimeLeft, kColumnCount };

  explicit CTransferModel(QObject* parent = nullptr);

  // Takes the transfers sampled at now (ascending ids, as the registry gives them).
  void Update(std::vector<Row>&& rows, Clock::time_point now);
  std::uint64_t IdAt(int row) const { return m_entries[static_cast<std::size_t>(row)].row.id; }
  // Bytes a second, 0 while not known.
  double SpeedAt(int row) const { return m_entries[static_cast<std::size_t>(row)].speed; }

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;

 private:
  struct Entry {
    Row row;
    double speed = 0;
    Clock::time_point sampled{};
  };
  // Folds row, sampled at now, into entry.
  static void Take(Entry& entry, Row&& row, Clock::time_point now);

  std::vector<Entry> m_entries;
};
