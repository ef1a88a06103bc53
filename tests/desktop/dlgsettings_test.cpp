#include "desktop/DlgSettings.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/AutoStart.h"
#include "desktop/FakeShell.h"
#include "desktop/OffscreenApp.h"
#include "res/StringTable.h"
#include "support/TempFolder.h"

namespace {

const tessel::WebService kWeb{"names.example", 8080};

class DlgSettingsTest : public ::testing::Test {
 protected:
  DlgSettingsTest() : system(folder.path()) {
    tessel::test::OffscreenApp();
    tessel::res::SetLanguage(tessel::res::Language::kEnglish);
    setenv("XDG_CONFIG_HOME", (folder / "config").c_str(), 1);
    EXPECT_TRUE(system.Open());
    program = folder / "bin/tessel";
  }
  ~DlgSettingsTest() override { unsetenv("XDG_CONFIG_HOME"); }

  static std::string Read(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  TempFolder folder;
  CDataSystem system;
  std::string program;
  tessel::test::FakeShell shell;
};

TEST_F(DlgSettingsTest, OpensWithTheStoredSettings) {
  system.SetParam("LocalPort", "8081");
  system.SetParam("internetaccess", "0");
  system.SetParam("EnableZipFolder", "1");
  system.SetParam("URLUsername", "alice");
  system.SetParam("URLPassword", "pw");
  system.SetParam("CheckNewVersion", "");
  CDlgSettings dlg(system, program, nullptr, &shell, kWeb);
  EXPECT_EQ(tessel::test::Child<QLineEdit>(dlg, "port")->text(), "8081");
  EXPECT_FALSE(tessel::test::Child<QCheckBox>(dlg, "internetAccess")->isChecked());
  EXPECT_EQ(tessel::test::Child<QLineEdit>(dlg, "uploadPath")->text(),
            QString::fromStdString(system.GetUploadPath()));
  EXPECT_FALSE(tessel::test::Child<QCheckBox>(dlg, "autoRun")->isChecked());
  EXPECT_TRUE(tessel::test::Child<QCheckBox>(dlg, "zipFolders")->isChecked());
  EXPECT_EQ(tessel::test::Child<QLineEdit>(dlg, "urlPassword")->echoMode(), QLineEdit::Password);
  EXPECT_TRUE(tessel::test::Child<QCheckBox>(dlg, "checkVersion")->isChecked())
      << "only \"0\" clears it";
  EXPECT_EQ(tessel::test::Child<QLineEdit>(dlg, "urlPreview")->text(),
            "http://names.example:8080/alice");
  tessel::test::Child<QLineEdit>(dlg, "urlUser")->setText("bob");
  EXPECT_EQ(tessel::test::Child<QLineEdit>(dlg, "urlPreview")->text(),
            "http://names.example:8080/bob");

  tessel::test::Child<QPushButton>(dlg, "signUp")->click();
  ASSERT_EQ(shell.opened.size(), 1u);
  EXPECT_EQ(shell.opened[0].toString(), "http://names.example:8080/signup.php");
  shell.picked_folder = QString::fromStdString(folder / "incoming");
  tessel::test::Child<QPushButton>(dlg, "browse")->click();
  EXPECT_EQ(tessel::test::Child<QLineEdit>(dlg, "uploadPath")->text(), shell.picked_folder);
}

TEST_F(DlgSettingsTest, OkWritesEverySettingAndTheAutoStartEntry) {
  CDlgSettings dlg(system, program, nullptr, &shell, kWeb);
  tessel::test::Child<QLineEdit>(dlg, "port")->setText("8080");
  tessel::test::Child<QCheckBox>(dlg, "internetAccess")->setChecked(false);
  tessel::test::Child<QLineEdit>(dlg, "uploadPath")->setText("/srv/incoming");
  tessel::test::Child<QCheckBox>(dlg, "autoRun")->setChecked(true);
  tessel::test::Child<QCheckBox>(dlg, "zipFolders")->setChecked(true);
  tessel::test::Child<QLineEdit>(dlg, "urlUser")->setText("carol");
  tessel::test::Child<QLineEdit>(dlg, "urlPassword")->setText("pa ss");
  tessel::test::Child<QCheckBox>(dlg, "checkVersion")->setChecked(false);
  dlg.accept();
  EXPECT_EQ(dlg.result(), QDialog::Accepted);
  EXPECT_EQ(system.GetParam("LocalPort"), "8080");
  EXPECT_EQ(system.GetParam("internetaccess"), "0");
  EXPECT_EQ(system.GetParam("UploadPath"), "/srv/incoming");
  EXPECT_EQ(system.GetParam("URLUsername"), "carol");
  EXPECT_EQ(system.GetParam("URLPassword"), "pa ss");
  EXPECT_EQ(system.GetParam("EnableZipFolder"), "1");
  EXPECT_EQ(system.GetParam("CheckNewVersion"), "0");
  EXPECT_EQ(dlg.NewPort(), 8080);
  EXPECT_TRUE(dlg.PortProblem().isEmpty());

  const std::string entry = tessel::AutoStartEntryPath();
  EXPECT_TRUE(entry.starts_with(folder / "config/"));
  EXPECT_NE(Read(entry).find("Exec=" + tessel::AutoStartExec(program)), std::string::npos);
  EXPECT_NE(tessel::AutoStartExec(program).find(" -mini"), std::string::npos);

  CDlgSettings again(system, program, nullptr, &shell, kWeb);
  EXPECT_TRUE(tessel::test::Child<QCheckBox>(again, "autoRun")->isChecked());
  tessel::test::Child<QCheckBox>(again, "autoRun")->setChecked(false);
  again.accept();
  EXPECT_FALSE(std::filesystem::exists(entry));
}

TEST_F(DlgSettingsTest, CancelWritesNothing) {
  system.SetParam("LocalPort", "80");
  ASSERT_TRUE(tessel::WriteAutoStartEntry(program));
  const std::string entry = Read(tessel::AutoStartEntryPath());
  CDlgSettings dlg(system, program, nullptr, &shell, kWeb);
  tessel::test::Child<QLineEdit>(dlg, "port")->setText("9090");
  tessel::test::Child<QCheckBox>(dlg, "autoRun")->setChecked(false);
  tessel::test::Child<QCheckBox>(dlg, "internetAccess")->setChecked(false);
  tessel::test::Child<QLineEdit>(dlg, "urlUser")->setText("dave");
  dlg.reject();
  EXPECT_EQ(system.GetParam("LocalPort"), "80");
  EXPECT_EQ(system.GetParam("internetaccess"), "1");
  EXPECT_EQ(system.GetParam("URLUsername"), "");
  EXPECT_EQ(Read(tessel::AutoStartEntryPath()), entry);
}

TEST_F(DlgSettingsTest, APortTextThatIsNoPortIsStoredButMovesNothing) {
  for (const QString& text :
       {QString(""), QString("  "), QString("0"), QString("http"), QString("80a"), QString("-80"),
        QString("65536"), QString("99999999999")}) {
    SCOPED_TRACE(text.toStdString());
    CDlgSettings dlg(system, program, nullptr, &shell, kWeb);
    tessel::test::Child<QLineEdit>(dlg, "port")->setText(text);
    dlg.accept();
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
    EXPECT_EQ(system.GetParam("LocalPort"), text.toStdString());
    EXPECT_EQ(dlg.NewPort(), 0);
    EXPECT_FALSE(dlg.PortProblem().isEmpty());
    if (!text.trimmed().isEmpty()) {
      EXPECT_TRUE(dlg.PortProblem().contains(text.trimmed()));
    }
  }
  EXPECT_EQ(CDlgSettings::ParsePort(" 8080 "), 8080);
  EXPECT_EQ(CDlgSettings::ParsePort("1"), 1);
  EXPECT_EQ(CDlgSettings::ParsePort("65535"), 65535);
  EXPECT_EQ(CDlgSettings::ParsePort("00080"), 80);
}

}  // namespace
