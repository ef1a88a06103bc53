#include "desktop/WindowViews.h"

#include <QScrollBar>
#include <QStackedWidget>
#include <QTreeView>

#include "desktop/AccountList.h"
#include "desktop/GfxOutBarCtrl.h"
#include "desktop/ListFilter.h"
#include "desktop/ListOrder.h"
#include "desktop/ReportList.h"
#include "desktop/ShareList.h"
#include "desktop/TransfersView.h"
#include "desktop/UiString.h"
#include "desktop/WindowIcons.h"
#include "res/StringIds.h"

namespace res = tessel::res;
using tessel::desktop::UiString;
using Icons = CWindowIcons;

namespace {

// The out bar's width: 74 dialog units.
constexpr int kOutBarWidth = 112;

}  // namespace

CWindowViews::CWindowViews(CDataFileShare& shares, CDataAccount& accounts,
                           CTransferRegistry* transfers, QWidget* window)
    : QObject(window) {
  BuildOutBar();
  BuildLists(shares, accounts, transfers, window);
  m_filter = new CListFilter;
  connect(m_filter, &QLineEdit::textChanged, this, &CWindowViews::ApplyFilter);
  // Transfers come and go with each sample: the new rows are filtered as they come.
  connect(m_transfers->model(), &QAbstractItemModel::rowsInserted, this, [this] {
    if (Current() == kViewTransfers) ApplyFilter();
  });
  connect(m_filter, &CListFilter::Left, this, [this] { m_stack->currentWidget()->setFocus(); });
}

void CWindowViews::BuildOutBar() {
  m_out_bar = new CGfxOutBarCtrl(nullptr, CGfxOutBarCtrl::kSelHighlight);
  m_out_bar->SetImageList(
      {Icons::Icon(Icons::Kind::kFileShareView), Icons::Icon(Icons::Kind::kFriendsView),
       Icons::Icon(Icons::Kind::kLogsView), Icons::Icon(Icons::Kind::kTransfersView)},
      CGfxOutBarCtrl::kImageLarge, QSize(32, 32));
  const int folder = m_out_bar->AddFolder(QString());
  m_out_bar->InsertItem(folder, kViewFileShare, UiString(res::IDS_VIEW_FILE_SHARE), 0);
  m_out_bar->InsertItem(folder, kViewMyFriends, UiString(res::IDS_VIEW_MY_FRIENDS), 1);
  m_out_bar->InsertItem(folder, kViewLogs, UiString(res::IDS_VIEW_LOGS), 2);
  m_out_bar->InsertItem(folder, kViewTransfers, UiString(res::IDS_VIEW_TRANSFERS), 3);
  m_out_bar->SetSelFolder(folder);
  m_out_bar->SetTimerPeriod(150);
  m_out_bar->setFixedWidth(kOutBarWidth);
  m_out_bar->SetOwner([this](int code, const CGfxOutBarCtrl::Notification& notification) -> long {
    if (code == CGfxOutBarCtrl::kNotifyItemClicked) Show(notification.index, true);
    return 0;
  });
}

void CWindowViews::BuildLists(CDataFileShare& shares, CDataAccount& accounts,
                              CTransferRegistry* transfers, QWidget* window) {
  m_stack = new QStackedWidget;
  m_shares = new CShareList(shares);
  m_accounts = new CAccountList(accounts);
  m_log_model = new CLogModel(window);
  m_logs = new QTreeView;
  m_logs->setObjectName("logs");
  SetUpReportList(m_logs);
  m_logs->setContextMenuPolicy(Qt::NoContextMenu);
  m_log_order = new CListOrderProxy(this);
  m_log_order->setSourceModel(m_log_model);
  m_log_order->setFilterKeyColumn(1);
  m_log_order->setFilterCaseSensitivity(Qt::CaseInsensitive);
  m_logs->setModel(m_log_order);
  tessel::desktop::SortByHeading(m_logs);
  m_logs->setColumnWidth(0, window->fontMetrics().horizontalAdvance("0000-00-00 00:00:00") + 16);

  // In the order of the out bar's items.
  m_stack->addWidget(m_shares);
  m_stack->addWidget(m_accounts);
  m_stack->addWidget(m_logs);
  m_transfers = new CTransfersView(CTransfersView::FromRegistry(transfers));
  m_stack->addWidget(m_transfers);
}

int CWindowViews::Current() const {
  return m_stack->currentIndex();
}

void CWindowViews::Show(int view, bool show) {
  if (view < kViewFileShare || view > kViewTransfers) return;
  if (show) {
    m_stack->setCurrentIndex(view);
    m_out_bar->SetSelectedItem(view);
    m_out_bar->update();
    // The keyboard goes on in the list, unless it is walking the out bar's items.
    if (!m_out_bar->hasFocus()) m_stack->currentWidget()->setFocus();
  }
  if (view == kViewFileShare) m_shares->Fill();
  if (view == kViewMyFriends) m_accounts->Fill();
  if (view == kViewLogs) m_logs->scrollToBottom();
  ApplyFilter();
}

void CWindowViews::ApplyFilter() {
  const int view = Current();
  const QString text = m_filter->text();
  const auto only_in_front = [&](int list) { return list == view ? text : QString(); };
  CListFilter::FilterRows(m_shares, CShareList::kColName, only_in_front(kViewFileShare));
  CListFilter::FilterRows(m_accounts, CAccountList::kColName, only_in_front(kViewMyFriends));
  m_log_order->setFilterFixedString(only_in_front(kViewLogs));
  CListFilter::FilterRows(m_transfers, CTransferModel::kItem, only_in_front(kViewTransfers));
}

void CWindowViews::AppendLog(std::vector<CLogModel::Line>&& lines) {
  // The newest line is followed only from the bottom, so older lines can be read meanwhile.
  const QScrollBar* bar = m_logs->verticalScrollBar();
  const bool at_bottom = bar->value() >= bar->maximum();
  m_log_model->Append(std::move(lines));
  if (at_bottom) m_logs->scrollToBottom();
}
