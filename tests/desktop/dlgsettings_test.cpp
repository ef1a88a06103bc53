#include "desktop/DlgSettings.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/AutoStart.h"
#include "base/TlsCertificate.h"
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

TEST_F(DlgSettingsTest, TheNotificationsBoxShowsAndStoresItsSetting) {
  const struct {
    const char* stored;
    bool shown;      // checked when the dialog opens
    bool set;        // what the owner leaves it at
    const char* ok;  // stored after OK
  } cases[] = {
      {"", true, false, "0"},   {"1", true, true, "1"},   {"0", false, true, "1"},
      {"0", false, false, "0"}, {"no", true, false, "0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stored);
    ASSERT_TRUE(system.SetParam(CDlgSettings::kNotificationsSetting, c.stored));
    CDlgSettings dlg(system, program, nullptr, &shell, kWeb);
    QCheckBox* box = tessel::test::Child<QCheckBox>(dlg, "notifications");
    EXPECT_EQ(box->isChecked(), c.shown);
    box->setChecked(c.set);
    dlg.accept();
    EXPECT_EQ(system.GetParam(CDlgSettings::kNotificationsSetting), c.ok);
  }
  tessel::res::SetLanguage(tessel::res::Language::kChinese);
  CDlgSettings chinese(system, program, nullptr, &shell, kWeb);
  EXPECT_TRUE(
      tessel::test::Child<QCheckBox>(chinese, "notifications")->text().startsWith("显示通知"));
  tessel::res::SetLanguage(tessel::res::Language::kEnglish);
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

TEST_F(DlgSettingsTest, SecureGroupShowsTheCertificateInUse) {
  std::string error;
  const auto certificate =
      CTlsCertificate::MakeSelfSigned({"198.18.0.2", "tessel.example"}, 30, &error);
  ASSERT_TRUE(certificate) << error;
  const CHttpsSetup::State acme{{CTlsCertificates::Source::kAcme, certificate, ""},
                                "the certificate authority could not validate 198.18.0.2"};
  CDlgSettings dlg(system, program, nullptr, &shell, kWeb, acme);
  const auto text = [&](const char* name) {
    return tessel::test::Child<QLabel>(dlg, name)->text().toStdString();
  };
  EXPECT_EQ(text("certSource"), "ACME certificate");
  EXPECT_EQ(text("certIssuer"), "198.18.0.2");
  EXPECT_EQ(text("certNames"), "198.18.0.2, tessel.example");
  EXPECT_EQ(text("certExpiry"), tessel::LocalTimeText(certificate->NotAfter()));
  QString fingerprint = tessel::test::Child<QLabel>(dlg, "certFingerprint")->text();
  EXPECT_EQ(fingerprint.count('\n'), 1) << "two lines of 16 pairs";
  EXPECT_EQ(fingerprint.remove('\n').toStdString(), certificate->Fingerprint());
  EXPECT_EQ(text("acmeError"), acme.acme_error);
  EXPECT_EQ(dlg.findChild<QLabel*>("ownError"), nullptr);

  // Own files that fail are said; with nothing served there are no facts to show.
  const CHttpsSetup::State none{{CTlsCertificates::Source::kNone, nullptr, "cannot read /x.pem"},
                                ""};
  CDlgSettings empty(system, program, nullptr, &shell, kWeb, none);
  EXPECT_EQ(tessel::test::Child<QLabel>(empty, "certSource")->text(), "No certificate");
  EXPECT_EQ(empty.findChild<QLabel*>("certFingerprint"), nullptr);
  EXPECT_EQ(tessel::test::Child<QLabel>(empty, "ownError")->text(), "cannot read /x.pem");
  EXPECT_EQ(tessel::test::Child<QLabel>(empty, "acmeError")->text(), "None");
}

TEST_F(DlgSettingsTest, SecureGroupStoresTheChosenSource) {
  // What the stored settings select when the dialog opens.
  const struct {
    const char* stored;
    const char* cert_file;
    const char* selected;
  } opening[] = {{"", "", "sourceAcme"},
                 {"", "/etc/tessel/cert.pem", "sourceOwn"},
                 {"own", "", "sourceOwn"},
                 {"acme", "/etc/tessel/cert.pem", "sourceAcme"},
                 {"self-signed", "/etc/tessel/cert.pem", "sourceSelfSigned"},
                 {"later", "", "sourceAcme"}};
  for (const auto& c : opening) {
    SCOPED_TRACE(std::string(c.stored) + " " + c.cert_file);
    system.SetParam("CertSource", c.stored);
    system.SetParam("CertFile", c.cert_file);
    CDlgSettings dlg(system, program, nullptr, &shell, kWeb);
    EXPECT_TRUE(tessel::test::Child<QRadioButton>(dlg, c.selected)->isChecked());
    const bool own = std::string(c.selected) == "sourceOwn";
    EXPECT_EQ(tessel::test::Child<QLineEdit>(dlg, "certFile")->isEnabled(), own);
    EXPECT_EQ(tessel::test::Child<QPushButton>(dlg, "keyBrowse")->isEnabled(), own);
    EXPECT_EQ(tessel::test::Child<QLineEdit>(dlg, "certDomain")->isEnabled(),
              std::string(c.selected) == "sourceAcme");
  }

  // What OK stores for each choice; the paths and the domain stay as typed.
  const struct {
    const char* button;
    const char* stored;
  } choices[] = {{"sourceOwn", "own"}, {"sourceAcme", "acme"}, {"sourceSelfSigned", "self-signed"}};
  for (const auto& c : choices) {
    SCOPED_TRACE(c.button);
    CDlgSettings dlg(system, program, nullptr, &shell, kWeb);
    tessel::test::Child<QRadioButton>(dlg, "sourceOwn")->click();  // the pickers need it
    shell.picked_file = "/home/ann/certs/fullchain.pem";
    tessel::test::Child<QPushButton>(dlg, "certBrowse")->click();
    shell.picked_file = "";  // cancelled: the field keeps its text
    tessel::test::Child<QLineEdit>(dlg, "keyFile")->setText("/home/ann/certs/key.pem");
    tessel::test::Child<QPushButton>(dlg, "keyBrowse")->click();
    tessel::test::Child<QLineEdit>(dlg, "certDomain")->setText("files.example.org");
    tessel::test::Child<QRadioButton>(dlg, c.button)->click();
    dlg.accept();
    EXPECT_EQ(system.GetParam("CertSource"), c.stored);
    EXPECT_EQ(system.GetParam("CertFile"), "/home/ann/certs/fullchain.pem");
    EXPECT_EQ(system.GetParam("KeyFile"), "/home/ann/certs/key.pem");
    EXPECT_EQ(system.GetParam("CertDomain"), "files.example.org");
  }
}

TEST_F(DlgSettingsTest, FriendlyUrlFollowsTheWebServiceScheme) {
  EXPECT_EQ(CDlgSettings::FriendlyUrl({"names.example", 443, true}, "alice"),
            "https://names.example/alice");
  EXPECT_EQ(CDlgSettings::FriendlyUrl({"names.example", 8443, true}, "alice"),
            "https://names.example:8443/alice");
  EXPECT_EQ(CDlgSettings::FriendlyUrl({"names.example", 80, false}, "alice"),
            "http://names.example/alice");
}

}  // namespace
