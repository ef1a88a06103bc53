#pragma once

#include <QObject>
#include <vector>

#include "desktop/LogModel.h"

class CAccountList;
class CDataAccount;
class CDataFileShare;
class CGfxOutBarCtrl;
class CListFilter;
class CListOrderProxy;
class CShareList;
class CTransferRegistry;
class CTransfersView;
class QStackedWidget;
class QTreeView;

// The window's lists and the out bar that chooses between them: File Share, My Friends, Logs and
// Transfers, one in front at a time in a stack beside the bar. The widgets are the caller's to
// place; the window owns them once placed.
class CWindowViews : public QObject {
  Q_OBJECT

 public:
  // The lists, by the out bar's item index.
  enum View : int { kViewFileShare = 0, kViewMyFriends = 1, kViewLogs = 2, kViewTransfers = 3 };

  // transfers: the service's registry of running transfers (null: none).
  CWindowViews(CDataFileShare& shares, CDataAccount& accounts, CTransferRegistry* transfers,
               QWidget* window);

  CGfxOutBarCtrl* OutBar() const { return m_out_bar; }
  QStackedWidget* Stack() const { return m_stack; }
  CShareList* Shares() const { return m_shares; }
  CAccountList* Accounts() const { return m_accounts; }
  QTreeView* Logs() const { return m_logs; }
  CLogModel* LogModel() const { return m_log_model; }
  CTransfersView* Transfers() const { return m_transfers; }
  // The name filter of the list in front (the caller places it).
  CListFilter* Filter() const { return m_filter; }
  // The Logs list's rows as shown: sorted and filtered.
  CListOrderProxy* LogOrder() const { return m_log_order; }

  // The list in front.
  int Current() const;
  // Refills a list (File Share, My Friends) or scrolls it to its end (Logs); with show, brings
  // it to the front and selects its out-bar item.
  void Show(int view, bool show);
  // Adds lines to Logs; the newest line is followed only while the list is at its end.
  void AppendLog(std::vector<CLogModel::Line>&& lines);
  // Shows only the rows of the list in front whose name (a log line's text) holds the filter's
  // text; the other lists show every row.
  void ApplyFilter();

 private:
  void BuildOutBar();
  void BuildLists(CDataFileShare& shares, CDataAccount& accounts, CTransferRegistry* transfers,
                  QWidget* window);

  CGfxOutBarCtrl* m_out_bar = nullptr;
  QStackedWidget* m_stack = nullptr;
  CShareList* m_shares = nullptr;
  CAccountList* m_accounts = nullptr;
  QTreeView* m_logs = nullptr;
  CLogModel* m_log_model = nullptr;
  CListOrderProxy* m_log_order = nullptr;
  CListFilter* m_filter = nullptr;
  CTransfersView* m_transfers = nullptr;
};
