// Every dialog must be usable without a mouse: each accelerator letter once, each labelled field
// reachable through its label, OK the default button, and Tab visiting the fields in order.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <map>
#include <memory>

#include "desktop/DlgAccount.h"
#include "desktop/DlgFileShare.h"
#include "desktop/DlgSettings.h"
#include "desktop/FakeShell.h"
#include "desktop/OffscreenApp.h"
#include "res/StringTable.h"
#include "support/TempFolder.h"

namespace {

using tessel::res::Language;

// The accelerator letter of a text ("Allow &upload" gives 'U'), or 0.
QChar Accelerator(const QString& text) {
  for (qsizetype i = 0; i + 1 < text.size(); ++i) {
    if (text[i] != '&') continue;
    if (text[i + 1] == '&') {
      ++i;
      continue;
    }
    return text[i + 1].toUpper();
  }
  return QChar();
}

void CheckKeyboard(QDialog& dlg) {
  SCOPED_TRACE(dlg.windowTitle().toStdString());
  std::map<QChar, QString> taken;
  auto take = [&](const QString& text) {
    const QChar key = Accelerator(text);
    if (key.isNull()) return;
    const auto [it, fresh] = taken.emplace(key, text);
    EXPECT_TRUE(fresh) << "'" << text.toStdString() << "' and '" << it->second.toStdString()
                       << "' share an accelerator";
  };
  for (QLabel* label : dlg.findChildren<QLabel*>()) {
    if (Accelerator(label->text()).isNull()) continue;
    take(label->text());
    EXPECT_NE(label->buddy(), nullptr) << label->text().toStdString() << " leads nowhere";
  }
  for (QAbstractButton* button : dlg.findChildren<QAbstractButton*>()) take(button->text());
  EXPECT_FALSE(taken.empty());

  auto* buttons = dlg.findChild<QDialogButtonBox*>();
  ASSERT_NE(buttons, nullptr);
  EXPECT_TRUE(buttons->button(QDialogButtonBox::Ok)->isDefault());

  // Tab from the first field reaches every enabled field that takes Tab, and comes back.
  dlg.show();
  QWidget* first = dlg.nextInFocusChain();
  while (!(first->focusPolicy() & Qt::TabFocus) || !first->isEnabled()) {
    first = first->nextInFocusChain();
  }
  int visited = 0;
  QWidget* at = first;
  do {
    if ((at->focusPolicy() & Qt::TabFocus) && at->isEnabled() && at->isVisible()) ++visited;
    at = at->nextInFocusChain();
  } while (at != first && visited < 100);
  EXPECT_LT(visited, 100) << "the chain does not close";
  int takers = 0;
  for (QWidget* child : dlg.findChildren<QWidget*>()) {
    if ((child->focusPolicy() & Qt::TabFocus) && child->isEnabled() && child->isVisible()) {
      ++takers;
    }
  }
  EXPECT_EQ(visited, takers);
}

class DialogKeyboardTest : public ::testing::TestWithParam<Language> {
 protected:
  DialogKeyboardTest() : accounts(folder.path()), shares(folder.path()), system(folder.path()) {
    tessel::test::OffscreenApp();
    tessel::res::SetLanguage(GetParam());
    EXPECT_TRUE(accounts.Open());
    EXPECT_TRUE(shares.Open());
    EXPECT_TRUE(system.Open());
  }
  ~DialogKeyboardTest() override { tessel::res::SetLanguage(Language::kEnglish); }

  TempFolder folder;
  CDataAccount accounts;
  CDataFileShare shares;
  CDataSystem system;
  tessel::test::FakeShell shell;
};

TEST_P(DialogKeyboardTest, AccountDialog) {
  CDlgAccount dlg(accounts, true, "", nullptr, &shell);
  CheckKeyboard(dlg);
}

TEST_P(DialogKeyboardTest, ShareDialog) {
  CDlgFileShare dlg(shares, true, "", nullptr, &shell);
  CheckKeyboard(dlg);
}

TEST_P(DialogKeyboardTest, SettingsDialog) {
  CDlgSettings dlg(system, "/usr/bin/tessel", nullptr, &shell);
  CheckKeyboard(dlg);
}

INSTANTIATE_TEST_SUITE_P(BothLanguages, DialogKeyboardTest,
                         ::testing::Values(Language::kEnglish, Language::kChinese),
                         [](const auto& info) {
                           return info.param == Language::kEnglish ? "English" : "Chinese";
                         });

}  // namespace
