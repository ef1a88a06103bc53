// The window's lists as an owner arranges them: sorted by a click on a column heading, filtered
// by name (Ctrl+F), placed and sized as they were at the last exit.
#include <utime.h>

#include <QHeaderView>
#include <QTest>
#include <QTreeView>

#include "desktop/AccountList.h"
#include "desktop/ListFilter.h"
#include "desktop/TransfersView.h"
#include "desktop/WindowFixture.h"
#include "desktop/WindowPlacement.h"
#include "res/StringTable.h"
#include "service/Connection.h"

namespace tessel::test {
namespace {

using Dlg = CTesselDlg;

class WindowListsTest : public WindowFixture {
 protected:
  WindowListsTest() { res::SetLanguage(res::Language::kEnglish); }

  // The texts of a column, top to bottom, of the rows shown.
  static QStringList Column(const QTreeView* list, int column) {
    QStringList texts;
    const QAbstractItemModel* model = list->model();
    for (int row = 0; row < model->rowCount(); ++row)
      if (!list->isRowHidden(row, QModelIndex()))
        texts << model->index(row, column).data().toString();
    return texts;
  }
  static void ClickHeading(QTreeView* list, int column) {
    QHeaderView* header = list->header();
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                      QPoint(header->sectionViewportPosition(column) + 4, header->height() / 2));
    QCoreApplication::processEvents();
  }
  static std::string Names(const QStringList& texts) { return texts.join(", ").toStdString(); }
  static QStringList Reversed(QStringList texts) {
    std::reverse(texts.begin(), texts.end());
    return texts;
  }
};

TEST_F(WindowListsTest, AClickOnAHeadingSortsAscendingAndTheNextDescending) {
  // Sizes whose texts sort otherwise ("1,000" before "9"), names in mixed case with numbers.
  const struct {
    const char* name;
    size_t size;
    time_t time;
  } files[] = {{"b.txt", 9, 3'000},
               {"A.txt", 1'000, 1'000'000'000},
               {"c10.txt", 100, 2'000'000'000},
               {"c9.txt", 20'000, 500'000}};
  for (const auto& file : files) {
    const std::string path = MakeFile(file.name, file.size);
    const utimbuf times{file.time, file.time};
    ASSERT_EQ(utime(path.c_str(), &times), 0);
    ASSERT_EQ(m_shares.ShareFile(path, "", 0), file.name);
  }
  Dlg().ShowWindow();
  ShowShares();
  CShareList* shares = Dlg().SharesList();
  // Until a heading is clicked, the rows keep the store's order.
  std::vector<FileShareRecord> stored;
  m_shares.ListShares(stored);
  QStringList unsorted;
  for (const FileShareRecord& share : stored) unsorted << QString::fromStdString(share.name);
  EXPECT_EQ(Names(Column(shares, Dlg::kColName)), Names(unsorted));

  const struct {
    int column;
    QStringList ascending;  // names
  } cases[] = {
      {Dlg::kColName, {"A.txt", "b.txt", "c9.txt", "c10.txt"}},
      {Dlg::kColSize, {"b.txt", "c10.txt", "A.txt", "c9.txt"}},
      {Dlg::kColFileTime, {"b.txt", "c9.txt", "A.txt", "c10.txt"}},
  };
  for (const auto& c : cases) {
    ClickHeading(shares, c.column);
    EXPECT_EQ(Names(Column(shares, Dlg::kColName)), Names(c.ascending)) << c.column;
    ClickHeading(shares, c.column);
    EXPECT_EQ(Names(Column(shares, Dlg::kColName)), Names(Reversed(c.ascending))) << c.column;
  }
  // A refill (an upload) keeps the order chosen: biggest first.
  ClickHeading(shares, Dlg::kColSize);
  ClickHeading(shares, Dlg::kColSize);
  ASSERT_FALSE(m_shares.ShareFile(MakeFile("big.bin", 50'000), "", 0).empty());
  ShowShares();
  EXPECT_EQ(Column(shares, Dlg::kColName).front(), "big.bin");

  // My Friends and Logs sort the same way; the Logs' times as times.
  Dlg().ShowList(Dlg::kViewMyFriends, true);
  CAccountList* accounts = Dlg().AccountsList();
  ClickHeading(accounts, CAccountList::kColName);
  EXPECT_EQ(Names(Column(accounts, CAccountList::kColName)), Names({"admin", "local"}));
  ClickHeading(accounts, CAccountList::kColName);
  EXPECT_EQ(Names(Column(accounts, CAccountList::kColName)), Names({"local", "admin"}));

  Dlg().LogModel()->Append({{2'000'000'000, "b line"}, {300, "c line"}, {1'000'000, "a line"}});
  QTreeView* logs = Dlg().LogsList();
  Dlg().ShowList(Dlg::kViewLogs, true);
  ClickHeading(logs, 0);
  EXPECT_EQ(Names(Column(logs, 1)), Names({"c line", "a line", "b line"}));
  ClickHeading(logs, 1);
  EXPECT_EQ(Names(Column(logs, 1)), Names({"a line", "b line", "c line"}));
  ClickHeading(logs, 1);
  EXPECT_EQ(Names(Column(logs, 1)), Names({"c line", "b line", "a line"}));
}

TEST_F(WindowListsTest, CtrlFFiltersTheListInFrontByNameAndEscapeClearsIt) {
  for (const char* name : {"report.pdf", "Reading list.txt", "photo.png"})
    ASSERT_EQ(m_shares.ShareFile(MakeFile(name), "", 0), name);
  RecordingDlg& dlg = Dlg();
  dlg.tray = true;
  dlg.ShowWindow();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
  ShowShares();
  CShareList* shares = dlg.SharesList();
  shares->selectAll();
  CListFilter* filter = dlg.findChild<CListFilter*>("filter");
  ASSERT_NE(filter, nullptr);
  EXPECT_FALSE(filter->isVisible());

  QTest::keyClick(shares, Qt::Key_F, Qt::ControlModifier);
  ASSERT_TRUE(filter->isVisible());
  EXPECT_TRUE(filter->hasFocus());
  QTest::keyClicks(filter, "RE");
  EXPECT_EQ(Names(Column(shares, Dlg::kColName)), "report.pdf, Reading list.txt");
  // The row out of sight is no longer chosen: Delete removes only the rows shown.
  dlg.Action(Dlg::kDeleteShare)->trigger();
  std::vector<FileShareRecord> left;
  m_shares.ListShares(left);
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].name, "photo.png");

  // A refill (an upload) is filtered too, and so is the next list brought to the front.
  ASSERT_EQ(m_shares.ShareFile(MakeFile("red.txt"), "", 0), "red.txt");
  ASSERT_EQ(m_shares.ShareFile(MakeFile("blue.txt"), "", 0), "blue.txt");
  ShowShares();
  EXPECT_EQ(Names(Column(shares, Dlg::kColName)), "red.txt");
  dlg.LogModel()->Append({{0, "one line"}, {0, "a REd line"}});
  dlg.ShowList(Dlg::kViewLogs, true);
  EXPECT_EQ(Names(Column(dlg.LogsList(), 1)), "a REd line");
  dlg.ShowList(Dlg::kViewMyFriends, true);
  EXPECT_EQ(Names(Column(dlg.AccountsList(), CAccountList::kColName)), "");
  EXPECT_EQ(Column(shares, Dlg::kColName).size(), 3) << "only the list in front is filtered";

  // Enter goes on to the list; Escape there closes the filter, not the window.
  QTest::keyClick(filter, Qt::Key_Return);
  EXPECT_TRUE(dlg.AccountsList()->hasFocus());
  QTest::keyClick(dlg.AccountsList(), Qt::Key_Escape);
  EXPECT_FALSE(filter->isVisible());
  EXPECT_TRUE(dlg.isVisible());
  EXPECT_EQ(Column(dlg.AccountsList(), 0).size(), 2);
  // In the field, Escape clears and hides it.
  dlg.Action(Dlg::kFilter)->trigger();
  QTest::keyClicks(filter, "zzz");
  EXPECT_EQ(Column(dlg.AccountsList(), 0).size(), 0);
  QTest::keyClick(filter, Qt::Key_Escape);
  EXPECT_FALSE(filter->isVisible());
  EXPECT_EQ(filter->text(), "");
  EXPECT_EQ(Column(dlg.AccountsList(), 0).size(), 2);
  EXPECT_TRUE(dlg.isVisible());
}

TEST_F(WindowListsTest, PlaceSizeAndColumnWidthsComeBackAtTheNextStart) {
  Dlg().ShowWindow();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&Dlg()));
  const QRect first = Dlg().geometry();
  Dlg().setGeometry(QRect(first.topLeft() + QPoint(13, 17), first.size() - QSize(31, 23)));
  const QRect placed = Dlg().geometry();
  Dlg().SharesList()->setColumnWidth(Dlg::kColSize, 211);
  Dlg().AccountsList()->setColumnWidth(CAccountList::kColStatus, 97);
  Dlg().LogsList()->setColumnWidth(0, 250);
  m_dlg.reset();  // the program ends

  Dlg().ShowWindow();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&Dlg()));
  EXPECT_EQ(Dlg().geometry(), placed);
  EXPECT_EQ(Dlg().SharesList()->columnWidth(Dlg::kColSize), 211);
  EXPECT_EQ(Dlg().AccountsList()->columnWidth(CAccountList::kColStatus), 97);
  EXPECT_EQ(Dlg().LogsList()->columnWidth(0), 250);
  m_dlg.reset();

  // Damaged settings give the first placement and widths.
  m_system.SetParam(CWindowPlacement::kGeometrySetting, "not a geometry");
  m_system.SetParam("FileShareColumns", "-5,x,99999");
  const int name_width = [&] {
    CShareList fresh(m_shares);
    return fresh.columnWidth(Dlg::kColName);
  }();
  Dlg().ShowWindow();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&Dlg()));
  EXPECT_EQ(Dlg().geometry().size(), first.size());
  EXPECT_EQ(Dlg().SharesList()->columnWidth(Dlg::kColName), name_width);
}

TEST_F(WindowListsTest, MyFriendsShowsAnAccountChangedOutsideTheWindow) {
  Dlg().ShowList(Dlg::kViewMyFriends, true);
  AccountRecord admin;
  ASSERT_TRUE(m_accounts.GetAccount("admin", admin));
  admin.description = "changed elsewhere";
  ASSERT_TRUE(m_accounts.ModifyAccount(admin));
  Dlg().AccountsChanged();
  EXPECT_TRUE(
      Column(Dlg().AccountsList(), CAccountList::kColDescription).contains("changed elsewhere"));
}

TEST_F(WindowListsTest, TheFilterFollowsTransfersAsTheyCome) {
  MainWindowContext context = Context();
  context.transfers = &m_stack.transfers;
  m_dlg = std::make_unique<RecordingDlg>(context, &m_shell, WebService{"web.test", 80});
  ConnectionRules rules;
  std::vector<std::unique_ptr<CConnection>> connections;
  std::vector<std::unique_ptr<CTransferRegistry::Transfer>> running;
  const auto start = [&](const char* item) {
    connections.push_back(std::make_unique<CConnection>(-1, rules));
    running.push_back(std::make_unique<CTransferRegistry::Transfer>(
        &m_stack.transfers, *connections.back(), "bob", "10.0.0.7", item,
        CTransferRegistry::Direction::kDownload, 100));
  };
  start("Concert.mp3");
  start("report.pdf");
  Dlg().ShowList(Dlg::kViewTransfers, true);
  CTransfersView* list = Dlg().TransfersList();
  list->Refresh();
  list->selectAll();
  Dlg().Action(Dlg::kFilter)->trigger();
  QTest::keyClicks(Dlg().findChild<CListFilter*>("filter"), "CONC");
  EXPECT_EQ(Names(Column(list, CTransferModel::kItem)), "Concert.mp3");
  EXPECT_EQ(list->selectionModel()->selectedRows().size(), 1) << "no Stop out of sight";
  start("second concert.mp3");
  start("photo.png");
  list->Refresh();
  EXPECT_EQ(Names(Column(list, CTransferModel::kItem)), "Concert.mp3, second concert.mp3");
}

}  // namespace
}  // namespace tessel::test
