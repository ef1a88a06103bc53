#pragma once

#include <QDialog>
#include <string>

#include "store/DataFileShare.h"

class CDesktopShell;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

// Creates or edits a share: its path (typed, or picked as a file or a folder with "Browser"),
// name, description and whether visitors must log in. Modal; exec() returns Accepted only after
// the share was written.
//
//   CDlgFileShare dlg(shares, /*new_record=*/true, "", this);
//   if (dlg.exec() == QDialog::Accepted) ShowList(0, true);
class CDlgFileShare : public QDialog {
  Q_OBJECT

 public:
  // For a new share key_name is ignored; otherwise the share of that name is loaded. shell
  // answers the messages and the pickers; nullptr means the standard one.
  CDlgFileShare(CDataFileShare& shares, bool new_record, const std::string& key_name,
                QWidget* parent = nullptr, CDesktopShell* shell = nullptr);

  // Deletes the share's row without asking (the file stays). True when the statement ran.
  static bool DeleteShare(CDataFileShare& shares, const std::string& key_name);

  // OK: writes the share when the name is given and no other share has it; otherwise the
  // dialog stays open (with a message for a taken name or a failed write).
  void accept() override;

 private:
  void Load();
  // path was picked: it becomes the file path, and a free name made from it the share name.
  void TakePickedPath(const QString& path);

  CDataFileShare& m_shares;
  CDesktopShell& m_shell;
  bool m_new_record;
  std::string m_key_name;

  QLabel* m_icon;
  QLineEdit* m_path;
  QPushButton* m_browse;
  QLineEdit* m_name;
  QLineEdit* m_description;
  QLineEdit* m_share_time;
  QLineEdit* m_uploader;
  QCheckBox* m_auth;
};
