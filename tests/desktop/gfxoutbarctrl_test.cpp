#include "desktop/GfxOutBarCtrl.h"

#include <gtest/gtest.h>

#include <QContextMenuEvent>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <vector>

#include "desktop/OffscreenApp.h"

namespace {

using Bar = CGfxOutBarCtrl;

struct Told {
  int code;
  Bar::Notification notification;
  int selected_then;  // the bar's selected item while it was telling
};

// The main window's bar (one folder without caption, three items) with an owner that records
// what it is told and answers as answer says.
class OutBarTest : public ::testing::Test {
 protected:
  // Before the fixture makes its bar.
  static void SetUpTestSuite() { tessel::test::OffscreenApp(); }

  explicit OutBarTest(unsigned flags = 256) : bar(nullptr, flags) {
    bar.resize(110, 400);
    bar.AddFolder("", 0);
    bar.InsertItem(0, 0, "File Share", 0, 10);
    bar.InsertItem(0, 1, "My Friends", 1, 11);
    bar.InsertItem(0, 2, "Logs", 2, 12);
    bar.SetOwner([this](int code, const Bar::Notification& notification) {
      told.push_back({code, notification, bar.GetSelectedItem()});
      return answer;
    });
  }

  void Send(QEvent::Type type, QPoint at, Qt::MouseButtons buttons = Qt::LeftButton) {
    QMouseEvent event(type, QPointF(at), bar.mapToGlobal(QPointF(at)),
                      type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton, buttons,
                      Qt::NoModifier);
    QApplication::sendEvent(&bar, &event);
  }
  void Click(QPoint at) {
    Send(QEvent::MouseButtonPress, at);
    Send(QEvent::MouseButtonRelease, at, Qt::NoButton);
  }
  void Key(QWidget* target, int key) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(target, &press);
  }
  QString ItemText(int index) { return bar.GetFolder(0)->GetItem(index)->GetText(); }

  Bar bar;
  long answer = 0;
  std::vector<Told> told;
};

class OutBarEditingTest : public OutBarTest {
 protected:
  OutBarEditingTest() : OutBarTest(Bar::kDefaultFlags & ~Bar::kSmallIcons) {
    bar.AddFolder("Second", 0);
    bar.show();
  }
};

TEST_F(OutBarTest, AClickSelectsTheItemBeforeTheOwnerIsTold) {
  EXPECT_EQ(bar.GetSelectedItem(), 0);
  Click(bar.ItemRect(2).center());
  EXPECT_EQ(bar.GetSelectedItem(), 2);
  ASSERT_EQ(told.size(), 1u);
  EXPECT_EQ(told[0].code, Bar::kNotifyItemClicked);
  EXPECT_EQ(told[0].notification.index, 2);
  EXPECT_EQ(told[0].notification.folder, 0);
  EXPECT_EQ(told[0].selected_then, 2);

  // Pressed on one item and released on another is no click.
  Send(QEvent::MouseButtonPress, bar.ItemRect(0).center());
  Send(QEvent::MouseMove, bar.ItemRect(1).center());
  Send(QEvent::MouseButtonRelease, bar.ItemRect(1).center(), Qt::NoButton);
  EXPECT_EQ(told.size(), 1u);
  EXPECT_EQ(bar.GetSelectedItem(), 2);
  EXPECT_EQ(ItemText(0), "File Share") << "without drag flag nothing moves";

  // Below the last item is no item.
  Click(QPoint(50, 390));
  EXPECT_EQ(told.size(), 1u);
}

TEST_F(OutBarTest, KeysSelectAsClicksDo) {
  Key(&bar, Qt::Key_Down);
  Key(&bar, Qt::Key_Down);
  Key(&bar, Qt::Key_Down);  // already the last: nothing
  Key(&bar, Qt::Key_Home);
  ASSERT_EQ(told.size(), 3u);
  EXPECT_EQ(told[0].notification.index, 1);
  EXPECT_EQ(told[1].notification.index, 2);
  EXPECT_EQ(told[2].notification.index, 0);
  EXPECT_EQ(bar.GetSelectedItem(), 0);
  Key(&bar, Qt::Key_F2);
  EXPECT_EQ(bar.GetEditor(), nullptr) << "the main window's flags allow no editing";
}

TEST_F(OutBarTest, WithoutEditOrRemoveFlagsThereIsNoContextMenu) {
  const QPoint at = bar.ItemRect(1).center();
  QContextMenuEvent menu(QContextMenuEvent::Mouse, at, bar.mapToGlobal(at));
  menu.accept();
  QApplication::sendEvent(&bar, &menu);
  EXPECT_FALSE(menu.isAccepted()) << "left to the window";
}

TEST_F(OutBarEditingTest, ClickingACaptionChangesTheFolder) {
  ASSERT_FALSE(bar.FolderRect(1).isEmpty());
  EXPECT_FALSE(bar.FolderRect(0).isEmpty()) << "with two folders both have buttons";
  Click(bar.FolderRect(1).center());
  EXPECT_EQ(bar.GetSelFolder(), 1);
  ASSERT_EQ(told.size(), 1u);
  EXPECT_EQ(told[0].code, Bar::kNotifyFolderChanged);
  EXPECT_EQ(told[0].notification.folder, 1);
  EXPECT_TRUE(bar.ItemRect(0).isEmpty()) << "the second folder has no items";
  Click(bar.FolderRect(0).center());
  EXPECT_EQ(bar.GetSelFolder(), 0);
}

TEST_F(OutBarEditingTest, EnterEndsTheEditAndTheOwnersAnswerDecides) {
  ASSERT_TRUE(bar.StartItemEdit(1));
  CGfxGroupEdit* editor = bar.GetEditor();
  ASSERT_NE(editor, nullptr);
  EXPECT_EQ(editor->text(), "My Friends");
  EXPECT_EQ(editor->GetKind(), CGfxGroupEdit::Kind::kItem);
  editor->setText("Friends");
  answer = 0;
  Key(editor, Qt::Key_Return);
  ASSERT_EQ(told.size(), 1u);
  EXPECT_EQ(told[0].code, Bar::kNotifyItemText);
  EXPECT_EQ(told[0].notification.index, 1);
  EXPECT_EQ(told[0].notification.text, "Friends");
  EXPECT_EQ(ItemText(1), "My Friends") << "an owner answering 0 keeps the text";
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_EQ(bar.GetEditor(), nullptr) << "the editor is gone";

  ASSERT_TRUE(bar.StartItemEdit(1));
  bar.GetEditor()->setText("Friends");
  answer = 1;
  Key(bar.GetEditor(), Qt::Key_Enter);
  EXPECT_EQ(told.size(), 2u);
  EXPECT_EQ(ItemText(1), "Friends");
}

TEST_F(OutBarEditingTest, EscapeCancelsAndAnEmptyTextIsNeverProposed) {
  answer = 1;
  ASSERT_TRUE(bar.StartItemEdit(0));
  QPointer<CGfxGroupEdit> editor = bar.GetEditor();
  editor->setText("Other");
  Key(editor, Qt::Key_Escape);
  EXPECT_TRUE(told.empty());
  EXPECT_EQ(ItemText(0), "File Share");

  ASSERT_TRUE(bar.StartItemEdit(0));
  bar.GetEditor()->setText("");
  Key(bar.GetEditor(), Qt::Key_Return);
  EXPECT_TRUE(told.empty());
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(editor.isNull());
}

TEST_F(OutBarEditingTest, LosingTheFocusClosesTheEditorOnce) {
  answer = 1;
  ASSERT_TRUE(bar.StartItemEdit(2));
  QPointer<CGfxGroupEdit> editor = bar.GetEditor();
  editor->setText("Activity");
  // Its own context menu takes the focus only for a moment.
  QFocusEvent to_popup(QEvent::FocusOut, Qt::PopupFocusReason);
  QApplication::sendEvent(editor, &to_popup);
  EXPECT_TRUE(told.empty());
  QFocusEvent away(QEvent::FocusOut, Qt::MouseFocusReason);
  QApplication::sendEvent(editor, &away);
  QFocusEvent again(QEvent::FocusOut, Qt::MouseFocusReason);
  QApplication::sendEvent(editor, &again);
  ASSERT_EQ(told.size(), 1u);
  EXPECT_EQ(ItemText(2), "Activity");
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(editor.isNull());
}

TEST_F(OutBarEditingTest, FolderCaptionsAreEditedThroughTheOwner) {
  ASSERT_TRUE(bar.StartFolderEdit(1));
  EXPECT_EQ(bar.GetEditor()->GetKind(), CGfxGroupEdit::Kind::kFolder);
  bar.GetEditor()->setText("Archive");
  answer = 0;
  Key(bar.GetEditor(), Qt::Key_Return);
  ASSERT_EQ(told.size(), 1u);
  EXPECT_EQ(told[0].code, Bar::kNotifyFolderText);
  EXPECT_EQ(told[0].notification.folder, 1);
  EXPECT_EQ(bar.GetFolder(1)->GetCaption(), "Second");

  ASSERT_TRUE(bar.StartFolderEdit(1));
  bar.GetEditor()->setText("Archive");
  answer = 1;
  Key(bar.GetEditor(), Qt::Key_Return);
  EXPECT_EQ(bar.GetFolder(1)->GetCaption(), "Archive");
  EXPECT_FALSE(bar.StartFolderEdit(2));
  EXPECT_FALSE(bar.StartItemEdit(3));
}

TEST_F(OutBarEditingTest, TheEditorWidensWithItsTextButStaysInsideTheBar) {
  ASSERT_TRUE(bar.StartItemEdit(0));
  CGfxGroupEdit* editor = bar.GetEditor();
  editor->setText("x");
  const int narrow = editor->width();
  editor->setText("a much longer text than the bar is wide, surely");
  EXPECT_GE(editor->width(), narrow);
  EXPECT_TRUE(bar.rect().contains(editor->geometry()));
  Key(editor, Qt::Key_Escape);
}

TEST_F(OutBarEditingTest, DraggingAnItemProposesTheMove) {
  const QPoint from = bar.ItemRect(0).center();
  const QPoint past_last = bar.ItemRect(2).bottomLeft() + QPoint(20, 2);
  auto drag = [&] {
    Send(QEvent::MouseButtonPress, from);
    Send(QEvent::MouseMove, from + QPoint(0, 30));
    Send(QEvent::MouseMove, past_last);
    Send(QEvent::MouseButtonRelease, past_last, Qt::NoButton);
  };
  answer = 0;
  drag();
  ASSERT_EQ(told.size(), 1u);
  EXPECT_EQ(told[0].code, Bar::kNotifyItemDragged);
  EXPECT_EQ(told[0].notification.index, 0);
  EXPECT_EQ(told[0].notification.to_index, 2);
  EXPECT_EQ(ItemText(0), "File Share") << "refused";

  answer = 1;
  drag();
  EXPECT_EQ(ItemText(0), "My Friends");
  EXPECT_EQ(ItemText(2), "File Share");
  EXPECT_EQ(bar.GetSelectedItem(), 2) << "the selection moves with its item";
  for (const Told& each : told) EXPECT_NE(each.code, Bar::kNotifyItemClicked);
}

TEST(BarFolder, InsertsMovesAndRemovesItems) {
  CBarFolder folder("Caption", 7);
  EXPECT_EQ(folder.InsertItem(5, "b", 1, 0), 0) << "clamped to the end";
  EXPECT_EQ(folder.InsertItem(0, "a", 0, 0), 0);
  EXPECT_EQ(folder.InsertItem(2, "c", 2, 0), 2);
  EXPECT_TRUE(folder.MoveItem(0, 2));
  EXPECT_EQ(folder.GetItem(0)->GetText(), "b");
  EXPECT_EQ(folder.GetItem(2)->GetText(), "a");
  EXPECT_FALSE(folder.MoveItem(0, 3));
  EXPECT_TRUE(folder.RemoveItem(1));
  EXPECT_FALSE(folder.RemoveItem(2));
  EXPECT_EQ(folder.GetItemCount(), 2);
  EXPECT_EQ(folder.GetItem(2), nullptr);
  EXPECT_EQ(folder.GetData(), 7u);
}

}  // namespace
