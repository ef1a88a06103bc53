#pragma once

#include <QDialog>
#include <string>

#include "store/DataAccount.h"

class CDesktopShell;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;

// Creates or edits an account: a friend who logs in with name and password, or a machine known by
// its IP address. Modal; exec() returns Accepted only after the account was written.
//
//   CDlgAccount dlg(accounts, /*new_record=*/false, name, this);
//   if (dlg.exec() == QDialog::Accepted) ShowList(1, true);
class CDlgAccount : public QDialog {
  Q_OBJECT

 public:
  // For a new account key_name is ignored; otherwise the account of that name is loaded (one
  // that does not exist gives empty fields, and OK then writes nothing). shell answers the
  // messages; nullptr means the standard one.
  CDlgAccount(CDataAccount& accounts, bool new_record, const std::string& key_name,
              QWidget* parent = nullptr, CDesktopShell* shell = nullptr);

  // Asks "Are you sure to delete this account?" (No being the default); on Yes deletes the
  // account and returns true. Shows no dialog of its own.
  static bool DeleteAccount(CDataAccount& accounts, const std::string& key_name,
                            QWidget* parent = nullptr, CDesktopShell* shell = nullptr);

  // OK: writes the account when the name is given and, for a new one, free. Otherwise the dialog
  // stays open (with a message for a taken name or a failed write).
  void accept() override;

 private:
  void Load();
  void UpdateAuthFields();

  CDataAccount& m_accounts;
  CDesktopShell& m_shell;
  bool m_new_record;
  std::string m_key_name;

  QLabel* m_icon;
  QLineEdit* m_name;
  QComboBox* m_auth_type;
  QLineEdit* m_password;
  QLineEdit* m_ip_address;
  QLineEdit* m_description;
  QCheckBox* m_enabled;
  QCheckBox* m_allow_upload;
  QCheckBox* m_allow_delete;
};
