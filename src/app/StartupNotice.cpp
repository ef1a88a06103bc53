#include "app/StartupNotice.h"

#include "store/DataAccount.h"

StartupNotice StartupNotice::DatabaseBroken(const std::string& path, const std::string& reason) {
  return {"tessel: cannot open the database " + path + ": " + reason,
          "The database " + path + " cannot be opened: " + reason +
              ". Accounts, shares and settings are unavailable."};
}

StartupNotice StartupNotice::DefaultPassword(const std::string& database_path) {
  const std::string admin = CDataAccount::kDefaultAdminName;
  return {"tessel: the account " + admin +
              " still has the well-known default password, so anyone can log in with every "
              "right; change it with: sqlite3 '" +
              database_path + "' \"update account set loginpassword='NEW PASSWORD' where " +
              "accountname='" + admin + "'\"",
          "The account " + admin +
              " still has the well-known default password: change it in My Friends "
              "(double-click " +
              admin + ")."};
}
