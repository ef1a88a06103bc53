#pragma once

#include <QString>
#include <QTreeWidget>

class CDataFileShare;

// File Share: a row per share with the file's size and time as the file system gives them now.
class CShareList : public QTreeWidget {
  Q_OBJECT

 public:
  enum Column : int {
    kColName,
    kColType,
    kColSize,
    kColFileTime,
    kColShareTime,
    kColUploader,
    kColPath,
    kColDescription,
  };

  CShareList(CDataFileShare& shares, QWidget* parent = nullptr);

  // Lists the stored shares again; the rows chosen before stay chosen.
  void Fill();
  // The name of the row that is both current and selected, or empty.
  QString FocusedName() const;
  // Removes the selected shares (never the files) and their rows.
  void DeleteSelected();

 private:
  CDataFileShare& m_shares;
};
