#include "store/DataAccount.h"

#include <optional>

#include "base/IpAddress.h"
#include "base/TimeStamp.h"

namespace {

std::string AccountQuery(const std::string& account_name) {
  return "select * from account where accountname='" + SqlQuote(account_name) + "'";
}

}  // namespace

CDataAccount::CDataAccount(const std::string& program_folder) : CDataBasic(program_folder) {}

CDataAccount::~CDataAccount() = default;

bool CDataAccount::Open() {
  return OpenFile(GetDatabasePath());
}

void CDataAccount::ReadRecord(CADO::CADORecordset& rs, AccountRecord& record) {
  rs.GetFieldValue("accountname", record.account_name);
  rs.GetFieldValue("accountdesc", record.description);
  rs.GetFieldValue("authtype", record.auth_type);
  rs.GetFieldValue("enabled", record.enabled);
  rs.GetFieldValue("allowupload", record.allow_upload);
  rs.GetFieldValue("allowdelete", record.allow_delete);
  rs.GetFieldValue("ipaddress", record.ip_address);
  rs.GetFieldValue("loginpassword", record.password);
  rs.GetFieldValue("createtime", record.change_time);
}

void CDataAccount::WriteRecord(CADO::CADORecordset& rs, const AccountRecord& record) {
  rs.SetFieldValue("accountname", record.account_name);
  rs.SetFieldValue("accountdesc", record.description);
  rs.SetFieldValue("authtype", record.auth_type);
  rs.SetFieldValue("enabled", record.enabled);
  rs.SetFieldValue("allowupload", record.allow_upload);
  rs.SetFieldValue("allowdelete", record.allow_delete);
  rs.SetFieldValue("ipaddress", record.ip_address);
  rs.SetFieldValue("loginpassword", record.password);
  rs.SetFieldValue("createtime", tessel::CurrentTimeStamp());
}

std::string CDataAccount::LoginQuery(const std::string& user, const std::string& password,
                                     const std::string& client_address) {
  // A NUL cannot be part of any saved text; the engine would compare only up to it, so
  // "kavor\0junk" would pass for "kavor". An empty name logs nobody in and an empty address
  // names none.
  const bool by_password = !user.empty() && user.find('\0') == std::string::npos &&
                           password.find('\0') == std::string::npos;
  const bool by_address = !client_address.empty() && client_address.find('\0') == std::string::npos;
  const std::string password_branch = "(authtype = 0 and accountname='" + SqlQuote(user) +
                                      "' and loginpassword = '" + SqlQuote(password) + "')";
  const std::string address_branch =
      "(authtype = 1 and ipaddress = '" + SqlQuote(client_address) + "')";
  std::string branches;
  if (by_password && by_address)
    branches = "(" + password_branch + " or " + address_branch + ")";
  else if (by_password)
    branches = password_branch;
  else if (by_address)
    branches = address_branch;
  else
    return "";
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
  const std::string query = LoginQuery(user, password, v6 ? v6->Text() : client_address);
  if (query.empty()) return false;
  {
    OperationScope scope(*this);
    CADO::CADORecordset& rs = scope.Recordset();
    if (rs.Open(query) && !rs.IsEOF()) {
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
  // admits it as it admits 127.0.0.1.
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
  OperationScope scope(*this);
  CADO::CADORecordset& rs = scope.Recordset();
  if (!rs.Open(AccountQuery(account_name)) || rs.IsEOF()) return false;
  ReadRecord(rs, record);
  return true;
}

bool CDataAccount::AddAccount(const AccountRecord& record) {
  OperationScope scope(*this);
  CADO::CADORecordset& rs = scope.Recordset();
  if (!rs.Open(AccountQuery(record.account_name)) || !rs.IsEOF() || !rs.AddNew()) return false;
  WriteRecord(rs, record);
  return rs.Update();
}

bool CDataAccount::ModifyAccount(const AccountRecord& record) {
  OperationScope scope(*this);
  CADO::CADORecordset& rs = scope.Recordset();
  if (!rs.Open(AccountQuery(record.account_name)) || rs.IsEOF()) return false;
  rs.Edit();
  WriteRecord(rs, record);
  return rs.Update();
}

bool CDataAccount::DeleteAccount(const std::string& account_name) {
  OperationScope scope(*this);
  return scope.Database().Execute("delete * from account where accountname='" +
                                  SqlQuote(account_name) + "'");
}

int CDataAccount::ListAccounts(std::vector<AccountRecord>& accounts, const std::string& condition) {
  accounts.clear();
  OperationScope scope(*this);
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
