// The main window's commands, drops, timer and hiding, on the offscreen platform.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDialog>
#include <QDir>
#include <QGuiApplication>
#include <QLineEdit>
#include <QMimeData>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <QTreeView>
#include <QTreeWidget>
#include <QUrl>

#include "desktop/GfxOutBarCtrl.h"
#include "desktop/InfoBar.h"
#include "desktop/WindowFixture.h"
#include "res/StringTable.h"
#include "support/Loopback.h"

namespace fs = std::filesystem;

namespace tessel::test {
namespace {

using Dlg = CTesselDlg;

QStringList Column(QTreeWidget* list, int column) {
  QStringList texts;
  for (int row = 0; row < list->topLevelItemCount(); ++row)
    texts << list->topLevelItem(row)->text(column);
  return texts;
}

QTreeWidgetItem* Row(QTreeWidget* list, const QString& name) {
  const QList<QTreeWidgetItem*> found = list->findItems(name, Qt::MatchExactly, 0);
  return found.isEmpty() ? nullptr : found.front();
}

class TesselDlgTest : public WindowFixture {
 protected:
  TesselDlgTest() { res::SetLanguage(res::Language::kEnglish); }

  // Drops urls on the window as a drag from a file manager would.
  void Drop(const QList<QUrl>& urls) {
    QMimeData data;
    data.setUrls(urls);
    const QPoint at = Dlg().rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&Dlg(), &enter);
    ASSERT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(at), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&Dlg(), &drop);
  }

  std::vector<FileShareRecord> Shares() {
    std::vector<FileShareRecord> list;
    m_shares.ListShares(list);
    return list;
  }
};

TEST_F(TesselDlgTest, DroppedFilesAndFolderBecomePublicSharesShownInFront) {
  const std::string a = MakeFile("a.txt"), b = MakeFile("b b.txt"), c = MakeFile("c.mp3");
  const std::string folder = m_folder / "files/photos";
  fs::create_directory(folder);
  Dlg().ShowList(Dlg::kViewMyFriends, true);

  // A folder comes with a trailing "/" from some file managers.
  Drop({QUrl::fromLocalFile(QString::fromStdString(a)),
        QUrl::fromLocalFile(QString::fromStdString(b)),
        QUrl::fromLocalFile(QString::fromStdString(c)),
        QUrl::fromLocalFile(QString::fromStdString(folder + "/"))});

  const std::vector<FileShareRecord> shares = Shares();
  ASSERT_EQ(shares.size(), 4u);
  for (const FileShareRecord& share : shares) {
    EXPECT_EQ(share.share_mode, FileShareRecord::kModePublic) << share.name;
    EXPECT_EQ(share.uploader, "");
  }
  EXPECT_EQ(shares[3].name, "photos");
  EXPECT_EQ(shares[3].path, folder);
  EXPECT_EQ(Dlg().CurrentView(), Dlg::kViewFileShare);
  EXPECT_EQ(Dlg().OutBar()->GetSelectedItem(), Dlg::kViewFileShare);
  QStringList names = Column(Dlg().SharesList(), Dlg::kColName);
  names.sort();
  EXPECT_EQ(names, QStringList({"a.txt", "b b.txt", "c.mp3", "photos"}));
  ASSERT_TRUE(ProcessUntil([&] { return !Dlg().SharesList()->Looking(); }));
  EXPECT_EQ(Row(Dlg().SharesList(), "photos")->text(Dlg::kColSize), "0");

  // Something that is no local file is not taken.
  QMimeData web;
  web.setUrls({QUrl("http://example.invalid/x")});
  QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &web, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(&Dlg(), &enter);
  EXPECT_FALSE(enter.isAccepted());
}

TEST_F(TesselDlgTest, VanishedShareStaysMarkedMissingUntilItsPathIsBack) {
  for (const char* name : {"one.txt", "two.txt", "three.txt"})
    ASSERT_FALSE(m_shares.ShareFile(MakeFile(name, 1234), "", 0).empty());
  // A link that loops: the path is there, but cannot be looked at (ELOOP) even by root.
  const std::string loop = m_folder / "files/loop";
  ASSERT_EQ(symlink(loop.c_str(), loop.c_str()), 0);
  ASSERT_FALSE(m_shares.ShareFile(loop, "", 1).empty());
  ShowShares();
  ASSERT_EQ(Dlg().SharesList()->topLevelItemCount(), 4);

  // A stick unplugged: the share and its row stay, greyed and marked missing.
  const std::string two = m_folder / "files/two.txt";
  fs::rename(two, m_folder / "two.away");
  ShowShares();
  EXPECT_EQ(Column(Dlg().SharesList(), Dlg::kColName),
            QStringList({"one.txt", "two.txt", "three.txt", "loop"}));
  const QTreeWidgetItem* missing = Row(Dlg().SharesList(), "two.txt");
  EXPECT_EQ(missing->text(Dlg::kColType), "missing");
  EXPECT_EQ(missing->text(Dlg::kColSize), "");
  EXPECT_NE(missing->foreground(Dlg::kColName), Row(Dlg().SharesList(), "one.txt")->foreground(0));
  FileShareRecord kept;
  EXPECT_TRUE(m_shares.GetShare("two.txt", kept));
  // The row after the missing one is whole.
  const QTreeWidgetItem* three = Row(Dlg().SharesList(), "three.txt");
  ASSERT_NE(three, nullptr);
  EXPECT_EQ(three->text(Dlg::kColType), "Public");
  EXPECT_EQ(three->text(Dlg::kColSize).remove(QRegularExpression("[^0-9]")), "1234");
  EXPECT_TRUE(QRegularExpression(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d$)")
                  .match(three->text(Dlg::kColFileTime))
                  .hasMatch())
      << three->text(Dlg::kColFileTime).toStdString();
  EXPECT_FALSE(three->text(Dlg::kColShareTime).isEmpty());
  EXPECT_EQ(three->text(Dlg::kColPath).toStdString(), m_folder / "files/three.txt");
  // The unreadable share keeps its row and its record, with no size or time.
  const QTreeWidgetItem* unreadable = Row(Dlg().SharesList(), "loop");
  ASSERT_NE(unreadable, nullptr);
  EXPECT_EQ(unreadable->text(Dlg::kColType), "Auth");
  EXPECT_EQ(unreadable->text(Dlg::kColSize), "");
  EXPECT_EQ(unreadable->text(Dlg::kColFileTime), "");

  // Plugged in again: the share is back as it was.
  fs::rename(m_folder / "two.away", two);
  ShowShares();
  EXPECT_EQ(Row(Dlg().SharesList(), "two.txt")->text(Dlg::kColType), "Public");
  EXPECT_EQ(Row(Dlg().SharesList(), "two.txt")->foreground(0),
            Row(Dlg().SharesList(), "one.txt")->foreground(0));
}

TEST_F(TesselDlgTest, DeleteKeyRemovesEverySelectedShareWithoutAsking) {
  for (const char* name : {"1.txt", "2.txt", "3.txt", "4.txt", "5.txt"})
    ASSERT_FALSE(m_shares.ShareFile(MakeFile(name), "", 0).empty());
  Dlg().show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&Dlg()));
  QTreeWidget* list = Dlg().SharesList();
  for (const char* name : {"1.txt", "3.txt", "5.txt"}) Row(list, name)->setSelected(true);

  // With another list in front the key leaves the hidden selection alone.
  Dlg().ShowList(Dlg::kViewLogs, true);
  Dlg().activateWindow();
  QTest::keyClick(&Dlg(), Qt::Key_Delete);
  EXPECT_EQ(Shares().size(), 5u);

  Dlg().ShowList(Dlg::kViewFileShare, true);
  QTest::keyClick(&Dlg(), Qt::Key_Delete);
  EXPECT_EQ(Column(list, Dlg::kColName), QStringList({"2.txt", "4.txt"}));
  ASSERT_EQ(Shares().size(), 2u);
  EXPECT_EQ(Shares()[0].name, "2.txt");
  EXPECT_EQ(Shares()[1].name, "4.txt");
  EXPECT_TRUE(m_shell.questions.empty());
  EXPECT_TRUE(fs::exists(m_folder / "files/3.txt")) << "only the share goes, not the file";
}

TEST_F(TesselDlgTest, CopyUrlPutsDirectUrlAndCurrentShareOnClipboard) {
  ASSERT_EQ(m_shares.ShareFile(MakeFile("a b.txt"), "", 0), "a b.txt");
  ASSERT_FALSE(m_shares.ShareFile(MakeFile("other.txt"), "", 0).empty());
  Dlg().ShowList(Dlg::kViewFileShare, true);
  QClipboard* clipboard = QGuiApplication::clipboard();
  clipboard->setText("before");

  // No page URL yet: nothing happens.
  Dlg().Action(Dlg::kCopyUrl)->trigger();
  EXPECT_EQ(clipboard->text(), "before");

  // As an Internet check hands them over from its thread.
  std::thread check([&] {
    Dlg().CheckView().SetPageUrl("http://friendly.test/me");
    Dlg().CheckView().SetDirectUrl("http://10.0.0.5:8080");
  });
  check.join();
  QTreeWidget* list = Dlg().SharesList();
  list->setCurrentItem(Row(list, "a b.txt"));
  Dlg().Action(Dlg::kCopyUrl)->trigger();
  EXPECT_EQ(clipboard->text(), "http://10.0.0.5:8080/download.htm?file=a+b.txt");

  // A current row that is not selected counts as none.
  Row(list, "a b.txt")->setSelected(false);
  Dlg().Action(Dlg::kCopyUrl)->trigger();
  EXPECT_EQ(clipboard->text(), "http://10.0.0.5:8080");

  // The info bar shows the page URL, as text and as QR code.
  ASSERT_TRUE(ProcessUntil([&] { return !Dlg().InfoBar()->GetQrText().isEmpty(); }));
  EXPECT_EQ(Dlg().InfoBar()->GetQrText(), "http://friendly.test/me");
  EXPECT_TRUE(Dlg().InfoBar()->GetText().endsWith("download it from: http://friendly.test/me"))
      << Dlg().InfoBar()->GetText().toStdString();
}

TEST_F(TesselDlgTest, RefreshingSharesLeavesTheListInFront) {
  Dlg().ShowList(Dlg::kViewMyFriends, true);
  ASSERT_FALSE(m_shares.ShareFile(MakeFile("late.txt"), "", 0).empty());
  Dlg().Action(Dlg::kRefreshShares)->trigger();
  EXPECT_EQ(Dlg().CurrentView(), Dlg::kViewMyFriends);
  EXPECT_EQ(Dlg().OutBar()->GetSelectedItem(), Dlg::kViewMyFriends);
  EXPECT_EQ(Column(Dlg().SharesList(), Dlg::kColName), QStringList({"late.txt"}));

  // An upload on a worker thread says the shares changed: the same refill, later.
  ASSERT_FALSE(m_shares.ShareFile(MakeFile("uploaded.txt"), "bob", 0).empty());
  std::thread worker(
      [&] { m_log.AddLog("10.0.0.7", "bob", CDataLog::kUploadFile, "uploaded.txt", 0, 10, 1); });
  worker.join();
  EXPECT_TRUE(ProcessUntil([&] { return Dlg().SharesList()->topLevelItemCount() == 2; }));
  EXPECT_EQ(Dlg().CurrentView(), Dlg::kViewMyFriends);
}

TEST_F(TesselDlgTest, OutBarClickShowsItsList) {
  Dlg().show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&Dlg()));
  CGfxOutBarCtrl* bar = Dlg().OutBar();
  const QRect logs = bar->ItemRect(Dlg::kViewLogs);
  ASSERT_FALSE(logs.isEmpty());
  QTest::mouseClick(bar, Qt::LeftButton, Qt::NoModifier, logs.center());
  EXPECT_EQ(Dlg().CurrentView(), Dlg::kViewLogs);
  QTest::mouseClick(bar, Qt::LeftButton, Qt::NoModifier,
                    bar->ItemRect(Dlg::kViewMyFriends).center());
  EXPECT_EQ(Dlg().CurrentView(), Dlg::kViewMyFriends);
  // The default accounts are listed.
  EXPECT_TRUE(Column(Dlg().AccountsList(), 0).contains("admin"));
}

TEST_F(TesselDlgTest, InternetCheckOnFirstTickThenEvery301Ticks) {
  RecordingDlg& dlg = Dlg();
  EXPECT_EQ(dlg.checks, 0) << "nothing before the first tick";
  dlg.OnTimer();
  EXPECT_EQ(dlg.checks, 1);
  std::vector<int> at;
  for (int tick = 2; tick <= 700; ++tick) {
    const int before = dlg.checks;
    dlg.OnTimer();
    if (dlg.checks != before) at.push_back(tick);
  }
  EXPECT_EQ(at, std::vector<int>({302, 603}));
  // The Internet check command starts one at once, and does not move the rhythm.
  dlg.Action(Dlg::kInternetCheck)->trigger();
  EXPECT_EQ(dlg.checks, 4);
}

TEST_F(TesselDlgTest, UpdaterBesideTheProgramStartsOnceUnlessTurnedOff) {
  const std::string updater = m_folder / "tessel-update";
  std::ofstream(updater) << "#!/bin/sh\n";
  fs::permissions(updater, fs::perms::owner_all);

  // The setting is missing at first: the updater starts, on the first tick only.
  ASSERT_EQ(m_system.GetParam("CheckNewVersion"), "1") << "the default row";
  ASSERT_TRUE(m_system.SetParam("CheckNewVersion", ""));
  for (int tick = 0; tick < 5; ++tick) Dlg().OnTimer();
  ASSERT_EQ(Dlg().updater_starts.size(), 1u);
  EXPECT_EQ(Dlg().updater_starts[0].toStdString(), updater);
  EXPECT_EQ(
      Dlg().updater_arguments,
      QStringList({"/LocalVersion=3.6", "/RemoteURL=http://web.test/download/tesselsetup.ini"}));
  m_dlg.reset();

  ASSERT_TRUE(m_system.SetParam("CheckNewVersion", "0"));
  for (int tick = 0; tick < 5; ++tick) Dlg().OnTimer();
  EXPECT_TRUE(Dlg().updater_starts.empty());
  m_dlg.reset();

  // Without the file nothing is started, whatever the setting.
  fs::remove(updater);
  ASSERT_TRUE(m_system.SetParam("CheckNewVersion", "1"));
  Dlg().OnTimer();
  EXPECT_TRUE(Dlg().updater_starts.empty());
}

TEST_F(TesselDlgTest, ClosingMinimisingEscapeAndHideLeaveTheProgramRunning) {
  RecordingDlg& dlg = Dlg();
  dlg.tray = true;
  dlg.ShowWindow();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
  EXPECT_FALSE(dlg.close()) << "the close box only hides";
  EXPECT_FALSE(dlg.isVisible());

  dlg.ShowWindow();
  QTest::keyClick(&dlg, Qt::Key_Escape);
  EXPECT_FALSE(dlg.isVisible());

  dlg.ShowWindow();
  dlg.Action(Dlg::kHide)->trigger();
  EXPECT_FALSE(dlg.isVisible());

  dlg.ShowWindow();
  dlg.setWindowState(Qt::WindowMinimized);
  EXPECT_TRUE(ProcessUntil([&] { return !dlg.isVisible(); }));
  dlg.ShowWindow();
  EXPECT_TRUE(dlg.isVisible());
  EXPECT_FALSE(dlg.isMinimized());

  // Without a tray the window must stay reachable: iconified, never hidden.
  dlg.tray = false;
  EXPECT_FALSE(dlg.close());
  EXPECT_TRUE(dlg.isVisible());
  EXPECT_TRUE(dlg.isMinimized());
  dlg.ShowWindow();
  QTest::keyClick(&dlg, Qt::Key_Escape);
  EXPECT_TRUE(dlg.isVisible());
  dlg.Action(Dlg::kHide)->trigger();
  EXPECT_TRUE(dlg.isVisible());
  EXPECT_TRUE(dlg.isMinimized());

  // A window hidden while a tray was there comes back iconified once the tray is gone a while.
  dlg.ShowWindow();
  dlg.tray = true;
  dlg.OnTimer();
  dlg.Action(Dlg::kHide)->trigger();
  ASSERT_FALSE(dlg.isVisible());
  dlg.tray = false;
  for (int tick = 0; tick < 10 && !dlg.isVisible(); ++tick) dlg.OnTimer();
  EXPECT_TRUE(dlg.isVisible());
  EXPECT_TRUE(dlg.isMinimized());
}

TEST_F(TesselDlgTest, HandOverSharesWithItsModeAndShowsFileShare) {
  Dlg().ShowList(Dlg::kViewLogs, true);
  EXPECT_TRUE(Dlg().ShareHandedOver(MakeFile("handed.txt"), 7));
  FileShareRecord share;
  ASSERT_TRUE(m_shares.GetShare("handed.txt", share));
  EXPECT_EQ(share.share_mode, FileShareRecord::kModeAuth) << "any non-zero mode needs a login";
  EXPECT_EQ(Dlg().CurrentView(), Dlg::kViewFileShare);
  EXPECT_EQ(Column(Dlg().SharesList(), Dlg::kColName), QStringList({"handed.txt"}));
}

TEST_F(TesselDlgTest, DeletingAnAccountAsksAndNoKeepsIt) {
  AccountRecord bob;
  bob.account_name = "bob";
  bob.password = "pw";
  ASSERT_TRUE(m_accounts.AddAccount(bob));
  Dlg().ShowList(Dlg::kViewMyFriends, true);
  QTreeWidget* list = Dlg().AccountsList();
  // Nothing current and selected: nothing asked.
  list->clearSelection();
  list->setCurrentItem(nullptr);
  Dlg().Action(Dlg::kDeleteAccount)->trigger();
  EXPECT_TRUE(m_shell.questions.empty());

  list->setCurrentItem(Row(list, "bob"));
  m_shell.answer_yes = false;
  Dlg().Action(Dlg::kDeleteAccount)->trigger();
  ASSERT_EQ(m_shell.questions.size(), 1u);
  EXPECT_EQ(m_shell.questions[0], "Are you sure to delete this account?");
  AccountRecord found;
  EXPECT_TRUE(m_accounts.GetAccount("bob", found));

  m_shell.answer_yes = true;
  Dlg().Action(Dlg::kDeleteAccount)->trigger();
  EXPECT_FALSE(m_accounts.GetAccount("bob", found));
  EXPECT_EQ(Row(Dlg().AccountsList(), "bob"), nullptr);
}

TEST_F(TesselDlgTest, StartupNoticesShowInTheStatusTextProblemsFirst) {
  MainWindowContext context = Context();
  context.notices = {{"Database: /home/ann/tessel.mdb", false},
                     {"The account admin still has the default password.", true},
                     {"Serving on port 8080.", false}};
  RecordingDlg dlg(context, &m_shell, WebService{"web.test", 80});
  EXPECT_EQ(dlg.StatusText(), "The account admin still has the default password.");
  const QString tip = dlg.findChild<QLineEdit*>("statusText")->toolTip();
  EXPECT_EQ(tip,
            "Database: /home/ann/tessel.mdb\nThe account admin still has the default "
            "password.\nServing on port 8080.");
  // The Internet check writes over the status text soon; the Logs list keeps them.
  ASSERT_EQ(dlg.LogModel()->rowCount(), 3);
  EXPECT_EQ(dlg.LogModel()->At(1).text, "The account admin still has the default password.");
  dlg.ReleaseLog();
}

TEST_F(TesselDlgTest, OpeningCommandsUseTheDesktopsHandler) {
  Dlg().Action(Dlg::kMyShare)->trigger();
  EXPECT_TRUE(m_shell.opened.empty()) << "no page URL yet";
  Dlg().CheckView().SetPageUrl("http://10.0.0.5/");
  Dlg().Action(Dlg::kMyShare)->trigger();
  Dlg().Action(Dlg::kMyComputer)->trigger();
  Dlg().Action(Dlg::kUploadPath)->trigger();
  Dlg().Action(Dlg::kHelp)->trigger();
  Dlg().Action(Dlg::kHomepage)->trigger();
  ASSERT_EQ(m_shell.opened.size(), 5u);
  EXPECT_EQ(m_shell.opened[0], QUrl("http://10.0.0.5/"));
  EXPECT_EQ(m_shell.opened[1], QUrl::fromLocalFile(QDir::homePath()));
  EXPECT_EQ(m_shell.opened[2].toLocalFile().toStdString(), m_system.GetUploadPath());
  EXPECT_EQ(m_shell.opened[3], QUrl("http://web.test/download/tessel.pdf"));
  EXPECT_EQ(m_shell.opened[4], QUrl("http://web.test/"));
}

using loopback::FreePort;

// Opens the settings dialog and answers it, once open, with the port text typed and OK.
void SettingsWithPort(CTesselDlg& dlg, const QString& port) {
  bool answered = false;
  QTimer::singleShot(0, [&] {
    auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(dialog, nullptr);
    auto* edit = dialog->findChild<QLineEdit*>("port");
    ASSERT_NE(edit, nullptr);
    edit->setText(port);
    answered = true;
    dialog->accept();
  });
  dlg.Action(CTesselDlg::kSettings)->trigger();
  EXPECT_TRUE(answered);
}

TEST_F(TesselDlgTest, SettingsMoveTheServiceOnlyToAPortThatOpens) {
  // The dialog writes or removes the auto-start entry: this test's own.
  setenv("XDG_CONFIG_HOME", (m_folder / "config").c_str(), 1);
  const int first = FreePort();
  ASSERT_TRUE(m_service.Start(first));
  RecordingDlg& dlg = Dlg();

  // A text that names no port: stored as typed, the service stays, the status says why.
  SettingsWithPort(dlg, "web");
  EXPECT_EQ(m_system.GetParam("LocalPort"), "web");
  EXPECT_EQ(m_service.Port(), first);
  EXPECT_TRUE(m_service.IsRunning());
  EXPECT_NE(dlg.StatusText().indexOf("web"), -1) << dlg.StatusText().toStdString();
  EXPECT_EQ(dlg.checks, 1) << "an Internet check follows every OK";

  // A port another program holds: the service goes back to its port.
  const int held = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(FreePort()));
  ASSERT_EQ(bind(held, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(held, 1), 0);
  const int taken = ntohs(address.sin_port);
  SettingsWithPort(dlg, QString::number(taken));
  EXPECT_EQ(m_system.GetParam("LocalPort"), std::to_string(taken));
  EXPECT_EQ(m_service.Port(), first);
  EXPECT_TRUE(m_service.IsRunning());
  EXPECT_NE(dlg.StatusText().indexOf(QString::number(taken)), -1) << dlg.StatusText().toStdString();
  EXPECT_NE(dlg.StatusText().indexOf(QString::number(first)), -1) << dlg.StatusText().toStdString();
  close(held);

  const int next = FreePort();
  SettingsWithPort(dlg, QString::number(next));
  EXPECT_EQ(m_service.Port(), next);
  EXPECT_EQ(dlg.checks, 3);
  m_service.Stop();
}

TEST_F(TesselDlgTest, APortThatFailsWhileNothingListensIsNamedWithWhatListensNow) {
  setenv("XDG_CONFIG_HOME", (m_folder / "config").c_str(), 1);
  const int held = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(FreePort()));
  ASSERT_EQ(bind(held, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(held, 1), 0);
  const QString taken = QString::number(ntohs(address.sin_port));
  ASSERT_FALSE(m_service.IsRunning());

  SettingsWithPort(Dlg(), taken);
  const QString status = Dlg().StatusText();
  EXPECT_TRUE(status.startsWith("Cannot listen on port " + taken)) << status.toStdString();
  EXPECT_TRUE(status.endsWith("no port is served now.")) << status.toStdString();
  EXPECT_EQ(status.indexOf("port 0"), -1) << status.toStdString();
  close(held);
}

}  // namespace
}  // namespace tessel::test
