#pragma once

#include <optional>
#include <string>
#include <vector>

#include "base/IpAddress.h"
#include "store/DataBasic.h"

// One row of the table account.
struct AccountRecord {
  static constexpr int kAuthPassword = 0;  // logs in with name and password
  static constexpr int kAuthAddress = 1;   // recognised by the client's IP address

  std::string account_name;  // key; the login name, or a label for an address account
  std::string description;
  int auth_type = kAuthPassword;  // any other value never matches a login
  int enabled = 1;                // only 1 lets the account in
  int allow_upload = 1;           // non-zero: may upload files
  int allow_delete = 0;           // non-zero: may remove the shares this account uploaded
  // For kAuthAddress: a dotted IPv4 address, compared as text, or an IPv6 address in any
  // spelling, compared as the address it names.
  std::string ip_address;
  std::string password;     // for kAuthPassword, plain text; empty never logs in
  std::string change_time;  // time stamp of the last add or change through the store

  bool operator==(const AccountRecord&) const = default;
};

// The visitor accounts. Names, passwords and addresses compare without regard to letter case.
// Every operation may be called from any thread; failures come back as false or 0.
class CDataAccount : public CDataBasic {
 public:
  explicit CDataAccount(const std::string& program_folder = tessel::ExecutableFolder());
  ~CDataAccount() override;

  // Opens the database file, creating it when missing.
  bool Open() override;

  // True when an enabled account admits the visitor: a password account with this name and
  // password, or an address account with this client address (whatever name and password were
  // sent). An empty name, a name or password holding a NUL, and an empty address match nothing.
  // Then account_name receives the account's name; otherwise it is left as it was.
  bool CheckLogin(const std::string& user, const std::string& password,
                  const std::string& client_address, std::string& account_name);
  // As above, and record receives the admitting account's row (its name is account_name), so
  // that identifying a visitor takes one lookup; record is left as it was on false.
  bool CheckLogin(const std::string& user, const std::string& password,
                  const std::string& client_address, AccountRecord& record);
  // The account every new database has, with the password anybody can look up.
  static constexpr const char* kDefaultAdminName = "admin";
  static constexpr const char* kDefaultAdminPassword = "kavor";
  // Whether that account can still log in with that password (in any letter case, as logins
  // compare).
  bool HasDefaultAdminPassword();

  // Reads the named account into record; false (record untouched) when there is none.
  bool GetAccount(const std::string& account_name, AccountRecord& record);
  // Adds the record as a new account stamped with the present time; false when the name is
  // taken in any letter case or the row cannot be written.
  bool AddAccount(const AccountRecord& record);
  // Rewrites the account named by the record (its name cannot change this way) and stamps it;
  // false when there is no such account or the row cannot be written.
  bool ModifyAccount(const AccountRecord& record);
  // Removes the named account; true when the statement ran, also when no account had the name.
  bool DeleteAccount(const std::string& account_name);
  // Replaces the list with every account, or those matching condition, an SQL expression over
  // the columns inserted as given: text of a visitor's may stand in it only through SqlQuote,
  // between single quotes. Returns the number listed.
  int ListAccounts(std::vector<AccountRecord>& accounts, const std::string& condition = "");

 private:
  // The query that admits the visitor, with the values to bind in values; empty when none can.
  static std::string LoginQuery(const std::string& user, const std::string& password,
                                const std::string& client_address, SqlValues& values);
  // The client's address when it is an IPv6 one.
  static std::optional<tessel::IpAddress> V6Client(const std::string& client_address);
  // An enabled address account whose address is client in any spelling (or 127.0.0.1 for ::1).
  bool FindV6AddressAccount(const tessel::IpAddress& client, AccountRecord& record);
  static void ReadRecord(CADO::CADORecordset& rs, AccountRecord& record);
};
