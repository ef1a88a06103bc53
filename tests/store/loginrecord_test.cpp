// Identifying a visitor in one lookup must admit exactly whom the name-only CheckLogin admits,
// with the very row GetAccount reads for that name.
#include <gtest/gtest.h>

#include <string>

#include "store/DataAccount.h"
#include "store/TempFolder.h"

namespace {

TEST(LoginRecord, AdmitsAsCheckLoginWithTheAccountsRow) {
  TempFolder folder;
  CDataAccount accounts(folder.path());
  ASSERT_TRUE(accounts.Open());
  AccountRecord guest;
  guest.account_name = "O'Neil";
  guest.password = "s3cret";
  guest.allow_upload = 0;
  guest.allow_delete = 1;
  ASSERT_TRUE(accounts.AddAccount(guest));
  AccountRecord office;
  office.account_name = "office";
  office.auth_type = AccountRecord::kAuthAddress;
  office.ip_address = "10.0.0.7";
  ASSERT_TRUE(accounts.AddAccount(office));
  AccountRecord off = guest;
  off.account_name = "off";
  off.enabled = 0;
  ASSERT_TRUE(accounts.AddAccount(off));

  struct Visitor {
    std::string user, password, ip;
  };
  const Visitor visitors[] = {
      {"o'neil", "S3CRET", "192.168.1.5"},  // names and passwords ignore letter case
      {"O'Neil", "wrong", "192.168.1.5"},
      {"", "", "10.0.0.7"},
      {"x", "y", "127.0.0.1"},
      {"off", "s3cret", "192.168.1.5"},
      {"admin", "kavor", "192.168.1.9"},
      {"' or '1'='1", "' or '1'='1", "1.2.3.4"},
  };
  for (const Visitor& v : visitors) {
    SCOPED_TRACE(v.user + " / " + v.ip);
    std::string name = "untouched";
    const bool admitted = accounts.CheckLogin(v.user, v.password, v.ip, name);
    AccountRecord record;
    record.description = "untouched";
    EXPECT_EQ(accounts.CheckLogin(v.user, v.password, v.ip, record), admitted);
    if (!admitted) {
      EXPECT_EQ(record.description, "untouched");
      continue;
    }
    AccountRecord expected;
    ASSERT_TRUE(accounts.GetAccount(name, expected));
    EXPECT_EQ(record, expected);
  }
}

}  // namespace
