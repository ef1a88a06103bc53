#pragma once

#include <QString>
#include <QTreeWidget>

class CDataAccount;

// My Friends: a row per account.
class CAccountList : public QTreeWidget {
  Q_OBJECT

 public:
  enum Column : int {
    kColName,
    kColStatus,
    kColAuthType,
    kColAddress,
    kColPassword,
    kColChangeTime,
    kColDescription,
  };

  CAccountList(CDataAccount& accounts, QWidget* parent = nullptr);

  // Lists the stored accounts again; the current row stays current.
  void Fill();
  // The name of the row that is both current and selected, or empty.
  QString FocusedName() const;

 private:
  CDataAccount& m_accounts;
};
