#pragma once

#include <string>

// Something the user must hear of at start-up, worded for the two places it can go: a line on
// standard error (headless) and the main window's status text.
struct StartupNotice {
  std::string console;  // one line, "tessel: ..."
  std::string status;   // one sentence for the status bar

  // The database at path cannot be opened, for reason (as CDataBasic::GetOpenError gives it).
  static StartupNotice DatabaseBroken(const std::string& path, const std::string& reason);
  // The account "admin" still logs in with the password every new database has; database_path
  // is where a headless user changes it.
  static StartupNotice DefaultPassword(const std::string& database_path);
};
