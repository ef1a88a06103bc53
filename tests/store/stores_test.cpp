#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>

#include "store/DataAccount.h"
#include "store/DataFileShare.h"
#include "store/DataSystem.h"
#include "support/TempFolder.h"

namespace fs = std::filesystem;

namespace {

class StoresTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_settings.Open());
    ASSERT_TRUE(m_accounts.Open());
    ASSERT_TRUE(m_shares.Open());
  }

  TempFolder m_folder;
  CDataSystem m_settings{m_folder.path()};
  CDataAccount m_accounts{m_folder.path()};
  CDataFileShare m_shares{m_folder.path()};
};

TEST(StoreFile, FirstStartCreatesSecondStartKeeps) {
  TempFolder folder;
  {
    CDataSystem settings(folder.path() + "/");
    ASSERT_TRUE(settings.Open());
    EXPECT_EQ(settings.GetDatabasePath(), folder / "tessel.mdb");
    EXPECT_EQ(settings.GetParam("LocalPort"), "80");
    EXPECT_EQ(settings.GetParam("IPADDRESS"), "Auto bind Internet IP address");
    EXPECT_EQ(settings.GetParam("internetaccess"), "1");
    EXPECT_EQ(settings.GetParam("FileAssociate"), "1");
    EXPECT_EQ(settings.GetParam("CheckNewVersion"), "1");
    EXPECT_EQ(settings.GetUploadPath(), folder / "upload");
    EXPECT_TRUE(fs::is_directory(folder / "upload"));
    for (const auto& entry : fs::directory_iterator(folder.path())) {
      EXPECT_EQ(entry.path().filename().string().rfind("tessel.mdb.new", 0), std::string::npos);
    }
    CDataAccount accounts(folder.path());
    ASSERT_TRUE(accounts.Open());
    std::vector<AccountRecord> list;
    ASSERT_EQ(accounts.ListAccounts(list), 2);
    EXPECT_EQ(list[0], (AccountRecord{"local", "", 1, 1, 1, 1, "127.0.0.1", "", ""}));
    EXPECT_EQ(list[1], (AccountRecord{"admin", "", 0, 1, 1, 1, "", "kavor", ""}));
    EXPECT_TRUE(settings.SetParam("LocalPort", "8080"));
    EXPECT_TRUE(accounts.DeleteAccount("admin"));
  }
  CDataSystem settings(folder.path());
  CDataAccount accounts(folder.path());
  ASSERT_TRUE(settings.Open());
  ASSERT_TRUE(accounts.Open());
  EXPECT_EQ(settings.GetParam("localport"), "8080");
  AccountRecord admin;
  EXPECT_FALSE(accounts.GetAccount("admin", admin));
}

TEST(StoreFile, FailedCreationLeavesNothingAndNextStartCreates) {
  TempFolder folder;
  std::vector<std::string> statements = CDataBasic::CreationStatements();
  statements.insert(statements.begin() + 3, "Insert Into nosuchtable Values (1)");
  EXPECT_FALSE(tessel::CreateDatabaseFile(folder / "tessel.mdb", statements));
  EXPECT_TRUE(fs::is_empty(folder.path()));

  CDataSystem missing(folder / "nosuchfolder");
  EXPECT_FALSE(missing.Open());
  EXPECT_EQ(missing.GetParam("LocalPort"), "");
  EXPECT_FALSE(missing.SetParam("LocalPort", "1"));

  CDataSystem settings(folder.path());
  ASSERT_TRUE(settings.Open());
  EXPECT_EQ(settings.GetParam("LocalPort"), "80");
}

TEST(StoreFile, ABrokenFileIsRefusedWithItsReasonAndAnEmptyOneMadeNew) {
  TempFolder folder;
  const std::string path = folder / "tessel.mdb";
  const auto open_error = [&] {
    CDataAccount accounts(folder.path());
    return accounts.Open() ? std::string("opened") : accounts.GetOpenError();
  };
  fs::create_directory(path);
  EXPECT_EQ(open_error(), "it is a folder, not a database file");
  fs::remove(path);
  std::ofstream(path) << std::string(5000, 'g');
  EXPECT_EQ(open_error(), "file is not a database");
  // Another program's database.
  {
    fs::remove(path);
    CADO::CADODatabase other;
    ASSERT_TRUE(other.Create(path));
    ASSERT_TRUE(other.Execute("create table account(x)"));
  }
  EXPECT_EQ(open_error(), "it is not a Tessel database (no such table: fileshare)");
  if (geteuid() != 0) {  // root reads whatever the mode says
    chmod(path.c_str(), 0);
    EXPECT_EQ(open_error(), "Permission denied");
  }
  EXPECT_EQ(std::string(CDataAccount(folder.path()).GetDatabasePath()), path);

  // An empty file holds nothing to lose: it becomes a new database.
  fs::remove(path);
  std::ofstream(path).close();
  EXPECT_EQ(open_error(), "opened");
  CDataSystem settings(folder.path());
  ASSERT_TRUE(settings.Open());
  EXPECT_EQ(settings.GetOpenError(), "");
  EXPECT_EQ(settings.GetParam("LocalPort"), "80");
}

TEST(StoreFile, FailuresWhileRunningAreToldOncePerKind) {
  TempFolder folder;
  CDataAccount accounts(folder.path());
  CDataFileShare shares(folder.path());
  ASSERT_TRUE(accounts.Open());
  ASSERT_TRUE(shares.Open());
  std::vector<std::string> told;
  accounts.SetFailureSink([&](const std::string& line) { told.push_back(line); });
  shares.SetFailureSink([&](const std::string& line) { told.push_back(line); });

  // A taken name is an answer, not a failure.
  FileShareRecord record{"a", "/a", "", 0, "", ""};
  ASSERT_TRUE(shares.AddShare(record));
  EXPECT_FALSE(shares.AddShare(record));
  EXPECT_TRUE(told.empty());

  // The table vanishes behind the store's back: said once, however often it is met.
  {
    CADO::CADODatabase other;
    ASSERT_TRUE(other.Open(folder / "tessel.mdb"));
    ASSERT_TRUE(other.Execute("drop table account"));
  }
  std::string name;
  EXPECT_FALSE(accounts.CheckLogin("admin", "kavor", "", name));
  EXPECT_FALSE(accounts.CheckLogin("admin", "kavor", "", name));
  AccountRecord account;
  EXPECT_FALSE(accounts.GetAccount("admin", account));
  ASSERT_EQ(told.size(), 1u);
  EXPECT_EQ(told[0], "database " + folder / "tessel.mdb" + " failed: no such table: account");
  // The same kind from another store of the same file is the same news.
  {
    CADO::CADODatabase other;
    ASSERT_TRUE(other.Open(folder / "tessel.mdb"));
    ASSERT_TRUE(other.Execute("drop table fileshare"));
  }
  EXPECT_EQ(shares.GetSharePath("a"), "");
  EXPECT_EQ(told.size(), 1u);
}

TEST_F(StoresTest, LoginsWithANulOrWithoutANameOrAddressMatchNothing) {
  std::string name;
  EXPECT_TRUE(m_accounts.CheckLogin("admin", "kavor", "", name));
  EXPECT_FALSE(m_accounts.CheckLogin("admin", std::string("kavor\0junk", 10), "", name));
  EXPECT_FALSE(m_accounts.CheckLogin(std::string("admin\0", 6), "kavor", "", name));
  EXPECT_FALSE(m_accounts.CheckLogin("", "", "", name));
  // The address alone still admits its account, whatever the credentials hold.
  EXPECT_TRUE(m_accounts.CheckLogin(std::string("admin\0", 6), "x", "127.0.0.1", name));
  EXPECT_EQ(name, "local");

  EXPECT_TRUE(m_accounts.HasDefaultAdminPassword());
  AccountRecord admin;
  ASSERT_TRUE(m_accounts.GetAccount("admin", admin));
  admin.password = "KAVOR";  // logins ignore letter case: still the well-known one
  ASSERT_TRUE(m_accounts.ModifyAccount(admin));
  EXPECT_TRUE(m_accounts.HasDefaultAdminPassword());
  admin.enabled = 0;
  ASSERT_TRUE(m_accounts.ModifyAccount(admin));
  EXPECT_FALSE(m_accounts.HasDefaultAdminPassword());
  admin.enabled = 1;
  admin.password = "s3cret";
  ASSERT_TRUE(m_accounts.ModifyAccount(admin));
  EXPECT_FALSE(m_accounts.HasDefaultAdminPassword());
}

TEST_F(StoresTest, SettingsAndTheUploadFolder) {
  EXPECT_TRUE(m_settings.SetParam("LocalPort", "007"));
  EXPECT_EQ(m_settings.GetParam("LOCALPORT"), "007");
  EXPECT_TRUE(m_settings.SetParam("it's", "o'clock"));
  EXPECT_EQ(m_settings.GetParam("IT'S"), "o'clock");
  EXPECT_TRUE(m_settings.SetParam("EnableZipFolder", ""));
  EXPECT_EQ(m_settings.GetParam("EnableZipFolder"), "");
  EXPECT_EQ(m_settings.GetParam("URLUsername"), "");
  EXPECT_FALSE(m_settings.SetParam("", "x"));  // a refused write is reported

  std::string elsewhere = m_folder / "elsewhere";
  fs::create_directory(elsewhere);
  EXPECT_TRUE(m_settings.SetParam("UploadPath", elsewhere + "/"));
  EXPECT_EQ(m_settings.GetUploadPath(), elsewhere);
  CDataSystem restart(m_folder.path());
  ASSERT_TRUE(restart.Open());
  EXPECT_EQ(restart.GetUploadPath(), elsewhere);
  fs::remove(elsewhere);
  fs::remove(m_folder / "upload");
  CDataSystem after_removal(m_folder.path());
  ASSERT_TRUE(after_removal.Open());
  EXPECT_EQ(after_removal.GetUploadPath(), m_folder / "upload");
  EXPECT_TRUE(fs::is_directory(m_folder / "upload"));
}

TEST_F(StoresTest, LoginChecks) {
  std::string name = "unchanged";
  EXPECT_TRUE(m_accounts.CheckLogin("", "", "127.0.0.1", name));
  EXPECT_EQ(name, "local");
  EXPECT_TRUE(m_accounts.CheckLogin("ADMIN", "KAVOR", "10.0.0.7", name));
  EXPECT_EQ(name, "admin");
  name = "unchanged";
  EXPECT_FALSE(m_accounts.CheckLogin("admin", "wrong", "10.0.0.7", name));
  EXPECT_FALSE(m_accounts.CheckLogin("admin' or '1'='1", "x' or '1'='1", "x' or '1'='1", name));
  EXPECT_EQ(name, "unchanged");

  EXPECT_TRUE(m_accounts.AddAccount({"o'brien", "", 0, 1, 0, 1, "", "pa'ss", ""}));
  EXPECT_TRUE(m_accounts.AddAccount({"lan", "", 1, 1, 0, 0, "192.168.1.5", "", ""}));
  EXPECT_TRUE(m_accounts.AddAccount({"nopass", "", 0, 1, 0, 0, "", "", ""}));
  EXPECT_TRUE(m_accounts.CheckLogin("O'Brien", "PA'SS", "10.0.0.7", name));
  EXPECT_EQ(name, "o'brien");
  EXPECT_FALSE(m_accounts.CheckLogin("obrien", "pa'ss", "10.0.0.7", name));
  EXPECT_TRUE(m_accounts.CheckLogin("anyone", "anything", "192.168.1.5", name));
  EXPECT_EQ(name, "lan");
  EXPECT_FALSE(m_accounts.CheckLogin("", "", "192.168.1.50", name));
  EXPECT_FALSE(m_accounts.CheckLogin("nopass", "", "10.0.0.7", name));  // saved empty: NULL

  AccountRecord lan;
  ASSERT_TRUE(m_accounts.GetAccount("LAN", lan));
  EXPECT_FALSE(lan.change_time.empty());
  lan.enabled = 0;
  EXPECT_TRUE(m_accounts.ModifyAccount(lan));
  EXPECT_FALSE(m_accounts.CheckLogin("", "", "192.168.1.5", name));
  AccountRecord admin;
  ASSERT_TRUE(m_accounts.GetAccount("admin", admin));
  admin.enabled = 0;
  EXPECT_TRUE(m_accounts.ModifyAccount(admin));
  EXPECT_FALSE(m_accounts.CheckLogin("admin", "kavor", "10.0.0.7", name));
}

TEST_F(StoresTest, Ipv6AddressAccountsAdmitTheirOwnAddressInAnySpelling) {
  EXPECT_TRUE(m_accounts.AddAccount({"ula", "", 1, 1, 0, 0, "FD00:0::0005", "", ""}));
  EXPECT_TRUE(m_accounts.AddAccount({"home", "", 1, 1, 0, 0, "2001:db8:1:2::7", "", ""}));
  EXPECT_TRUE(m_accounts.AddAccount({"off", "", 1, 0, 0, 0, "2001:db8::9", "", ""}));
  EXPECT_TRUE(m_accounts.AddAccount({"junk", "", 1, 1, 0, 0, "fd00::5::", "", ""}));
  const struct {
    const char* client;
    const char* account;  // "" when nobody is admitted
  } cases[] = {
      {"fd00::5", "ula"},
      {"fd00:0:0:0:0:0:0:5", "ula"},
      {"fd00::6", ""},
      {"2001:db8:1:2::7", "home"},
      {"2001:DB8:1:2:0::7", "home"},
      {"2001:db8:1:2::8", ""},   // one /64 is one address for limits, not for accounts
      {"2001:db8::9", ""},       // disabled
      {"::1", "local"},          // this computer over IPv6, as 127.0.0.1 is
      {"::ffff:127.0.0.1", ""},  // the service passes IPv4 peers unmapped, never like this
      {"fe80::1", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.client);
    std::string name = "unchanged";
    EXPECT_EQ(m_accounts.CheckLogin("", "", c.client, name), *c.account != '\0');
    EXPECT_EQ(name, *c.account ? c.account : "unchanged");
    AccountRecord record;
    EXPECT_EQ(m_accounts.CheckLogin("nobody", "x", c.client, record), *c.account != '\0');
  }
  // A password still logs in from an IPv6 address that has no account.
  std::string name;
  EXPECT_TRUE(m_accounts.CheckLogin("admin", "kavor", "2001:db8::abcd", name));
  EXPECT_EQ(name, "admin");
  // Without 127.0.0.1's account ::1 is nobody.
  EXPECT_TRUE(m_accounts.DeleteAccount("local"));
  EXPECT_FALSE(m_accounts.CheckLogin("", "", "::1", name));
}

TEST_F(StoresTest, AccountMaintenance) {
  AccountRecord record{"Admin", "dup", 0, 1, 0, 0, "", "x", ""};
  EXPECT_FALSE(m_accounts.AddAccount(record));  // taken in another letter case
  record.account_name = "ghost";
  EXPECT_FALSE(m_accounts.ModifyAccount(record));
  EXPECT_FALSE(m_accounts.GetAccount("ghost", record));
  EXPECT_FALSE(m_accounts.AddAccount(AccountRecord{}));  // no name, no row
  EXPECT_TRUE(m_accounts.DeleteAccount("ghost"));
  std::vector<AccountRecord> list;
  EXPECT_EQ(m_accounts.ListAccounts(list, "authtype = 1"), 1);
  EXPECT_EQ(list[0].account_name, "local");
  EXPECT_EQ(m_accounts.ListAccounts(list, "no such column = 1"), 0);
  EXPECT_TRUE(m_accounts.DeleteAccount("LOCAL"));
  EXPECT_TRUE(m_accounts.DeleteAccount("admin"));
  std::string name;
  EXPECT_FALSE(m_accounts.CheckLogin("admin", "kavor", "127.0.0.1", name));
  EXPECT_EQ(m_accounts.ListAccounts(list), 0);
}

TEST_F(StoresTest, ShareNamesAreUniqueWithoutRegardToCase) {
  EXPECT_EQ(m_shares.ShareFile("/home/u/docs/report.pdf", "", 0), "report.pdf");
  EXPECT_EQ(m_shares.ShareFile("/tmp/report.pdf", "", 0), "report-2.pdf");
  EXPECT_EQ(m_shares.ShareFile("/tmp/REPORT.pdf", "", 0), "REPORT-3.pdf");
  EXPECT_EQ(m_shares.MakeUniqueShareName("Report.PDF"), "Report-4.PDF");
  EXPECT_EQ(m_shares.ShareFile("/src/Makefile", "", 0), "Makefile");
  EXPECT_EQ(m_shares.ShareFile("/src/Makefile", "", 0), "Makefile-2");
  EXPECT_EQ(m_shares.ShareFile("/home/u/.profile", "", 0), ".profile");
  EXPECT_EQ(m_shares.ShareFile("/root/.profile", "", 0), "-2.profile");
  EXPECT_EQ(m_shares.ShareFile("/data/music.v2", "", 0), "music.v2");
  EXPECT_EQ(m_shares.ShareFile("/", "", 0), "/");
  EXPECT_EQ(m_shares.ShareFile("/tmp/it's.txt", "bob", 1), "it's.txt");
  EXPECT_FALSE(m_shares.AddShare({"MAKEFILE", "/x", "", 0, "", ""}));
  EXPECT_FALSE(m_shares.AddShare({"", "/x", "", 0, "", ""}));

  FileShareRecord share;
  ASSERT_TRUE(m_shares.GetShare("IT'S.TXT", share));
  EXPECT_EQ(share.path, "/tmp/it's.txt");
  EXPECT_EQ(share.uploader, "bob");
  EXPECT_EQ(share.share_mode, 1);
  EXPECT_EQ(share.description, "");
  std::string made = share.share_time;
  share.name = "isn't.txt";
  share.description = "o'clock";
  EXPECT_TRUE(m_shares.ModifyShare(share, "it's.txt"));
  EXPECT_EQ(m_shares.GetSharePath("ISN'T.txt"), "/tmp/it's.txt");
  EXPECT_EQ(m_shares.GetSharePath("it's.txt"), "");
  share.name = "makefile";  // taken
  EXPECT_FALSE(m_shares.ModifyShare(share, "isn't.txt"));
  EXPECT_FALSE(m_shares.ModifyShare(share, "nothing"));
  ASSERT_TRUE(m_shares.GetShare("isn't.txt", share));
  EXPECT_EQ(share.share_time, made);
  EXPECT_TRUE(m_shares.RemoveShare("ISN'T.TXT"));
  EXPECT_FALSE(m_shares.GetShare("isn't.txt", share));
  EXPECT_TRUE(m_shares.RemoveShare("isn't.txt"));
}

TEST_F(StoresTest, ShareAccessRemovalAndLists) {
  ASSERT_EQ(m_shares.ShareFile("/home/u/docs", "", 1), "docs");
  ASSERT_EQ(m_shares.ShareFile("/home/u/pub", "", 0), "pub");
  ASSERT_EQ(m_shares.ShareFile("/upload/a.txt", "bob", 0), "a.txt");
  EXPECT_TRUE(m_shares.CanAccessShare("pub\\x\\y.txt", ""));
  EXPECT_TRUE(m_shares.CanAccessShare("DOCS\\sub\\a.txt", "admin"));
  EXPECT_FALSE(m_shares.CanAccessShare("docs\\sub\\a.txt", ""));
  EXPECT_FALSE(m_shares.CanAccessShare("docs", "nobody"));
  EXPECT_FALSE(m_shares.CanAccessShare("pubx\\a", ""));

  std::vector<std::string> names, paths, uploaders;
  ASSERT_EQ(m_shares.ListShareNames(names, paths, uploaders, false), 2);
  int upload = names[0] == "a.txt" ? 0 : 1;  // both made in the same second: either order
  EXPECT_EQ(names[upload], "a.txt");
  EXPECT_EQ(paths[upload], "/upload/a.txt");
  EXPECT_EQ(uploaders[upload], "bob");
  EXPECT_EQ(names[1 - upload], "pub");
  EXPECT_EQ(uploaders[1 - upload], "");
  EXPECT_EQ(m_shares.ListShareNames(names, paths, uploaders, true), 3);

  // Only the uploader removes an upload; a local share (no uploader) never goes this way.
  EXPECT_TRUE(m_shares.RemoveUploaderShare("a.txt", "eve"));
  EXPECT_TRUE(m_shares.RemoveUploaderShare("pub", ""));
  EXPECT_EQ(m_shares.ListShareNames(names, paths, uploaders, true), 3);
  EXPECT_TRUE(m_shares.RemoveUploaderShare("A.TXT", "BOB"));

  FileShareRecord pub;
  ASSERT_TRUE(m_shares.GetShare("pub", pub));
  pub.share_time = "2000-01-01 00:00:00";
  ASSERT_TRUE(m_shares.ModifyShare(pub, "pub"));
  std::vector<FileShareRecord> list;
  ASSERT_EQ(m_shares.ListShares(list), 2);
  EXPECT_EQ(list[0], pub);
  EXPECT_EQ(list[1].name, "docs");
}

// Lets a test hold the store's lock as an operation in progress does.
class HeldShares : public CDataFileShare {
 public:
  using CDataFileShare::CDataFileShare;
  void Hold() { BeginOperation(); }
  void Release() { EndOperation(); }
};

TEST(StoreLock, OperationsOfOneStoreWaitForEachOtherOnly) {
  TempFolder folder;
  HeldShares shares(folder.path());
  CDataAccount accounts(folder.path());
  ASSERT_TRUE(shares.Open());
  ASSERT_TRUE(accounts.Open());
  auto other_thread = [](auto&& work) {
    auto done = std::async(std::launch::async, work);
    return done.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  };
  // Every way out of an operation, early failures included, releases the lock.
  shares.GetSharePath("none");
  shares.CanAccessShare("none", "");
  shares.ModifyShare({}, "none");
  shares.AddShare({});
  EXPECT_TRUE(other_thread([&] { return shares.ShareFile("/a", "", 0); }));

  shares.Hold();
  std::atomic<bool> finished = false;
  std::thread waiting([&] {
    shares.ShareFile("/b", "", 0);
    finished = true;
  });
  AccountRecord record;
  EXPECT_TRUE(other_thread([&] { return accounts.GetAccount("admin", record); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(finished);
  EXPECT_EQ(shares.ShareFile("/c", "", 0), "c");  // the lock is recursive
  shares.Release();
  waiting.join();
  EXPECT_TRUE(finished);
}

// Identifying a visitor in one lookup must admit exactly whom the name-only CheckLogin admits,
// with the very row GetAccount reads for that name.
TEST(StoreAccounts, LoginWithTheRowAdmitsAsTheNameOnlyLogin) {
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
