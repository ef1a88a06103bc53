#pragma once

#include <QDialog>
#include <QString>
#include <string>

#include "app/HttpsSetup.h"
#include "net/InternetCheck.h"
#include "store/DataSystem.h"

class CDesktopShell;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

// Edits the program's settings and the auto-start entry. Modal; on OK every setting is written
// as typed and the auto-start entry is written or removed; Cancel writes nothing.
//
// After OK the caller moves the service and starts an Internet check:
//
//   CDlgSettings dlg(system, program_path, this, nullptr, web, https.Current());
//   if (dlg.exec() == QDialog::Accepted) {
//     https.SettingsChanged();
//     if (dlg.NewPort() != 0) { restart the service on dlg.NewPort() }
//     else { leave it; SetStatusText(dlg.PortProblem()) }
//     start an Internet check
//   }
class CDlgSettings : public QDialog {
  Q_OBJECT

 public:
  // program_path is what the auto-start entry starts (with "-mini"). The friendly-URL preview
  // and the sign-up page are addresses on web. shell opens the sign-up page and the folder
  // picker; nullptr means the standard one. https is what the "Secure connections" group shows
  // of the certificate in use and the ACME renewal.
  CDlgSettings(CDataSystem& system, const std::string& program_path, QWidget* parent = nullptr,
               CDesktopShell* shell = nullptr,
               const tessel::WebService& web = tessel::WebService::Default(),
               const CHttpsSetup::State& https = {});

  // Only "0" turns the tray's notifications off; a missing setting leaves them on.
  static constexpr const char* kNotificationsSetting = "Notifications";

  // OK: writes the settings (in the order LocalPort, internetaccess, UploadPath, URLUsername,
  // URLPassword, EnableZipFolder, CheckNewVersion, Notifications, CertSource, CertFile, KeyFile,
  // CertDomain) and the auto-start entry, then closes.
  void accept() override;

  // After OK: the port the service should move to now, or 0 when the port text names none
  // (empty, 0, not a number, outside 1-65535). Then the service stays where it is, and
  // PortProblem() is the status text saying why (empty while NewPort() is a port).
  int NewPort() const { return m_new_port; }
  const QString& PortProblem() const { return m_port_problem; }

  // The port a text names: decimal digits, blanks around them allowed, from 1 to 65535; else 0.
  static int ParsePort(const QString& text);
  // The address under which the friendly name is published: the web service's prefix + name.
  static QString FriendlyUrl(const tessel::WebService& web, const QString& user_name);
  // A SHA-256 fingerprint in two lines of 16 pairs, easier to read out.
  static QString FingerprintLines(const std::string& fingerprint);

 private:
  QWidget* SecureGroup(const CHttpsSetup::State& https);
  void Load();
  void UpdatePreview();
  // Only the fields of the chosen source can be edited.
  void UpdateSourceFields();

  CDataSystem& m_system;
  std::string m_program_path;
  CDesktopShell& m_shell;
  tessel::WebService m_web;
  int m_new_port = 0;
  QString m_port_problem;

  QLineEdit* m_port;
  QCheckBox* m_internet_access;
  QLineEdit* m_upload_path;
  QPushButton* m_browse;
  QCheckBox* m_auto_run;
  QCheckBox* m_zip_folders;
  QLineEdit* m_url_user;
  QLineEdit* m_url_password;
  QLineEdit* m_url_preview;
  QPushButton* m_sign_up;
  QCheckBox* m_check_version;
  QCheckBox* m_notifications;
  QRadioButton* m_source_own;
  QRadioButton* m_source_acme;
  QRadioButton* m_source_self_signed;
  QLineEdit* m_cert_file;
  QPushButton* m_cert_browse;
  QLineEdit* m_key_file;
  QPushButton* m_key_browse;
  QLineEdit* m_cert_domain;
};
