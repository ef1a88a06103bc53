#include "desktop/AccountList.h"

#include "desktop/ListOrder.h"
#include "desktop/ReportList.h"
#include "desktop/UiString.h"
#include "desktop/WindowIcons.h"
#include "res/StringIds.h"
#include "store/DataAccount.h"

namespace res = tessel::res;
using tessel::desktop::UiString;

CAccountList::CAccountList(CDataAccount& accounts, QWidget* parent)
    : QTreeWidget(parent), m_accounts(accounts) {
  setObjectName("accounts");
  SetUpReportList(this);
  setHeaderLabels({UiString(res::IDS_COL_ACCOUNT_NAME), UiString(res::IDS_COL_STATUS),
                   UiString(res::IDS_COL_AUTH_TYPE), UiString(res::IDS_COL_IP_ADDRESS),
                   UiString(res::IDS_COL_PASSWORD), UiString(res::IDS_COL_MODIFY_TIME),
                   UiString(res::IDS_COL_ACCOUNT_DESCRIPTION)});
  const double scale = std::max(1.0, fontMetrics().averageCharWidth() / 5.5);
  const int widths[] = {110, 70, 100, 100, 80, 120, 100};
  for (int column = 0; column < 7; ++column)
    setColumnWidth(column, static_cast<int>(widths[column] * scale));
  setColumnWidth(kColChangeTime, fontMetrics().horizontalAdvance("0000-00-00 00:00:00") + 16);
  tessel::desktop::SortByHeading(this);
}

void CAccountList::Fill() {
  const QString current = currentItem() ? currentItem()->text(kColName) : QString();
  std::vector<AccountRecord> accounts;
  m_accounts.ListAccounts(accounts);
  const QIcon icon = CWindowIcons::Icon(CWindowIcons::Kind::kFriend);
  clear();
  for (const AccountRecord& account : accounts) {
    auto* row = new CListRow;
    row->setIcon(kColName, icon);
    row->setText(kColName, QString::fromStdString(account.account_name));
    row->setText(kColStatus,
                 UiString(account.enabled ? res::IDS_ACCOUNT_ENABLED : res::IDS_ACCOUNT_DISABLED));
    row->setText(kColAuthType, UiString(account.auth_type != 0 ? res::IDS_AUTH_IP_ADDRESS
                                                               : res::IDS_AUTH_USER_PASSWORD));
    row->setText(kColAddress, QString::fromStdString(account.ip_address));
    row->setText(kColPassword, QString::fromStdString(account.password));
    row->setText(kColChangeTime, QString::fromStdString(account.change_time));
    row->setData(kColChangeTime, tessel::desktop::kSortRole,
                 tessel::desktop::TimeStampKey(row->text(kColChangeTime)));
    row->setText(kColDescription, QString::fromStdString(account.description));
    addTopLevelItem(row);
    if (row->text(kColName) == current) setCurrentItem(row);
  }
}

QString CAccountList::FocusedName() const {
  const QTreeWidgetItem* row = FocusedSelected(this);
  return row ? row->text(kColName) : QString();
}
