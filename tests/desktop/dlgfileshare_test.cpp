#include "desktop/DlgFileShare.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QLineEdit>
#include <filesystem>

#include "desktop/FakeShell.h"
#include "desktop/OffscreenApp.h"
#include "res/StringTable.h"
#include "support/TempFolder.h"

namespace {

class DlgFileShareTest : public ::testing::Test {
 protected:
  DlgFileShareTest() : shares(folder.path()) {
    tessel::test::OffscreenApp();
    tessel::res::SetLanguage(tessel::res::Language::kEnglish);
    EXPECT_TRUE(shares.Open());
    std::filesystem::create_directories(folder / "a/photos");
    std::filesystem::create_directories(folder / "b/photos");
  }

  FileShareRecord Stored(const std::string& name) {
    FileShareRecord record;
    EXPECT_TRUE(shares.GetShare(name, record)) << name;
    return record;
  }

  TempFolder folder;
  CDataFileShare shares;
  tessel::test::FakeShell shell;
};

TEST_F(DlgFileShareTest, BrowserFillsThePathAndANameNoOtherShareUses) {
  ASSERT_EQ(shares.ShareFile(folder / "a/photos", "", 0), "photos");
  CDlgFileShare dlg(shares, true, "", nullptr, &shell);
  shell.picked_folder = QString::fromStdString(folder / "b/photos");
  tessel::test::Child<QAction>(dlg, "pickFolder")->trigger();
  EXPECT_EQ(tessel::test::Child<QLineEdit>(dlg, "filePath")->text(), shell.picked_folder);
  EXPECT_EQ(tessel::test::Child<QLineEdit>(dlg, "shareName")->text(), "photos-2");

  // A cancelled picker changes nothing.
  shell.picked_file.clear();
  tessel::test::Child<QAction>(dlg, "pickFile")->trigger();
  EXPECT_EQ(tessel::test::Child<QLineEdit>(dlg, "shareName")->text(), "photos-2");

  tessel::test::Child<QLineEdit>(dlg, "description")->setText("holiday");
  tessel::test::Child<QCheckBox>(dlg, "auth")->setChecked(true);
  dlg.accept();
  EXPECT_EQ(dlg.result(), QDialog::Accepted);
  const FileShareRecord stored = Stored("photos-2");
  EXPECT_EQ(stored.path, folder / "b/photos");
  EXPECT_EQ(stored.description, "holiday");
  EXPECT_EQ(stored.share_mode, FileShareRecord::kModeAuth);
  EXPECT_FALSE(stored.share_time.empty()) << "the store stamps a new share";
  EXPECT_EQ(Stored("photos").path, folder / "a/photos");
}

TEST_F(DlgFileShareTest, RenamingOntoAnotherShareIsRefusedAndKeepingTheNameNeverAsks) {
  ASSERT_EQ(shares.ShareFile(folder / "a/photos", "", 0), "photos");
  ASSERT_EQ(shares.ShareFile(folder / "b/photos", "", 1), "photos-2");
  const FileShareRecord before = Stored("photos-2");
  {
    CDlgFileShare dlg(shares, false, "photos-2", nullptr, &shell);
    EXPECT_EQ(tessel::test::Child<QLineEdit>(dlg, "shareTime")->text(),
              QString::fromStdString(before.share_time));
    EXPECT_TRUE(tessel::test::Child<QLineEdit>(dlg, "shareTime")->isReadOnly());
    EXPECT_TRUE(tessel::test::Child<QLineEdit>(dlg, "uploader")->isReadOnly());
    EXPECT_TRUE(tessel::test::Child<QCheckBox>(dlg, "auth")->isChecked());
    tessel::test::Child<QLineEdit>(dlg, "shareName")->setText("PHOTOS");
    dlg.accept();
    EXPECT_NE(dlg.result(), QDialog::Accepted);
    ASSERT_EQ(shell.messages.size(), 1u);
    EXPECT_EQ(shell.messages[0], "The file name already exists!");
  }
  EXPECT_EQ(Stored("photos-2"), before);
  {
    CDlgFileShare dlg(shares, false, "photos-2", nullptr, &shell);
    tessel::test::Child<QLineEdit>(dlg, "description")->setText("second copy");
    tessel::test::Child<QCheckBox>(dlg, "auth")->setChecked(false);
    dlg.accept();
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
    EXPECT_EQ(shell.messages.size(), 1u) << "no question for the share's own name";
  }
  const FileShareRecord after = Stored("photos-2");
  EXPECT_EQ(after.description, "second copy");
  EXPECT_EQ(after.share_mode, FileShareRecord::kModePublic);
  EXPECT_EQ(after.share_time, before.share_time) << "editing keeps the share time";
}

TEST_F(DlgFileShareTest, ChangingOnlyTheLetterCaseOfItsOwnNameIsNoClash) {
  ASSERT_EQ(shares.ShareFile(folder / "a/photos", "", 0), "photos");
  CDlgFileShare dlg(shares, false, "photos", nullptr, &shell);
  tessel::test::Child<QLineEdit>(dlg, "shareName")->setText("Photos");
  dlg.accept();
  EXPECT_EQ(dlg.result(), QDialog::Accepted);
  EXPECT_TRUE(shell.messages.empty());
  EXPECT_EQ(Stored("photos").name, "Photos");
}

TEST_F(DlgFileShareTest, AnEmptyNameKeepsTheDialogOpenSilently) {
  CDlgFileShare dlg(shares, true, "", nullptr, &shell);
  tessel::test::Child<QLineEdit>(dlg, "filePath")
      ->setText(QString::fromStdString(folder / "a/photos"));
  dlg.accept();
  EXPECT_NE(dlg.result(), QDialog::Accepted);
  EXPECT_TRUE(shell.messages.empty());
  std::vector<FileShareRecord> all;
  EXPECT_EQ(shares.ListShares(all), 0);
}

TEST_F(DlgFileShareTest, AFailedWriteIsToldAndTheDialogStaysOpen) {
  CDataFileShare broken(folder / "missing-folder");
  CDlgFileShare dlg(broken, true, "", nullptr, &shell);
  tessel::test::Child<QLineEdit>(dlg, "shareName")->setText("notes");
  dlg.accept();
  EXPECT_NE(dlg.result(), QDialog::Accepted);
  ASSERT_EQ(shell.messages.size(), 1u);
  EXPECT_EQ(shell.messages[0], "The share could not be saved.");
}

TEST_F(DlgFileShareTest, DeleteRemovesOnlyTheRow) {
  ASSERT_EQ(shares.ShareFile(folder / "a/photos", "", 0), "photos");
  EXPECT_TRUE(CDlgFileShare::DeleteShare(shares, "photos"));
  FileShareRecord gone;
  EXPECT_FALSE(shares.GetShare("photos", gone));
  EXPECT_TRUE(std::filesystem::is_directory(folder / "a/photos"));
  EXPECT_TRUE(shell.questions.empty());
}

TEST_F(DlgFileShareTest, NamesThatCanNeverWorkAreRefusedNamingTheCharacter) {
  const struct {
    const char* name;
    const char* message;  // empty: saved
  } cases[] = {
      {"back\\slash", "A name cannot hold the character \\."},
      {"rock&roll", "A name cannot hold the character &."},
      {"fine name #1+2%", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    shell.messages.clear();
    CDlgFileShare dlg(shares, true, "", nullptr, &shell);
    tessel::test::Child<QLineEdit>(dlg, "filePath")->setText(QString::fromStdString(folder / "a"));
    tessel::test::Child<QLineEdit>(dlg, "shareName")->setText(c.name);
    dlg.accept();
    FileShareRecord record;
    if (*c.message) {
      EXPECT_NE(dlg.result(), QDialog::Accepted);
      ASSERT_EQ(shell.messages.size(), 1u);
      EXPECT_EQ(shell.messages[0], c.message);
      EXPECT_FALSE(shares.GetShare(c.name, record));
    } else {
      EXPECT_EQ(dlg.result(), QDialog::Accepted);
      EXPECT_TRUE(shell.messages.empty());
      EXPECT_TRUE(shares.GetShare(c.name, record));
    }
  }
}

TEST_F(DlgFileShareTest, APathThatDoesNotExistIsSavedOnlyWhenTheOwnerSaysSo) {
  const std::string gone = folder / "stick/music";
  for (const bool yes : {false, true}) {
    shell.answer_yes = yes;
    shell.questions.clear();
    CDlgFileShare dlg(shares, true, "", nullptr, &shell);
    tessel::test::Child<QLineEdit>(dlg, "filePath")->setText(QString::fromStdString(gone));
    tessel::test::Child<QLineEdit>(dlg, "shareName")->setText("music");
    dlg.accept();
    ASSERT_EQ(shell.questions.size(), 1u);
    EXPECT_TRUE(shell.questions[0].startsWith(QString::fromStdString(gone) + " does not exist"))
        << shell.questions[0].toStdString();
    FileShareRecord record;
    EXPECT_EQ(dlg.result() == QDialog::Accepted, yes);
    EXPECT_EQ(shares.GetShare("music", record), yes);
  }
  // A path that is there is not asked about.
  shell.questions.clear();
  CDlgFileShare dlg(shares, true, "", nullptr, &shell);
  tessel::test::Child<QLineEdit>(dlg, "filePath")
      ->setText(QString::fromStdString(folder / "a/photos"));
  tessel::test::Child<QLineEdit>(dlg, "shareName")->setText("photos");
  dlg.accept();
  EXPECT_EQ(dlg.result(), QDialog::Accepted);
  EXPECT_TRUE(shell.questions.empty());
}

}  // namespace
