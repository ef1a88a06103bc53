#include "store/DataAccount.h"

#include <optional>

#include "base/IpAddress.h"
#include "base/TimeStamp.h"
#include "store/RecordColumns.h"

namespace {

constexpr const char* kAccountQuery = "select * from account where accountname = ?";

constexpr tessel::RecordColumn<AccountRecord> kColumns[] = {
    {"accountname", &AccountRecord::account_name}, {"accountdesc", &AccountRecord::description},
    {"authtype", &AccountRecord::auth_type},       {"enabled", &AccountRecord::enabled},
    {"allowupload", &AccountRecord::allow_upload}, {"allowdelete", &AccountRecord::allow_delete},
    {"ipaddress", &AccountRecord::ip_address},     {"loginpassword", &AccountRecord::password},
    {"createtime", &AccountRecord::change_time},
};

// The record's values as written: stamped with the present time.
SqlValues StampedValues(const AccountRecord& record) {
  AccountRecord stamped = record;
  stamped.change_time = tessel::CurrentTimeStamp();
  return tessel::RecordValues<AccountRecord>(kColumns, stamped);
}

}  // namespace

CDataAccount::CDataAccount(const std::string& program_folder) : CDataBasic(program_folder) {}

CDataAccount::~CDataAccount() = default;

bool CDataAccount::Open() {
  return OpenFile(GetDatabasePath());
}

void CDataAccount::ReadRecord(CADO::CADORecordset& rs, AccountRecord& record) {
  tessel::ReadRecordColumns<AccountRecord>(rs, kColumns, record);
}

std::string CDataAccount::LoginQuery(const std::string& user, const std::string& password,
                                     const std::string& client_address, SqlValues& values) {
  // A NUL cannot be part of any saved text; the engine would compare only up to it, so
  // "kavor\0junk" would pass for "kavor". An empty name logs nobody in and an empty address
  // names none.
  const bool by_password = !user.empty() && user.find('\0') == std::string::npos &&
                           password.find('\0') == std::string::npos;
  const bool by_address = !client_address.empty() && client_address.find('\0') == std::string::npos;
  constexpr const char* kPasswordBranch =
      "(authtype = 0 and accountname = ? and loginpassword = ?)";
  constexpr const char* kAddressBranch = "(authtype = 1 and ipaddress = ?)";
  values.clear();
  std::string branches;
  if (by_password && by_address) {
    branches = std::string("(") + kPasswordBranch + " or " + kAddressBranch + ")";
    values = {user, password, client_address};
  } else if (by_password) {
    branches = kPasswordBranch;
    values = {user, password};
  } else if (by_address) {
    branches = kAddressBranch;
    values = {client_address};
  } else {
    return "";
  }
  return "select * from account where (" + branches + " and enabled = 1)";
}

bool CDataAccount::CheckLogin(const std::string& user, const std::string& password,
                              const std::string& client_address, std::string& account_name) {
  AccountRecord record;
  if (!CheckLogin(user, password, client_address, record)) return false;
  account_name = record.account_name;
  return true;
}

bool CDataAccount::CheckLogin(const std::string& user, const std::string& password,
                              const std::string& client_address, AccountRecord& record) {
  // An IPv6 address has many spellings: the query looks for the canonical one, and the address
  // accounts are compared one by one when that finds none.
  const std::optional<tessel::IpAddress> v6 = V6Client(client_address);
  SqlValues values;
  const std::string query = LoginQuery(user, password, v6 ? v6->Text() : client_address, values);
  if (query.empty()) return false;
  {
    OperationScope scope(*this, Access::kRead);
    CADO::CADORecordset& rs = scope.Recordset();
    if (rs.Open(query, values) && !rs.IsEOF()) {
      AccountRecord found;
      if (!rs.GetFieldValue("accountname", found.account_name)) return false;
      ReadRecord(rs, found);
      record = std::move(found);
      return true;
    }
  }
  return v6 && FindV6AddressAccount(*v6, record);
}

std::optional<tessel::IpAddress> CDataAccount::V6Client(const std::string& client_address) {
  std::optional<tessel::IpAddress> address = tessel::IpAddress::Parse(client_address);
  if (!address || !address->IsV6()) return std::nullopt;
  return address;
}

bool CDataAccount::FindV6AddressAccount(const tessel::IpAddress& client, AccountRecord& record) {
  // This computer reaches itself over IPv6 as ::1: an account for 127.0.0.1 (the "local" one)
  // admits it as it admits 127.0.0.1. No visitor text stands in the condition.
  std::string condition = "authtype = 1 and enabled = 1 and (ipaddress like '%:%'";
  if (client.IsLoopback()) condition += " or ipaddress = '127.0.0.1'";
  condition += ")";
  std::vector<AccountRecord> accounts;
  ListAccounts(accounts, condition);
  for (AccountRecord& account : accounts) {
    const std::optional<tessel::IpAddress> stored = tessel::IpAddress::Parse(account.ip_address);
    if (stored && (*stored == client || (client.IsLoopback() && !stored->IsV6()))) {
      record = std::move(account);
      return true;
    }
  }
  return false;
}

bool CDataAccount::HasDefaultAdminPassword() {
  std::string name;
  return CheckLogin(kDefaultAdminName, kDefaultAdminPassword, "", name);
}

bool CDataAccount::GetAccount(const std::string& account_name, AccountRecord& record) {
  OperationScope scope(*this, Access::kRead);
  CADO::CADORecordset& rs = scope.Recordset();
  if (!rs.Open(kAccountQuery, {account_name}) || rs.IsEOF()) return false;
  ReadRecord(rs, record);
  return true;
}

bool CDataAccount::AddAccount(const AccountRecord& record) {
  static const std::string insert = tessel::InsertStatement<AccountRecord>("account", kColumns);
  // The key ignores letter case: a name taken in any case fails the insert.
  OperationScope scope(*this);
  return scope.Database().Execute(insert, StampedValues(record));
}

bool CDataAccount::ModifyAccount(const AccountRecord& record) {
  static const std::string update =
      tessel::UpdateStatement<AccountRecord>("account", kColumns, "accountname");
  SqlValues values = StampedValues(record);
  values.emplace_back(record.account_name);
  OperationScope scope(*this);
  CADO::CADODatabase& db = scope.Database();
  return db.Execute(update, values) && db.Changes() > 0;
}

bool CDataAccount::DeleteAccount(const std::string& account_name) {
  OperationScope scope(*this);
  return scope.Database().Execute("delete from account where accountname = ?", {account_name});
}

int CDataAccount::ListAccounts(std::vector<AccountRecord>& accounts, const std::string& condition) {
  accounts.clear();
  OperationScope scope(*this, Access::kRead);
  CADO::CADORecordset& rs = scope.Recordset();
  std::string sql = "select * from account";
  if (!condition.empty()) sql += " where " + condition;
  if (!rs.Open(sql)) return 0;
  for (; !rs.IsEOF(); rs.MoveNext()) {
    AccountRecord record;
    ReadRecord(rs, record);
    accounts.push_back(std::move(record));
  }
  return static_cast<int>(accounts.size());
}
