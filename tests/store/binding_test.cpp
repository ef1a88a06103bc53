// Values reach the database bound to parameters: whatever text a visitor chose is stored, found
// and removed as itself, and the answers kept for a query are kept per value.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "store/ADO.h"
#include "store/DataAccount.h"
#include "store/DataFileShare.h"
#include "store/DataSystem.h"
#include "support/TempFolder.h"

namespace {

const std::string kHostile[] = {
    "it's",       "' or '1'='1", "x'; drop table fileshare; --",
    "\"quoted\"", "?",           "semi;colon",
    "%_wild_%",   "ünïcödé ✓",   "'",
    "a''b",
};

class Binding : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(shares.Open());
    ASSERT_TRUE(accounts.Open());
    ASSERT_TRUE(settings.Open());
  }
  TempFolder folder;
  CDataFileShare shares{folder.path()};
  CDataAccount accounts{folder.path()};
  CDataSystem settings{folder.path()};
};

TEST_F(Binding, HostileTextIsStoredFoundAndRemovedAsItself) {
  for (const std::string& text : kHostile) {
    SCOPED_TRACE(text);
    ASSERT_TRUE(shares.AddShare({text, "/srv/" + text, text, 0, "", text}));
    FileShareRecord record;
    ASSERT_TRUE(shares.GetShare(text, record));
    EXPECT_EQ(record.path, "/srv/" + text);
    EXPECT_EQ(record.uploader, text);
    EXPECT_TRUE(shares.CanAccessShare(text + "\\below", ""));

    ASSERT_TRUE(accounts.AddAccount({text, "", 0, 1, 1, 1, "", text, ""}));
    std::string name;
    EXPECT_TRUE(accounts.CheckLogin(text, text, "", name));
    EXPECT_EQ(name, text);
    EXPECT_FALSE(accounts.CheckLogin(text, text + "x", "", name));

    ASSERT_TRUE(settings.SetParam(text, text));
    EXPECT_EQ(settings.GetParam(text), text);
  }
  std::vector<FileShareRecord> list;
  EXPECT_EQ(shares.ListShares(list), static_cast<int>(std::size(kHostile)));
  for (const std::string& text : kHostile) {
    EXPECT_TRUE(shares.RemoveUploaderShare(text, text));
    EXPECT_TRUE(accounts.DeleteAccount(text));
  }
  EXPECT_EQ(shares.ListShares(list), 0);
  std::vector<AccountRecord> left;
  EXPECT_EQ(accounts.ListAccounts(left), 2);  // local and admin
}

// The condition of ListAccounts is SQL text: a visitor's text in it goes through SqlQuote and
// then matches only itself.
TEST_F(Binding, QuotedTextInAConditionMatchesOnlyItself) {
  for (const std::string& text : kHostile)
    ASSERT_TRUE(accounts.AddAccount({text, "", 0, 1, 1, 1, "", "", ""}));
  for (const std::string& text : kHostile) {
    std::vector<AccountRecord> found;
    ASSERT_EQ(accounts.ListAccounts(found, "accountname = '" + SqlQuote(text) + "'"), 1) << text;
    EXPECT_EQ(found[0].account_name, text);
  }
}

// SQL text spliced together where visitors' requests are handled and the stores answer them
// quotes every value it splices: nothing closes a quote and appends text that has not gone
// through SqlQuote. (The program's own messages, which show the owner a command, are not SQL
// that runs.)
TEST(SqlText, NoValueIsSplicedIntoQuotesUnquoted) {
  const std::regex splice(R"('"\s*\+\s*(?!SqlQuote\())");
  int files = 0;
  for (const char* layer : {"store", "service", "net", "desktop"}) {
    const std::string folder = std::string(TESSEL_SOURCE_DIR) + "/src/" + layer;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
      const std::string extension = entry.path().extension().string();
      if (extension != ".cpp" && extension != ".h") continue;
      std::ifstream in(entry.path());
      const std::string text{std::istreambuf_iterator<char>(in), {}};
      ++files;
      EXPECT_FALSE(std::regex_search(text, splice)) << entry.path();
    }
  }
  EXPECT_GT(files, 50);
}

TEST_F(Binding, KeptAnswersAreKeptPerValue) {
  CADO::CADODatabase db;
  ASSERT_TRUE(db.Open(shares.GetDatabasePath()));
  CADO::CADORecordset rs(db);
  const std::string query = "select paramvalue from config where paramname = ?";
  const std::pair<const char*, const char*> kNamesAndValues[] = {
      {"a", "1"}, {"b", "2"}, {"A", "1"}};
  ASSERT_TRUE(settings.SetParam("a", "1") && settings.SetParam("b", "2"));
  for (int round = 0; round < 2; ++round) {  // the second round is answered from what was kept
    for (const auto& [name, value] : kNamesAndValues) {
      std::string read;
      ASSERT_TRUE(rs.Open(query, {name}) && !rs.IsEOF()) << name;
      EXPECT_TRUE(rs.GetFieldValue("paramvalue", read));
      EXPECT_EQ(read, value) << name;
    }
  }
  // Too few or too many values are refused, not run with NULL in their place.
  EXPECT_FALSE(rs.Open(query, {}));
  EXPECT_FALSE(db.Execute("delete from config where paramname = ?", {"a", "b"}));
  EXPECT_FALSE(db.Execute("delete from config where paramname = ?", {}));
  EXPECT_EQ(settings.GetParam("a"), "1");
}

}  // namespace
