#include "desktop/DlgAccount.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>

#include "desktop/FakeShell.h"
#include "desktop/OffscreenApp.h"
#include "res/StringTable.h"
#include "support/TempFolder.h"

namespace {

class DlgAccountTest : public ::testing::Test {
 protected:
  DlgAccountTest() : accounts(folder.path()) {
    tessel::test::OffscreenApp();
    tessel::res::SetLanguage(tessel::res::Language::kEnglish);
    EXPECT_TRUE(accounts.Open());
  }

  AccountRecord Stored(const std::string& name) {
    AccountRecord record;
    EXPECT_TRUE(accounts.GetAccount(name, record)) << name;
    return record;
  }

  TempFolder folder;
  CDataAccount accounts;
  tessel::test::FakeShell shell;
};

TEST_F(DlgAccountTest, ANewAccountMayDoEverythingAndKeepsBothCredentials) {
  CDlgAccount dlg(accounts, true, "", nullptr, &shell);
  auto* name = tessel::test::Child<QLineEdit>(dlg, "accountName");
  auto* type = tessel::test::Child<QComboBox>(dlg, "authType");
  auto* password = tessel::test::Child<QLineEdit>(dlg, "password");
  auto* address = tessel::test::Child<QLineEdit>(dlg, "ipAddress");
  EXPECT_TRUE(name->isEnabled());
  EXPECT_TRUE(tessel::test::Child<QCheckBox>(dlg, "enabled")->isChecked());
  EXPECT_TRUE(tessel::test::Child<QCheckBox>(dlg, "allowUpload")->isChecked());
  EXPECT_TRUE(tessel::test::Child<QCheckBox>(dlg, "allowDelete")->isChecked());
  ASSERT_EQ(type->count(), 2);
  EXPECT_EQ(type->itemText(0), "User password");
  EXPECT_EQ(type->itemText(1), "IP address");
  EXPECT_EQ(type->currentIndex(), 0);
  EXPECT_TRUE(password->isEnabled());
  EXPECT_FALSE(address->isEnabled());

  name->setText("carol");
  password->setText("s3cret");
  type->setCurrentIndex(1);
  EXPECT_FALSE(password->isEnabled()) << "switching the type disables the password";
  EXPECT_EQ(password->text(), "s3cret");
  EXPECT_TRUE(address->isEnabled());
  address->setText("10.0.0.7");
  tessel::test::Child<QLineEdit>(dlg, "description")->setText("the laptop");
  tessel::test::Child<QCheckBox>(dlg, "allowDelete")->setChecked(false);
  dlg.accept();
  EXPECT_EQ(dlg.result(), QDialog::Accepted);
  EXPECT_TRUE(shell.messages.empty());

  const AccountRecord carol = Stored("carol");
  EXPECT_EQ(carol.auth_type, AccountRecord::kAuthAddress);
  EXPECT_EQ(carol.password, "s3cret") << "stored whatever the type";
  EXPECT_EQ(carol.ip_address, "10.0.0.7");
  EXPECT_EQ(carol.description, "the laptop");
  EXPECT_EQ(carol.enabled, 1);
  EXPECT_EQ(carol.allow_upload, 1);
  EXPECT_EQ(carol.allow_delete, 0);
}

TEST_F(DlgAccountTest, AnEmptyNameOrATakenOneKeepsTheDialogOpen) {
  std::vector<AccountRecord> before;
  accounts.ListAccounts(before);
  {
    CDlgAccount dlg(accounts, true, "", nullptr, &shell);
    dlg.accept();
    EXPECT_NE(dlg.result(), QDialog::Accepted);
    EXPECT_TRUE(shell.messages.empty()) << "an empty name is refused silently";
  }
  AccountRecord bob;
  bob.account_name = "bob";
  bob.password = "first";
  ASSERT_TRUE(accounts.AddAccount(bob));
  {
    CDlgAccount dlg(accounts, true, "", nullptr, &shell);
    tessel::test::Child<QLineEdit>(dlg, "accountName")->setText("BOB");
    tessel::test::Child<QLineEdit>(dlg, "password")->setText("second");
    dlg.accept();
    EXPECT_NE(dlg.result(), QDialog::Accepted);
    ASSERT_EQ(shell.messages.size(), 1u);
    EXPECT_EQ(shell.messages[0], "The account already exists!");
  }
  EXPECT_EQ(Stored("bob").password, "first");
  std::vector<AccountRecord> after;
  EXPECT_EQ(accounts.ListAccounts(after), static_cast<int>(before.size()) + 1);
}

TEST_F(DlgAccountTest, EditingLoadsTheAccountAndKeepsItsName) {
  AccountRecord dave;
  dave.account_name = "dave";
  dave.auth_type = AccountRecord::kAuthAddress;
  dave.ip_address = "192.168.0.9";
  dave.password = "kept";
  dave.enabled = 0;
  dave.allow_upload = 0;
  dave.allow_delete = 1;
  dave.description = "printer room";
  ASSERT_TRUE(accounts.AddAccount(dave));

  CDlgAccount dlg(accounts, false, "dave", nullptr, &shell);
  auto* name = tessel::test::Child<QLineEdit>(dlg, "accountName");
  EXPECT_EQ(name->text(), "dave");
  EXPECT_FALSE(name->isEnabled()) << "an existing account keeps its name";
  EXPECT_EQ(tessel::test::Child<QComboBox>(dlg, "authType")->currentIndex(), 1);
  EXPECT_FALSE(tessel::test::Child<QLineEdit>(dlg, "password")->isEnabled());
  EXPECT_EQ(tessel::test::Child<QLineEdit>(dlg, "password")->text(), "kept");
  EXPECT_EQ(tessel::test::Child<QLineEdit>(dlg, "ipAddress")->text(), "192.168.0.9");
  EXPECT_FALSE(tessel::test::Child<QCheckBox>(dlg, "enabled")->isChecked());
  EXPECT_FALSE(tessel::test::Child<QCheckBox>(dlg, "allowUpload")->isChecked());
  EXPECT_TRUE(tessel::test::Child<QCheckBox>(dlg, "allowDelete")->isChecked());
  EXPECT_EQ(tessel::test::Child<QLineEdit>(dlg, "description")->text(), "printer room");

  tessel::test::Child<QComboBox>(dlg, "authType")->setCurrentIndex(0);
  tessel::test::Child<QCheckBox>(dlg, "enabled")->setChecked(true);
  dlg.accept();
  EXPECT_EQ(dlg.result(), QDialog::Accepted);
  const AccountRecord stored = Stored("dave");
  EXPECT_EQ(stored.auth_type, AccountRecord::kAuthPassword);
  EXPECT_EQ(stored.enabled, 1);
  EXPECT_EQ(stored.ip_address, "192.168.0.9");
  EXPECT_EQ(stored.description, "printer room");
}

TEST_F(DlgAccountTest, AnAccountGoneMeanwhileOpensEmptyAndSavesNothing) {
  CDlgAccount dlg(accounts, false, "ghost", nullptr, &shell);
  EXPECT_TRUE(tessel::test::Child<QLineEdit>(dlg, "accountName")->text().isEmpty());
  EXPECT_FALSE(tessel::test::Child<QCheckBox>(dlg, "enabled")->isChecked());
  EXPECT_FALSE(tessel::test::Child<QCheckBox>(dlg, "allowUpload")->isChecked());
  EXPECT_FALSE(tessel::test::Child<QCheckBox>(dlg, "allowDelete")->isChecked());
  dlg.accept();
  EXPECT_NE(dlg.result(), QDialog::Accepted);
  EXPECT_TRUE(shell.messages.empty());
}

TEST_F(DlgAccountTest, DeletingAsksFirstAndNoKeepsTheAccount) {
  AccountRecord erin;
  erin.account_name = "erin";
  ASSERT_TRUE(accounts.AddAccount(erin));
  shell.answer_yes = false;
  EXPECT_FALSE(CDlgAccount::DeleteAccount(accounts, "erin", nullptr, &shell));
  ASSERT_EQ(shell.questions.size(), 1u);
  EXPECT_EQ(shell.questions[0], "Are you sure to delete this account?");
  Stored("erin");
  shell.answer_yes = true;
  EXPECT_TRUE(CDlgAccount::DeleteAccount(accounts, "erin", nullptr, &shell));
  AccountRecord gone;
  EXPECT_FALSE(accounts.GetAccount("erin", gone));
}

TEST_F(DlgAccountTest, AFailedWriteIsToldAndTheDialogStaysOpen) {
  // A store whose database cannot be opened writes nothing.
  CDataAccount broken(folder / "missing-folder");
  CDlgAccount dlg(broken, true, "", nullptr, &shell);
  tessel::test::Child<QLineEdit>(dlg, "accountName")->setText("frank");
  dlg.accept();
  EXPECT_NE(dlg.result(), QDialog::Accepted);
  ASSERT_EQ(shell.messages.size(), 1u);
  EXPECT_EQ(shell.messages[0], "The account could not be saved.");
}

TEST_F(DlgAccountTest, EnterPressesOkAndEscapeCancels) {
  CDlgAccount dlg(accounts, true, "", nullptr, &shell);
  dlg.show();
  auto* name = tessel::test::Child<QLineEdit>(dlg, "accountName");
  name->setText("gina");
  QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
  QApplication::sendEvent(name, &enter);
  EXPECT_EQ(dlg.result(), QDialog::Accepted);
  Stored("gina");

  CDlgAccount second(accounts, true, "", nullptr, &shell);
  second.show();
  tessel::test::Child<QLineEdit>(second, "accountName")->setText("hugo");
  QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
  QApplication::sendEvent(tessel::test::Child<QLineEdit>(second, "accountName"), &escape);
  EXPECT_EQ(second.result(), QDialog::Rejected);
  EXPECT_FALSE(second.isVisible());
  AccountRecord none;
  EXPECT_FALSE(accounts.GetAccount("hugo", none));
}

TEST_F(DlgAccountTest, AColonInANewNameIsRefusedNamingIt) {
  CDlgAccount dlg(accounts, true, "", nullptr, &shell);
  tessel::test::Child<QLineEdit>(dlg, "accountName")->setText("ann:home");
  tessel::test::Child<QLineEdit>(dlg, "password")->setText("pw");
  dlg.accept();
  EXPECT_NE(dlg.result(), QDialog::Accepted);
  ASSERT_EQ(shell.messages.size(), 1u);
  EXPECT_EQ(shell.messages[0], "A name cannot hold the character :.");
  AccountRecord none;
  EXPECT_FALSE(accounts.GetAccount("ann:home", none));
}

}  // namespace
