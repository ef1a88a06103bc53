// The window as an owner uses it every day: the URL copied for a share, Enter and Delete in the
// lists, the activity light, the Logs list while lines come in, and File Share while its paths
// are being looked at.
#include <QAction>
#include <QClipboard>
#include <QDialog>
#include <QGuiApplication>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include "desktop/DlgAccount.h"
#include "desktop/DlgFileShare.h"
#include "desktop/Led.h"
#include "desktop/WindowFixture.h"
#include "res/StringTable.h"

namespace tessel::test {
namespace {

using Dlg = CTesselDlg;

class WindowDailyUseTest : public WindowFixture {
 protected:
  WindowDailyUseTest() { res::SetLanguage(res::Language::kEnglish); }

  void Select(QTreeWidget* list, const QString& name) {
    const QList<QTreeWidgetItem*> found = list->findItems(name, Qt::MatchExactly, 0);
    ASSERT_EQ(found.size(), 1);
    list->setCurrentItem(found.front());
  }

  // The class of the dialog that opens while f runs (closed at once), or "" for none.
  template <typename F>
  std::string DialogOpenedBy(F f) {
    std::string opened;
    QTimer::singleShot(0, [&] {
      if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
        opened = dialog->metaObject()->className();
        dialog->reject();
      }
    });
    f();
    QCoreApplication::processEvents();
    return opened;
  }
};

TEST_F(WindowDailyUseTest, CopyUrlEscapesTheShareNameAsThePagesLinksDo) {
  const struct {
    const char* name;
    const char* query;
  } cases[] = {
      {"a b.txt", "a+b.txt"},     {"track#2.mp3", "track%232.mp3"}, {"1+1=2.txt", "1%2B1%3D2.txt"},
      {"100%.txt", "100%25.txt"}, {"été.txt", "%C3%A9t%C3%A9.txt"},
  };
  Dlg().CheckView().SetPageUrl("http://10.0.0.5:8080");
  Dlg().CheckView().SetDirectUrl("http://10.0.0.5:8080");
  for (const auto& c : cases) ASSERT_EQ(m_shares.ShareFile(MakeFile(c.name), "", 0), c.name);
  Dlg().ShowList(Dlg::kViewFileShare, true);
  for (const auto& c : cases) {
    Select(Dlg().SharesList(), QString::fromUtf8(c.name));
    Dlg().Action(Dlg::kCopyUrl)->trigger();
    EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(),
              std::string("http://10.0.0.5:8080/download.htm?file=") + c.query);
  }
}

TEST_F(WindowDailyUseTest, EnterOpensTheSelectedRowsDialogAndEscapeStillHides) {
  ASSERT_FALSE(m_shares.ShareFile(MakeFile("a.txt"), "", 0).empty());
  RecordingDlg& dlg = Dlg();
  dlg.tray = true;
  dlg.ShowWindow();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));

  dlg.ShowList(Dlg::kViewFileShare, true);
  Select(dlg.SharesList(), "a.txt");
  EXPECT_EQ(DialogOpenedBy([&] { QTest::keyClick(dlg.SharesList(), Qt::Key_Return); }),
            "CDlgFileShare");
  dlg.ShowList(Dlg::kViewMyFriends, true);
  Select(dlg.AccountsList(), "admin");
  EXPECT_EQ(DialogOpenedBy([&] { QTest::keyClick(dlg.AccountsList(), Qt::Key_Enter); }),
            "CDlgAccount");
  dlg.ShowList(Dlg::kViewLogs, true);
  EXPECT_EQ(DialogOpenedBy([&] { QTest::keyClick(dlg.LogsList(), Qt::Key_Return); }), "");
  EXPECT_TRUE(dlg.isVisible()) << "Enter never hides the window";

  QTest::keyClick(dlg.LogsList(), Qt::Key_Escape);
  EXPECT_FALSE(dlg.isVisible());
}

TEST_F(WindowDailyUseTest, TheShareMenusDeleteActsOnlyOnTheListInFront) {
  ASSERT_FALSE(m_shares.ShareFile(MakeFile("keep.txt"), "", 0).empty());
  Dlg().ShowList(Dlg::kViewFileShare, true);
  Select(Dlg().SharesList(), "keep.txt");
  Dlg().ShowList(Dlg::kViewMyFriends, true);
  Dlg().Action(Dlg::kDeleteShare)->trigger();
  FileShareRecord kept;
  EXPECT_TRUE(m_shares.GetShare("keep.txt", kept));

  Dlg().ShowList(Dlg::kViewFileShare, true);
  Dlg().Action(Dlg::kDeleteShare)->trigger();
  EXPECT_FALSE(m_shares.GetShare("keep.txt", kept));
}

TEST_F(WindowDailyUseTest, ADownloadShorterThanATickLightsTheLed) {
  Dlg().OnTimer();
  EXPECT_FALSE(Dlg().Led()->IsBlinking()) << "nothing happened";
  // Started and ended between two ticks: the busy count never saw it.
  m_log.AddLog("10.0.0.7", "bob", CDataLog::kDownloadFile, "a.txt", 0, 10, CDataLog::kPhaseStart);
  m_log.AddLog("10.0.0.7", "bob", CDataLog::kDownloadFile, "a.txt", 10, 10, CDataLog::kPhaseEnd);
  ASSERT_TRUE(ProcessUntil([&] { return Dlg().LogModel()->rowCount() >= 2; }));
  Dlg().OnTimer();
  EXPECT_TRUE(Dlg().Led()->IsBlinking());
  Dlg().OnTimer();
  EXPECT_FALSE(Dlg().Led()->IsBlinking()) << "a quiet tick puts it out";
}

TEST_F(WindowDailyUseTest, LogsFollowTheNewestLineOnlyFromTheBottom) {
  RecordingDlg& dlg = Dlg();
  dlg.ShowWindow();
  dlg.ShowList(Dlg::kViewLogs, true);
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
  const auto add = [&](int count) {
    const int before = dlg.LogModel()->rowCount();
    for (int i = 0; i < count; ++i)
      m_log.AddLog("10.0.0.7", "bob", CDataLog::kDownloadFile, "f" + std::to_string(i), 0, 1,
                   CDataLog::kPhaseStart);
    ASSERT_TRUE(ProcessUntil([&] { return dlg.LogModel()->rowCount() == before + count; }));
    QCoreApplication::processEvents();
  };
  QScrollBar* bar = dlg.LogsList()->verticalScrollBar();
  add(200);
  EXPECT_EQ(bar->value(), bar->maximum()) << "at the bottom it follows";
  ASSERT_GT(bar->maximum(), 20);

  bar->setValue(10);  // the owner reads older lines
  add(50);
  EXPECT_EQ(bar->value(), 10);
  EXPECT_LT(bar->value(), bar->maximum());

  bar->setValue(bar->maximum());
  add(50);
  EXPECT_EQ(bar->value(), bar->maximum());
}

TEST_F(WindowDailyUseTest, FileShareListsAtOnceAndLooksAtPathsOffTheWindowsThread) {
  const std::string path = MakeFile("grows.txt", 100);
  ASSERT_FALSE(m_shares.ShareFile(path, "", 0).empty());
  ShowShares();
  CShareList* list = Dlg().SharesList();
  EXPECT_EQ(list->topLevelItem(0)->text(Dlg::kColSize), "100");

  // A refill shows at once what the last look found; the new look's answer comes later.
  std::ofstream(path, std::ios::app) << std::string(23, 'x');
  ASSERT_FALSE(m_shares.ShareFile(MakeFile("new.txt", 7), "", 0).empty());
  Dlg().ShowList(Dlg::kViewFileShare, true);
  ASSERT_EQ(list->topLevelItemCount(), 2);
  EXPECT_EQ(list->topLevelItem(0)->text(Dlg::kColSize), "100");
  EXPECT_EQ(list->topLevelItem(1)->text(Dlg::kColSize), "") << "not looked at yet";
  EXPECT_TRUE(list->Looking());
  ASSERT_TRUE(ProcessUntil([&] { return !list->Looking(); }));
  EXPECT_EQ(list->topLevelItem(0)->text(Dlg::kColSize), "123");
  EXPECT_EQ(list->topLevelItem(1)->text(Dlg::kColSize), "7");
}

}  // namespace
}  // namespace tessel::test
