// The tray icon's menu, the notifications and the keys of the window's lists.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAction>
#include <QClipboard>
#include <QDialog>
#include <QGuiApplication>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>
#include <QTranslator>

#include "desktop/ActivityNote.h"
#include "desktop/PlainText.h"
#include "desktop/QtTranslations.h"
#include "desktop/WindowFixture.h"
#include "res/StringIds.h"
#include "res/StringTable.h"
#include "support/Loopback.h"

namespace tessel::test {
namespace {

using Dlg = CTesselDlg;

class WindowTrayTest : public WindowFixture {
 protected:
  WindowTrayTest() { res::SetLanguage(res::Language::kEnglish); }

  // The window with a tray, its icon docked and its notifications recorded.
  RecordingDlg& Docked() {
    RecordingDlg& dlg = Dlg();
    dlg.tray = true;
    dlg.OnTimer();
    dlg.Tray().SetNotifier([this](const QString&, const QString& text) { notes << text; });
    return dlg;
  }

  // The class of the dialog that opens while f runs (closed at once), or "" for none.
  template <typename F>
  std::string DialogOpenedBy(F f) {
    std::string opened;
    // The timer goes with this scope: when f opens no dialog it must not fire after the return.
    QObject scope;
    QTimer::singleShot(0, &scope, [&] {
      if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
        opened = dialog->metaObject()->className();
        dialog->reject();
      }
    });
    f();
    // The window is active again, as it is for a person once a dialog closes.
    Dlg().activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(&Dlg()));
    return opened;
  }

  QStringList notes;
};

using loopback::FreePort;

bool Accepts(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return connected;
}

TEST_F(WindowTrayTest, TheTrayMenuShowsCopiesPausesAndResumes) {
  const int port = FreePort();
  ASSERT_TRUE(m_service.Start(port));
  RecordingDlg& dlg = Docked();
  ASSERT_NE(dlg.TrayIcon(), nullptr);
  QMenu* menu = dlg.TrayIcon()->contextMenu();
  ASSERT_NE(menu, nullptr);
  QStringList texts;
  for (const QAction* action : menu->actions())
    if (!action->isSeparator()) texts << action->text().remove('&').section('\t', 0, 0);
  EXPECT_EQ(texts, QStringList({"Show Tessel", "Copy URL", "Pause sharing", "Exit"}));

  menu->actions()[0]->trigger();
  EXPECT_TRUE(dlg.isVisible());

  QGuiApplication::clipboard()->setText("before");
  menu->actions()[1]->trigger();
  EXPECT_EQ(QGuiApplication::clipboard()->text(), "before") << "no Internet URL yet";
  dlg.CheckView().SetPageUrl("http://friendly.test/ann");
  menu->actions()[1]->trigger();
  EXPECT_EQ(QGuiApplication::clipboard()->text(), "http://friendly.test/ann");

  QAction* pause = menu->actions()[2];
  pause->trigger();
  EXPECT_FALSE(m_service.IsRunning());
  EXPECT_FALSE(Accepts(port));
  EXPECT_EQ(dlg.TrayIcon()->toolTip(), "Tessel: sharing paused");
  EXPECT_TRUE(dlg.StatusText().startsWith("Sharing is paused")) << dlg.StatusText().toStdString();
  EXPECT_EQ(pause->text().remove('&'), "Pause sharing");
  EXPECT_TRUE(pause->isChecked());

  pause->trigger();
  EXPECT_TRUE(m_service.IsRunning());
  EXPECT_EQ(m_service.Port(), port);
  EXPECT_TRUE(Accepts(port));
  EXPECT_EQ(dlg.TrayIcon()->toolTip(), "Tessel");
  EXPECT_EQ(dlg.StatusText().toStdString(), "Serving on port " + std::to_string(port) + ".");
  m_service.Stop();
}

TEST_F(WindowTrayTest, NotificationsTellUploadsThrottlingAndTheCheckUnlessTurnedOff) {
  RecordingDlg& dlg = Docked();
  m_log.AddLog("10.0.0.7", "bob", CDataLog::kUploadFile, "", 0, 0, CDataLog::kPhaseStart);
  m_log.AddLog("10.0.0.7", "bob", CDataLog::kUploadFile, "<b>x<b>.txt", 0, 10, CDataLog::kPhaseEnd);
  m_log.AddLog("10.0.0.8", "bob", CDataLog::kDownloadFile, "a.txt", 0, 10, CDataLog::kPhaseStart);
  m_log.AddNotice("user(:10.0.0.9) logins refused after 10 failed within a minute");
  ASSERT_TRUE(ProcessUntil([&] { return dlg.LogModel()->rowCount() == 4; }));
  dlg.CheckView().SetPageUrl("http://203.0.113.1/");
  dlg.CheckView().SetPageUrl("http://203.0.113.2/");
  dlg.CheckView().SetStatusText(res::String(res::IDS_INTERNET_FAILED));
  ASSERT_TRUE(ProcessUntil([&] { return notes.size() >= 4; }));
  ASSERT_EQ(notes.size(), 4);
  // Shown as plain text: a name with markup reads as it stands.
  EXPECT_EQ(notes[0], desktop::PlainText("bob uploaded <b>x<b>.txt"));
  EXPECT_TRUE(notes[1].startsWith("user(:10.0.0.9) logins refused")) << notes[1].toStdString();
  EXPECT_EQ(notes[2], "Your friends now reach Tessel at http://203.0.113.2/");
  EXPECT_TRUE(notes[3].startsWith("Internet check: ")) << notes[3].toStdString();

  ASSERT_TRUE(m_system.SetParam("Notifications", "0"));
  m_log.AddLog("10.0.0.7", "bob", CDataLog::kUploadFile, "y.txt", 0, 10, CDataLog::kPhaseEnd);
  ASSERT_TRUE(ProcessUntil([&] { return dlg.LogModel()->rowCount() == 5; }));
  EXPECT_EQ(notes.size(), 4);
}

TEST_F(WindowTrayTest, ActivityNotesTable) {
  const struct {
    const char* line;
    const char* note;
  } cases[] = {
      {"user(bob:10.0.0.7) upload file end report.pdf(1.2 MB)", "bob uploaded report.pdf"},
      {"user(:10.0.0.7) upload file end a (1).txt(10 B)", "? uploaded a (1).txt"},
      {"user(bob:10.0.0.7) upload file start", ""},
      {"user(bob:10.0.0.7) download file end a.txt(10 B/10 B)", ""},
      {"user(bob:10.0.0.7) delete file share a.txt", ""},
      {"Database: /home/ann/tessel.mdb", ""},
  };
  for (const auto& c : cases)
    EXPECT_EQ(desktop::ActivityNote(c.line).toStdString(), c.note) << c.line;
}

TEST_F(WindowTrayTest, KeysActOnTheListInFrontAndGreyedCommandsWaitForASelection) {
  ASSERT_FALSE(m_shares.ShareFile(MakeFile("a b.txt"), "", 0).empty());
  RecordingDlg& dlg = Dlg();
  dlg.ShowWindow();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
  dlg.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&dlg));
  dlg.ShowList(Dlg::kViewFileShare, true);
  QTreeWidget* shares = dlg.SharesList();
  shares->clearSelection();
  shares->setCurrentItem(nullptr);
  EXPECT_FALSE(dlg.Action(Dlg::kEditShare)->isEnabled());
  EXPECT_FALSE(dlg.Action(Dlg::kDeleteShare)->isEnabled());
  EXPECT_EQ(DialogOpenedBy([&] { QTest::keyClick(shares, Qt::Key_F2); }), "");

  shares->setCurrentItem(shares->topLevelItem(0));
  EXPECT_TRUE(dlg.Action(Dlg::kEditShare)->isEnabled());
  EXPECT_TRUE(dlg.Action(Dlg::kDeleteShare)->isEnabled());
  EXPECT_EQ(DialogOpenedBy([&] { QTest::keyClick(shares, Qt::Key_F2); }), "CDlgFileShare");
  dlg.CheckView().SetDirectUrl("http://10.0.0.5");
  dlg.CheckView().SetPageUrl("http://10.0.0.5");
  QTest::keySequence(shares, QKeySequence::Copy);
  EXPECT_EQ(QGuiApplication::clipboard()->text(), "http://10.0.0.5/download.htm?file=a+b.txt");

  // F5 lists what came meanwhile; F2 in My Friends edits the account.
  ASSERT_FALSE(m_shares.ShareFile(MakeFile("late.txt"), "", 0).empty());
  QTest::keyClick(shares, Qt::Key_F5);
  EXPECT_EQ(shares->topLevelItemCount(), 2);
  dlg.ShowList(Dlg::kViewMyFriends, true);
  QTreeWidget* accounts = dlg.AccountsList();
  accounts->setCurrentItem(accounts->topLevelItem(0));
  EXPECT_EQ(DialogOpenedBy([&] { QTest::keyClick(accounts, Qt::Key_F2); }), "CDlgAccount");
  QTest::keyClick(accounts, Qt::Key_Delete);
  ASSERT_EQ(m_shell.questions.size(), 1u) << "Delete in My Friends asks before deleting";
}

TEST(QtTranslationsTest, QtsOwnButtonsFollowTheStringTablesLanguage) {
  QApplication& app = OffscreenApp();
  EXPECT_EQ(desktop::InstallQtTranslations(app, res::Language::kEnglish), nullptr);
  EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "Cancel"), "Cancel");
  QTranslator* chinese = desktop::InstallQtTranslations(app, res::Language::kChinese);
  if (!chinese) GTEST_SKIP() << "Qt's translations are not installed (qt6-translations-l10n)";
  EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "Cancel"), "取消");
  QCoreApplication::removeTranslator(chinese);
  delete chinese;
}

}  // namespace
}  // namespace tessel::test
