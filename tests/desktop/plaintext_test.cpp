// Text that visitors choose (file names, account names, descriptions, log lines) reaches the
// owner's window letter for letter wherever Qt guesses between plain and rich text.
#include "desktop/PlainText.h"

#include <QHelpEvent>
#include <QLabel>
#include <QMessageBox>
#include <QTest>
#include <QTextDocumentFragment>
#include <QTimer>
#include <QTreeView>
#include <QTreeWidget>

#include "desktop/DesktopShell.h"
#include "desktop/InfoBar.h"
#include "desktop/WindowFixture.h"

namespace tessel::test {
namespace {

using desktop::PlainText;

// What a person reads where Qt guesses the format: the text itself, or the characters of the rich
// text Qt takes it for. Only parsed, never laid out, so no image in it is loaded.
QString Read(const QString& shown) {
  if (!Qt::mightBeRichText(shown)) return shown;
  return QTextDocumentFragment::fromHtml(shown).toPlainText();
}

// Names a friend may give an upload (no "/": they are file names); the first made an unmended
// window read /dev/zero for ever.
const char* const kNames[] = {
    R"(<img src="&#47;dev&#47;zero">.txt)",
    "<b>bold<b> &amp; more.txt",
    "<a href=\"#x\">click<a>",
    "a  b <i>two blanks<i>.txt",
    "plain name.txt",
};

class PlainTextTest : public WindowFixture {};

TEST_F(PlainTextTest, VisitorTextIsReadAsItsLettersInEveryTip) {
  Dlg();  // takes the log lines from now on
  for (const char* name : kNames) {
    SCOPED_TRACE(name);
    const QString text = QString::fromUtf8(name);
    EXPECT_EQ(Read(PlainText(text)), text);

    // A friend's upload: its name, path and uploader in File Share.
    const std::string shared = m_shares.ShareFile(MakeFile(name), name, 1);
    ASSERT_EQ(shared, name);
    // The account it came from in My Friends, and its download in Logs.
    AccountRecord account;
    account.account_name = name;
    account.password = "pw";
    account.description = name;
    ASSERT_TRUE(m_accounts.AddAccount(account));
    m_log.AddLog("10.0.0.7", name, CDataLog::kDownloadFile, name, 0, 10, CDataLog::kPhaseStart);
  }
  Dlg().ShowList(CTesselDlg::kViewFileShare, true);
  Dlg().ShowList(CTesselDlg::kViewMyFriends, true);
  ASSERT_TRUE(ProcessUntil(
      [&] { return Dlg().LogModel()->rowCount() == static_cast<int>(std::size(kNames)); }));

  for (QTreeWidget* list : {static_cast<QTreeWidget*>(Dlg().SharesList()),
                            static_cast<QTreeWidget*>(Dlg().AccountsList())}) {
    ASSERT_GE(list->topLevelItemCount(), static_cast<int>(std::size(kNames)));
    for (int row = 0; row < list->topLevelItemCount(); ++row)
      for (int column = 0; column < list->columnCount(); ++column) {
        const QTreeWidgetItem* item = list->topLevelItem(row);
        EXPECT_EQ(Read(item->data(column, Qt::ToolTipRole).toString()), item->text(column))
            << item->text(column).toStdString();
      }
  }
  CLogModel& logs = *Dlg().LogModel();
  for (int row = 0; row < logs.rowCount(); ++row) {
    const QModelIndex index = logs.index(row, 1);
    EXPECT_EQ(Read(logs.data(index, Qt::ToolTipRole).toString()),
              logs.data(index, Qt::DisplayRole).toString());
  }

  // An address the Internet check found, under the QR code.
  Dlg().InfoBar()->SetQrText(QString("http://203.0.113.9/") + kNames[0]);
  EXPECT_TRUE(Read(Dlg().InfoBar()->toolTip()).endsWith(QString("http://203.0.113.9/") + kNames[0]))
      << Dlg().InfoBar()->toolTip().toStdString();
}

TEST_F(PlainTextTest, MessageBoxesShowTheirTextAsItStands) {
  const QString text = QString("The share %1 exists.").arg(kNames[2]);
  QString shown;
  QTimer::singleShot(0, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    ASSERT_NE(box, nullptr);
    shown = Child<QLabel>(*box, "qt_msgbox_label")->text();
    box->accept();
  });
  CDesktopShell::Standard().ShowMessage(nullptr, text);
  EXPECT_EQ(Read(shown), text);
}

TEST_F(PlainTextTest, PointingAtARowShowsItsNameLiterally) {
  // An image that would load harmlessly, so that a regression fails rather than hangs.
  const std::string name = R"(<img src="&#47;dev&#47;null">.txt)";
  ASSERT_EQ(m_shares.ShareFile(MakeFile(name), "", 0), name);
  Dlg().ShowList(CTesselDlg::kViewFileShare, true);
  Dlg().show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&Dlg()));
  QTreeWidget* list = Dlg().SharesList();
  const QPoint at = list->visualRect(list->model()->index(0, CShareList::kColName)).center();
  QHelpEvent hover(QEvent::ToolTip, at, list->viewport()->mapToGlobal(at));
  QCoreApplication::sendEvent(list->viewport(), &hover);
  QLabel* tip = nullptr;
  ASSERT_TRUE(ProcessUntil([&] {
    for (QWidget* widget : QApplication::topLevelWidgets())
      if (widget->inherits("QTipLabel") && widget->isVisible()) tip = qobject_cast<QLabel*>(widget);
    return tip != nullptr;
  }));
  EXPECT_EQ(Read(tip->text()).toStdString(), name);
}

}  // namespace
}  // namespace tessel::test
